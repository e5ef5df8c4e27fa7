// Keeping the clipboard's text alive after Quillet ends, on X11, on Wayland, or both.
//
// Contract kept from Windows: a text set on the clipboard stays there after the program
// that set it has ended, until another program replaces it. Where no clipboard manager
// took it over (x11handoff.cpp), a keeper process carries on serving it: forked from
// Quillet on the same connections (so the selections never change hands), in its own
// session, with SIGHUP ignored and every inherited descriptor closed (stdin, stdout and
// stderr point at /dev/null), so that no pipe, terminal, port or lock of the caller
// stays held.
// - It serves each selection it holds until another program takes that one, and ends
//   when it holds none and has finished the answers under way (each within its reader's
//   deadline).
// - Each connection stands alone: losing the display (an Xwayland restart) or the
//   compositor ends only what was served there; the other selection is served on.
// - The X11 selection beside a Wayland one only mirrors it for X11 programs the
//   compositor does not bridge: once another program's copy replaces our Wayland text,
//   the keeper stops offering it. The one exception is the compositor's bridge answering
//   our own taking of the X11 selection (within KEEPER_BRIDGE_WAIT): it fetches from us,
//   and the X11 selection carries the text on.
// - One loop serves both (ServeClipboards): a poll over the connections and every
//   reader's pipe, answers moved on without blocking, so no reader waits on another.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>

#include "desktop/keeper.h"
#include "posix.h"

#define KEEPER_NAME "quillet-keeper"
#define KEEPER_BRIDGE_WAIT 1000  // ms

static bool IsKept(int fd, const int* keep, int count) {
  for (int i = 0; i < count; ++i) {
    if (keep[i] == fd) return true;
  }
  return false;
}

// Leaves the caller behind: no terminal, no hang-up, none of its descriptors but the
// connections in keep.
static void Detach(const int* keep, int count) {
  setsid();
  signal(SIGHUP, SIG_IGN);
  prctl(PR_SET_NAME, KEEPER_NAME, 0, 0, 0);
  // Close everything from 3 up, stepping over the kept descriptors in ascending order.
  unsigned from = 3;
  for (;;) {
    int next = -1;
    for (int i = 0; i < count; ++i) {
      if (keep[i] >= (int)from && (next < 0 || keep[i] < next)) next = keep[i];
    }
    if (next < 0) break;
    if ((unsigned)next > from) close_range(from, (unsigned)next - 1, 0);
    from = (unsigned)next + 1;
  }
  close_range(from, ~0U, 0);
  int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) {
    if (IsKept(fd, keep, count) || fd == null) continue;
    if (null >= 0) {
      dup2(null, fd);
    } else {
      close(fd);
    }
  }
  if (null > 2 && !IsKept(null, keep, count)) close(null);
  if (chdir("/") != 0) {
    // Only a busy mount point is at stake.
  }
}

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
  // A reader or a server that went away is no reason to end: its write fails instead.
  signal(SIGPIPE, SIG_IGN);
  if (x11->display != nullptr) X11OutliveDisplay(x11);
  bool keepWayland = wayland->display != nullptr;
  for (;;) {
    if (x11->lost) X11Close(x11);
    if (keepWayland && !wayland->owner) {
      keepWayland = false;
      // Another program's copy replaced our Wayland text: the X11 mirror is stale too,
      // unless this was the compositor's bridge fetching our fresh X11 selection.
      if (!wayland->lost && x11->display != nullptr &&
          MonotonicMilliseconds() - x11TakenAt > KEEPER_BRIDGE_WAIT)
        x11->owner = false;
    }
    bool holds = keepWayland || (x11->display != nullptr && x11->owner);
    if (!holds && !AnswersUnderWay(x11, wayland)) _exit(0);
    ServeClipboards(x11, wayland, X11_NO_DEADLINE);
  }
}

// The connections a keeper took over: their memory stays referenced until this process
// ends, as a leak checker should see it.
static Display* handedOffX11;
static wl_display* handedOffWayland;

void KeepClipboard(X11Session* x11, WlSession* wayland, int64_t x11TakenAt) {
  bool keepX11 = x11->display != nullptr && X11NeedsKeeper(x11);
  bool keepWayland = false;
  if (wayland->display != nullptr) {
    WlServePending(wayland);
    keepWayland = wayland->owner && wayland->text.utf8 != nullptr;
    if (!keepWayland) WlClose(wayland);
  }
  if (!keepX11 && !keepWayland) return;
  fflush(nullptr);  // nothing buffered may be written twice
  pid_t keeper = fork();
  if (keeper < 0) {
    X11Close(x11);
    WlClose(wayland);
    return;
  }
  if (keeper > 0) {
    // The keeper answers on these connections now: leave them untouched. Its readers'
    // pipes are the keeper's alone, or they would see their end only when we exit.
    WlEndWrites(wayland);
    handedOffX11 = x11->display;
    handedOffWayland = wayland->display;
    x11->display = nullptr;
    wayland->display = nullptr;
    return;
  }
  int keep[2 + WL_MAX_WRITES];
  int count = 0;
  if (keepX11) keep[count++] = ConnectionNumber(x11->display);
  if (keepWayland) keep[count++] = WlConnection(wayland);
  for (const WlWrite& write : wayland->writes) {
    if (write.active) keep[count++] = write.fd;
  }
  Detach(keep, count);
  Keep(x11, wayland, x11TakenAt);
}
