// The keeper: the process that serves the clipboard's text after Quillet has ended.
#ifndef QUILLET_PLATFORM_POSIX_KEEPER_H
#define QUILLET_PLATFORM_POSIX_KEEPER_H

#include <cstdint>

#include "desktop/wayland/wlselection.h"
#include "desktop/x11/x11selection.h"

// When the clipboard is closed: where a session (either may be closed) offers a text of
// ours, forks the keeper that serves it from then on; on plain X11 (handOff) the keeper
// first offers it to a clipboard manager. This process keeps its hands off the keeper's
// connections afterwards (their displays here become null); the others it still closes
// itself. x11TakenAt: when the X11 selection was taken beside the Wayland one
// (monotonic ms).
void KeepClipboard(X11Session* x11, WlSession* wayland, int64_t x11TakenAt, bool handOff);

// One step of serving both sessions (either may be closed): every request that has
// arrived is answered, and every answer under way moves on as far as its reader takes it,
// without waiting on any reader. Then waits for more until deadline (monotonic ms; now or
// earlier: no wait; X11_NO_DEADLINE: none), or until an answer's deadline ends it.
void ServeClipboards(X11Session* x11, WlSession* wayland, int64_t deadline);

#endif  // QUILLET_PLATFORM_POSIX_KEEPER_H
