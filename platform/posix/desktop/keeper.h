// The keeper: the process that serves the clipboard's text after Quillet has ended.
#ifndef QUILLET_PLATFORM_POSIX_KEEPER_H
#define QUILLET_PLATFORM_POSIX_KEEPER_H

#include <cstdint>

#include "desktop/wayland/wlselection.h"
#include "desktop/x11/x11selection.h"

// At exit: where a session (either may be closed) still offers a text of ours that no
// clipboard manager took, forks a keeper that serves them; this process keeps its hands
// off both connections afterwards. x11TakenAt: when the X11 selection was taken beside
// the Wayland one (monotonic ms).
void KeepClipboard(X11Session* x11, WlSession* wayland, int64_t x11TakenAt);

// One step of serving both sessions (either may be closed): every request that has
// arrived is answered, and every answer under way moves on as far as its reader takes it,
// without waiting on any reader. Then waits for more until deadline (monotonic ms; now or
// earlier: no wait; X11_NO_DEADLINE: none), or until an answer's deadline ends it.
void ServeClipboards(X11Session* x11, WlSession* wayland, int64_t deadline);

#endif  // QUILLET_PLATFORM_POSIX_KEEPER_H
