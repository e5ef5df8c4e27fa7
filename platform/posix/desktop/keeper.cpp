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
//   when it holds none and has finished the answers under way (each within its reader's
//   deadline).
// - Each connection stands alone: losing the display (an Xwayland restart) or the
//   compositor ends only what was served there; the other selection is served on.
// - The X11 selection beside a Wayland one only mirrors it for X11 programs the
//   compositor does not bridge: once another program's copy replaces our Wayland text,
//   the keeper stops offering it. The one exception is the compositor's bridge answering
//   our own taking of the X11 selection (within KEEPER_BRIDGE_WAIT): it fetches from us,
//   and the X11 selection carries the text on, until a later copy names a new selection.
// - One loop serves both (ServeClipboards): a poll over the connections and every
//   reader's pipe, answers moved on without blocking, so no reader waits on another.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "desktop/keeper.h"
#include "posix.h"

#define KEEPER_NAME "quillet-keeper"
#define KEEPER_BRIDGE_WAIT 1000  // ms
#define KEEPER_STALE_WAIT 1000   // ms

void ServeClipboards(X11Session* x11, WlSession* wayland, int64_t deadline) {
  struct pollfd fds[1 + WL_POLL_FDS];
  int64_t due = deadline;
  int x11Count = X11PrepareWait(x11, fds, &due);
  int count = x11Count + WlPrepareWait(wayland, fds + x11Count, &due);
  int timeout = -1;
  if (due != X11_NO_DEADLINE) {
    int64_t left = due - MonotonicMilliseconds();
    timeout = left <= 0 ? 0 : left > 60000 ? 60000 : (int)left;
  }
  if (poll(fds, (nfds_t)count, timeout) <= 0) {
    for (int i = 0; i < count; ++i) fds[i].revents = 0;  // a signal, or nothing yet
  }
  WlFinishWait(wayland, fds + x11Count, count - x11Count);
  X11FinishWait(x11);
}

static bool AnswersUnderWay(X11Session* x11, WlSession* wayland) {
  return (x11->display != nullptr && X11ExpireTransfers(x11) != X11_NO_DEADLINE) ||
         WlWritesUnderWay(wayland);
}

static void Keep(X11Session* x11, WlSession* wayland, int64_t x11TakenAt) {
  bool keepWayland = wayland->display != nullptr;
  int64_t staleUntil = X11_NO_DEADLINE;  // when a stale X11 mirror is let go
  for (;;) {
    if (x11->lost) X11Close(x11);
    if (keepWayland && !wayland->owner) keepWayland = false;
    // Our Wayland text is gone: the X11 mirror is stale once the compositor names a
    // selection later than KEEPER_BRIDGE_WAIT after our X11 take, that is, another
    // program's copy. Within it, the new selection is the compositor's bridge fetching
    // our fresh X11 selection, which then carries the text on, until such a copy (a
    // compositor that bridges only for the active X11 window, as KWin 6, never takes
    // the X11 selection for it). A stale mirror is not let go at once: a compositor that
    // bridges every copy (wlroots, weston) takes the X11 selection for the new text right
    // after, and if CLIPBOARD lost its owner first it would clear the Wayland clipboard,
    // and the new text with it.
    int64_t now = MonotonicMilliseconds();
    if (staleUntil == X11_NO_DEADLINE && wayland->display != nullptr && !keepWayland &&
        !wayland->lost && x11->display != nullptr &&
        wayland->selectionAt > x11TakenAt + KEEPER_BRIDGE_WAIT) {
      staleUntil = now + KEEPER_STALE_WAIT;
    }
    if (staleUntil != X11_NO_DEADLINE && now >= staleUntil) x11->owner = false;
    bool holds = keepWayland || (x11->display != nullptr && x11->owner);
    if (!holds && !AnswersUnderWay(x11, wayland)) _exit(0);
    ServeClipboards(x11, wayland, x11->owner ? staleUntil : X11_NO_DEADLINE);
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
  int keep[2 + WL_MAX_WRITES];
  int count = 0;
  if (keepX11) keep[count++] = ConnectionNumber(x11->display);
  if (keepWayland) keep[count++] = WlConnection(wayland);
  int connections = count;
  if (keepWayland) {
    // Answers under way go on from the keeper.
    for (const WlWrite& write : wayland->writes) {
      if (write.active) keep[count++] = write.fd;
    }
  }
  fflush(nullptr);  // nothing buffered may be written twice
  // Between the fork and the keeper's own session, a signal for the run would end both.
  sigset_t saved;
  HoldSignals(&saved);
  pid_t caller = getpid();
  pid_t keeper = fork();
  if (keeper == 0) {
    if (!keepWayland) WlEndWrites(wayland);  // answers the keeper will not carry on
    LeaveCaller(KEEPER_NAME, caller, true, keep, count);
    // A reader or a server that went away is no reason to end: its write fails instead.
    signal(SIGPIPE, SIG_IGN);
    if (!keepX11) x11->display = nullptr;  // its descriptor is closed
    if (!keepWayland) wayland->display = nullptr;
    if (keepX11) {
      X11OutliveDisplay(x11);
      if (!X11NeedsKeeper(x11, handOff)) x11->owner = false;  // a manager has the text
    }
    Keep(x11, wayland, x11TakenAt);
  }
  ReleaseSignals(&saved);
  if (keeper < 0) return;  // nothing can serve the text: the caller closes the connections
  // The keeper answers on these connections now: this process neither reads nor writes
  // them again, and lets go of its copies, so that the keeper alone holds them and the
  // readers' pipes.
  for (int i = 0; i < connections; ++i) close(keep[i]);
  if (keepWayland) WlEndWrites(wayland);
  if (keepX11) {
    handedOffX11 = x11->display;
    x11->display = nullptr;
  }
  if (keepWayland) {
    handedOffWayland = wayland->display;
    wayland->display = nullptr;
  }
}
