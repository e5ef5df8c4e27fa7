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
//   when it holds none, or when its display or compositor goes away.
// - The X11 selection beside a Wayland one only mirrors it for X11 programs the
//   compositor does not bridge: once another program's copy replaces our Wayland text,
//   the keeper ends. The one exception is the compositor's bridge answering our own
//   taking of the X11 selection (within KEEPER_BRIDGE_WAIT): it fetches from us, and the
//   X11 selection carries the text on.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>

#include "desktop/keeper.h"
#include "posix.h"

#define KEEPER_NAME "quillet-keeper"
#define KEEPER_POLL 1000         // ms between looks at answers under way
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
    // The keeper answers on these connections now: leave them untouched.
    handedOffX11 = x11->display;
    handedOffWayland = wayland->display;
    x11->display = nullptr;
    wayland->display = nullptr;
    return;
  }
  int keep[2];
  int count = 0;
  if (keepX11) keep[count++] = ConnectionNumber(x11->display);
  if (keepWayland) keep[count++] = WlConnection(wayland);
  Detach(keep, count);
  Keep(x11, keepX11, wayland, keepWayland, x11TakenAt);
}
