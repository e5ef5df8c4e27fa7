// Keeping the clipboard's text alive after Quillet ends.
//
// Contract kept from Windows: a text set on the clipboard stays there after the program
// that set it has ended, until another program replaces it. On X11 the text lives only
// as long as someone answers for the selection, so at exit:
// - a running clipboard manager is asked to take the text over (the SAVE_TARGETS
//   hand-off, UTF8_STRING and STRING), and given X11_MANAGER_WAIT to say it has. Its
//   word counts only when it fetched the text from us meanwhile: some window managers
//   own CLIPBOARD_MANAGER and answer at once without ever asking, and trusting them would
//   lose the text;
// - where none takes it, a keeper process carries on serving it: forked from Quillet on
//   the same connection (so the selection never changes hands), in its own session,
//   with SIGHUP ignored and every inherited descriptor closed (stdin, stdout and stderr
//   point at /dev/null), so that no pipe, terminal, port or lock of the caller stays
//   held. It ends when another program takes the selection (after finishing answers
//   under way) or when the display goes away.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>

#include "posix.h"
#include "desktop/x11/x11selection.h"

#define X11_MANAGER_WAIT 2000  // ms
#define KEEPER_NAME "quillet-keeper"
#define KEEPER_POLL 1000  // ms between looks at answers under way

static bool IsSaveAnswer(X11Session* session, const XEvent* event) {
  return event->type == SelectionNotify && event->xselection.requestor == session->window &&
         event->xselection.selection == session->atoms[ATOM_CLIPBOARD_MANAGER];
}

static bool IsAnyEvent(X11Session*, const XEvent*) { return true; }

static bool SaveWithManager(X11Session* session) {
  Display* display = session->display;
  const Atom* atoms = session->atoms;
  if (XGetSelectionOwner(display, atoms[ATOM_CLIPBOARD_MANAGER]) == None) return false;
  long targets[2] = {(long)atoms[ATOM_UTF8_STRING], (long)XA_STRING};
  XChangeProperty(display, session->window, atoms[ATOM_TRANSFER_PROPERTY], XA_ATOM, 32,
                  PropModeReplace, (unsigned char*)targets, 2);
  XConvertSelection(display, atoms[ATOM_CLIPBOARD_MANAGER], atoms[ATOM_SAVE_TARGETS],
                    atoms[ATOM_TRANSFER_PROPERTY], session->window, CurrentTime);
  // The manager asks us for the targets meanwhile; X11WaitFor answers it.
  unsigned long deliveredBefore = session->textsDelivered;
  XEvent event;
  int64_t deadline = MonotonicMilliseconds() + X11_MANAGER_WAIT;
  if (!X11WaitFor(session, IsSaveAnswer, &event, deadline)) return false;
  // A yes without a fetch is hollow: nobody holds the text but us.
  return event.xselection.property != None && session->textsDelivered != deliveredBefore;
}

// Leaves the caller behind: no terminal, no hang-up, none of its descriptors but the
// display connection.
static void Detach(int connection) {
  setsid();
  signal(SIGHUP, SIG_IGN);
  prctl(PR_SET_NAME, KEEPER_NAME, 0, 0, 0);
  if (connection > 3) close_range(3, (unsigned)connection - 1, 0);
  close_range((unsigned)(connection < 3 ? 3 : connection + 1), ~0U, 0);
  int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fd == connection || fd == null) continue;
    if (null >= 0) {
      dup2(null, fd);
    } else {
      close(fd);
    }
  }
  if (null > 2 && null != connection) close(null);
  if (chdir("/") != 0) {
    // Only a busy mount point is at stake.
  }
}

static void Keep(X11Session* session) {
  for (;;) {
    bool pending = X11TransfersPending(session);
    if (!session->owner && !pending) _exit(0);
    int64_t deadline = pending ? MonotonicMilliseconds() + KEEPER_POLL : X11_NO_DEADLINE;
    XEvent event;
    if (X11WaitFor(session, IsAnyEvent, &event, deadline)) X11ServeEvent(session, &event);
  }
}

// The connection a keeper took over: its memory stays referenced until this process
// ends, as a leak checker should see it.
static Display* handedOff;

void X11HandOff(X11Session* session) {
  X11ServePending(session);
  if (!session->owner || !X11OwnsSelection(session) || !session->hasText ||
      SaveWithManager(session)) {
    X11Close(session);
    return;
  }
  fflush(nullptr);  // nothing buffered may be written twice
  pid_t keeper = fork();
  if (keeper < 0) {
    X11Close(session);
    return;
  }
  if (keeper > 0) {
    // The keeper answers on this connection now: leave it untouched.
    handedOff = session->display;
    session->display = nullptr;
    return;
  }
  Detach(ConnectionNumber(session->display));
  Keep(session);
}
