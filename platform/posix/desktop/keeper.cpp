// Keeping the clipboard's text alive after Quillet has set it, on X11, on Wayland, or both.
//
// Contract kept from Windows: a text set on the clipboard stays there after the program
// that set it has ended, until another program replaces it. When the clipboard is closed
// with a text of ours on offer, a keeper process takes over serving it at once: forked
// from Quillet with the desktop record whole, on the same connections (so the selections
// never change hands), in its own session, with SIGHUP ignored and every inherited
// descriptor closed (stdin, stdout and stderr point at /dev/null), so that no pipe,
// terminal, port or lock of the caller stays held. From then on the run's tone, a stalled
// sound server or a signal that ends the run cannot take the text with them, and the run
// waits for no one.
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
// - Everything is served in the desktop's one wait, so no reader waits on another.
// A keeper that cannot be started is said (standard error, system log): the text then
// lasts only as long as the run.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "desktop/desktop.h"
#include "posix.h"

#define KEEPER_NAME "quillet-keeper"
#define KEEPER_BRIDGE_WAIT 1000  // ms
#define KEEPER_STALE_WAIT 1000   // ms

static bool AnswersUnderWay(Desktop* desktop) {
  return (desktop->x11 != nullptr && X11AnswersUnderWay(desktop->x11)) ||
         (desktop->wayland != nullptr && WlAnswersUnderWay(desktop->wayland));
}

// The keeper looks at what it holds after every round of serving.
static bool Served(Desktop*, void* rounds) { return (*(int*)rounds)++ > 0; }

static void Keep(Desktop* desktop) {
  bool keepWayland = desktop->wayland != nullptr;
  int64_t staleUntil = NO_DEADLINE;  // when a stale X11 mirror is let go
  for (;;) {
    if (desktop->x11 != nullptr && X11Lost(desktop->x11)) {
      X11Close(desktop->x11);
      desktop->x11 = nullptr;
    }
    if (keepWayland && !WlOwner(desktop->wayland)) keepWayland = false;
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
    if (staleUntil == NO_DEADLINE && desktop->wayland != nullptr && !keepWayland &&
        !WlLost(desktop->wayland) && desktop->x11 != nullptr &&
        WlSelectionNamedAt(desktop->wayland) > desktop->x11TakenAt + KEEPER_BRIDGE_WAIT) {
      staleUntil = now + KEEPER_STALE_WAIT;
    }
    if (staleUntil != NO_DEADLINE && now >= staleUntil && desktop->x11 != nullptr)
      X11Disown(desktop->x11);
    bool x11Holds = desktop->x11 != nullptr && X11Owner(desktop->x11);
    if (!keepWayland && !x11Holds && !AnswersUnderWay(desktop)) _exit(0);
    int rounds = 0;
    DesktopWait(desktop, -1, x11Holds ? staleUntil : NO_DEADLINE, Served, &rounds);
  }
}

// In the keeper: whether the X11 selection still needs it, after handing the text to the
// clipboard manager where there is one to trust. On a Wayland session the X11 clipboard
// manager is the compositor's own window manager, which never answers (sway) or says yes
// after its bridge fetched the text for reasons of its own (weston): no hand-off there.
static bool X11NeedsKeeper(Desktop* desktop) {
  DesktopWait(desktop, -1, MonotonicMilliseconds(), nullptr, nullptr);  // what has arrived
  if (!X11Owner(desktop->x11) || !X11OwnsSelection(desktop->x11)) return false;
  if (desktop->waylandSession || !X11AskManager(desktop->x11)) return true;
  AwaitSteps(desktop);
  return !X11ManagerSaved(desktop->x11);
}

// The connections a keeper took over: their memory stays referenced until this process
// ends, as a leak checker should see it.
static X11Session* handedOffX11;
static WlSession* handedOffWayland;

void KeepClipboard(Desktop* desktop) {
  bool hasText = desktop->text.utf8 != nullptr;
  bool keepX11 = hasText && desktop->x11 != nullptr && X11Owner(desktop->x11);
  bool keepWayland = hasText && desktop->wayland != nullptr && WlOwner(desktop->wayland);
  if (!keepX11 && !keepWayland) return;
  int keep[2 + MAX_ANSWERS];
  int count = 0;
  if (keepX11) keep[count++] = X11Connection(desktop->x11);
  if (keepWayland) keep[count++] = WlConnection(desktop->wayland);
  int connections = count;
  if (keepWayland) count += WlAnswerPipes(desktop->wayland, keep + count);  // they go on
  fflush(nullptr);  // nothing buffered may be written twice
  // Between the fork and the keeper's own session, a signal for the run would end both.
  sigset_t saved;
  HoldSignals(&saved);
  pid_t caller = getpid();
  pid_t keeper = fork();
  if (keeper == 0) {
    if (!keepWayland && desktop->wayland != nullptr) WlEndAnswers(desktop->wayland);
    LeaveCaller(KEEPER_NAME, caller, true, keep, count);
    // A reader or a server that went away is no reason to end: its write fails instead.
    signal(SIGPIPE, SIG_IGN);
    if (!keepX11) desktop->x11 = nullptr;  // its descriptor is closed
    if (!keepWayland) desktop->wayland = nullptr;
    if (keepX11) {
      X11OutliveDisplay(desktop->x11);
      if (!X11NeedsKeeper(desktop)) {
        X11Close(desktop->x11);
        desktop->x11 = nullptr;
      }
    }
    Keep(desktop);
  }
  int error = errno;
  ReleaseSignals(&saved);
  if (keeper < 0) {
    char line[160];
    snprintf(line, sizeof line,
             "clipboard: no keeper process (%s): the text lasts only until Quillet ends",
             strerror(error));
    SayDesktopError(line);
    return;  // the caller closes the connections
  }
  // The keeper answers on these connections now: this process neither reads nor writes
  // them again, and lets go of its copies, so that the keeper alone holds them and the
  // readers' pipes.
  for (int i = 0; i < connections; ++i) close(keep[i]);
  if (keepWayland) WlEndAnswers(desktop->wayland);
  if (keepX11) {
    handedOffX11 = desktop->x11;
    desktop->x11 = nullptr;
  }
  if (keepWayland) {
    handedOffWayland = desktop->wayland;
    desktop->wayland = nullptr;
  }
}
