// Keeping the clipboard's text alive after Quillet has set it, on X11, on Wayland, or both.
//
// Contract kept from Windows: a text set on the clipboard stays there after the program
// that set it has ended, until another program replaces it. When the clipboard is closed
// with a text of ours on offer, a keeper process takes over serving it at once: forked
// from Quillet on the same connections (so the selections never change hands), in its
// own session, with SIGHUP ignored and every inherited descriptor closed (stdin, stdout
// and stderr point at /dev/null), so that no pipe, terminal, port or lock of the caller
// stays held. From then on the run's tone, a stalled sound server or a signal that ends
// the run cannot take the text with them, and the run waits for no one.
// - On plain X11 the keeper first offers the text to a running clipboard manager
//   (x11handoff.cpp), serving meanwhile, and ends if the manager really took it.
// - It serves each selection it holds until another program takes that one, and ends
//   when it holds none, or when its display or compositor goes away.
// - The X11 selection beside a Wayland one only mirrors it for X11 programs the
//   compositor does not bridge: once another program's copy replaces our Wayland text,
//   the keeper ends. The one exception is the compositor's bridge answering our own
//   taking of the X11 selection (within KEEPER_BRIDGE_WAIT): it fetches from us, and the
//   X11 selection carries the text on.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "desktop/keeper.h"
#include "posix.h"

#define KEEPER_NAME "quillet-keeper"
#define KEEPER_POLL 1000         // ms between looks at answers under way
#define KEEPER_BRIDGE_WAIT 1000  // ms

static void Keep(X11Session* x11, bool keepX11, WlSession* wayland, bool keepWayland,
                 int64_t x11TakenAt) {
  for (;;) {
    bool pending = keepX11 && X11TransfersPending(x11);
    keepX11 = keepX11 && (x11->owner || pending);
    bool replaced = keepWayland && !wayland->owner;
    keepWayland = keepWayland && wayland->owner;
    if (replaced && MonotonicMilliseconds() - x11TakenAt > KEEPER_BRIDGE_WAIT) _exit(0);
    if (!keepX11 && !keepWayland) _exit(0);
    struct pollfd connections[2];
    int count = 0;
    if (keepWayland) {
      if (!WlPrepareWait(wayland)) continue;
      connections[count++] = {WlConnection(wayland), POLLIN, 0};
    }
    if (keepX11) connections[count++] = {ConnectionNumber(x11->display), POLLIN, 0};
    int ready = poll(connections, (nfds_t)count, pending ? KEEPER_POLL : -1);
    if (keepWayland) WlFinishWait(wayland, ready > 0 && connections[0].revents != 0);
    if (keepX11) X11ServePending(x11);
  }
}

// The connections a keeper took over: their memory stays referenced until this process
// ends, as a leak checker should see it.
static Display* handedOffX11;
static wl_display* handedOffWayland;

void KeepClipboard(X11Session* x11, WlSession* wayland, int64_t x11TakenAt, bool handOff) {
  bool keepX11 = x11->display != nullptr && x11->owner && x11->hasText;
  bool keepWayland =
      wayland->display != nullptr && wayland->owner && wayland->text.utf8 != nullptr;
  if (!keepX11 && !keepWayland) return;
  int keep[2];
  int count = 0;
  if (keepX11) keep[count++] = ConnectionNumber(x11->display);
  if (keepWayland) keep[count++] = WlConnection(wayland);
  fflush(nullptr);  // nothing buffered may be written twice
  // Between the fork and the keeper's own session, a signal for the run would end both.
  sigset_t saved;
  HoldSignals(&saved);
  pid_t caller = getpid();
  pid_t keeper = fork();
  if (keeper == 0) {
    LeaveCaller(KEEPER_NAME, caller, true, keep, count);
    if (!keepX11) x11->display = nullptr;  // its descriptor is closed
    if (!keepWayland) wayland->display = nullptr;
    keepX11 = keepX11 && X11NeedsKeeper(x11, handOff);
    if (keepWayland) {
      WlServePending(wayland);
      keepWayland = wayland->owner;
    }
    Keep(x11, keepX11, wayland, keepWayland, x11TakenAt);
    _exit(0);
  }
  ReleaseSignals(&saved);
  if (keeper < 0) return;  // nothing can serve the text: the caller closes the connections
  // The keeper answers on these connections now: this process neither reads nor writes
  // them again, and lets go of its copies, so that the keeper alone holds them.
  for (int i = 0; i < count; ++i) close(keep[i]);
  if (keepX11) {
    handedOffX11 = x11->display;
    x11->display = nullptr;
  }
  if (keepWayland) {
    handedOffWayland = wayland->display;
    wayland->display = nullptr;
  }
}
