// The clipboard's connection to the X display: the session window, the atoms, the
// server's clock, the events and the connection's part in the desktop's one wait.
//
// Contract kept from Windows (OpenClipboard's side of it):
// - There is an X11 clipboard only where a display can be opened ($DISPLAY). Without one,
//   X11Open fails and says why; the server's refusal, which libxcb would write to
//   standard error itself, goes into that reason instead.
// - The clipboard never stops the program: X protocol errors (a requestor's window that
//   vanished mid-answer, say) are ignored rather than fatal, and every step that awaits
//   another program has a deadline. The loss of the display itself ends the process
//   (with status 0, as every run that got past its settings does), except in a keeper that
//   serves another connection too (X11OutliveDisplay): there only this session ends.
// - Nothing sleeps while Xlib holds events it has already read: the wait serves Xlib's
//   queue first, since round trips and flushes read whatever the server sent meanwhile.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix.h"
#include "desktop/x11/x11wing.h"

static const char* const ATOM_NAMES[ATOM_COUNT] = {
    "CLIPBOARD",         "TARGETS",      "MULTIPLE",          "TIMESTAMP",
    "UTF8_STRING",       "TEXT",         "INCR",              "ATOM_PAIR",
    "CLIPBOARD_MANAGER", "SAVE_TARGETS", "QUILLET_TRANSFER", "QUILLET_CLOCK",
    "_NET_ACTIVE_WINDOW",
};

// Errors are expected: requestors' windows come and go while we answer them.
static int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// The display went away: said nowhere (Xlib would print it), and what follows is up to
// the exit handler.
static int QuietOnLoss(Display*) { return 0; }

// Nothing is left to ask or to serve, and this Xlib connection cannot carry on, so the
// process ends here, quietly. _exit, because this may run inside an exit-time handler,
// where exit must not be called again.
static void EndOnLoss(Display*, void*) { _exit(0); }

// Xlib returns to its caller after this, and every later call on the display returns
// at once without effect.
static void MarkLost(Display*, void* session) { ((X11Session*)session)->lost = true; }

void X11OutliveDisplay(X11Session* session) {
  XSetIOErrorExitHandler(session->display, MarkLost, session);
}

bool X11Lost(const X11Session* session) { return session->lost; }

int X11Connection(const X11Session* session) { return ConnectionNumber(session->display); }

// XOpenDisplay with standard error caught in a pipe for the while: what the server said
// when it refused us lands in refusal (empty when it said nothing).
static Display* OpenCatchingRefusal(char* refusal, size_t size) {
  refusal[0] = '\0';
  int ends[2];
  fflush(stderr);
  int saved = dup(STDERR_FILENO);
  bool catching = saved >= 0 && pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0;
  if (catching) dup2(ends[1], STDERR_FILENO);
  Display* display = XOpenDisplay(nullptr);
  if (catching) {
    dup2(saved, STDERR_FILENO);
    close(ends[1]);
    ssize_t length = read(ends[0], refusal, size - 1);
    refusal[length > 0 ? length : 0] = '\0';
    close(ends[0]);
  }
  if (saved >= 0) close(saved);
  // One phrase: line ends become blanks, those at the end go.
  size_t length = strlen(refusal);
  while (length > 0 && (refusal[length - 1] == '\n' || refusal[length - 1] == ' '))
    refusal[--length] = '\0';
  for (char* c = refusal; *c != '\0'; ++c) {
    if (*c == '\n') *c = ' ';
  }
  return display;
}

X11Session* X11Open(char* why, size_t size) {
  const char* name = getenv("DISPLAY");
  if (name == nullptr || name[0] == '\0') {
    snprintf(why, size, "DISPLAY is not set");
    return nullptr;
  }
  char refusal[160];
  Display* display = OpenCatchingRefusal(refusal, sizeof refusal);
  if (display == nullptr) {
    snprintf(why, size, "cannot open display %s (%s)", name,
             refusal[0] != '\0' ? refusal : "no X server answers there");
    return nullptr;
  }
  X11Session* session = (X11Session*)calloc(1, sizeof *session);
  if (session == nullptr ||
      !XInternAtoms(display, (char**)ATOM_NAMES, ATOM_COUNT, False, session->atoms)) {
    snprintf(why, size, "cannot set up a window on display %s", name);
    free(session);
    XCloseDisplay(display);
    return nullptr;
  }
  XSetErrorHandler(IgnoreXError);
  XSetIOErrorHandler(QuietOnLoss);
  XSetIOErrorExitHandler(display, EndOnLoss, nullptr);
  // Never mapped: it owns the selection, receives answers and carries our properties.
  Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(display, window, PropertyChangeMask);
  session->display = display;
  session->window = window;
  session->ownedSince = CurrentTime;
  return session;
}

void X11Close(X11Session* session) {
  X11Offer(session, nullptr);
  EndPeerRead(&session->read, ERROR_INVALID_DATA, nullptr);
  XDestroyWindow(session->display, session->window);
  XCloseDisplay(session->display);
  free(session);
}

// ---- Steps and the wait ---------------------------------------------------------------------
bool X11Waiting(const X11Session* session) {
  return !session->lost && session->step != X11_STEP_NONE;
}

void X11EndStep(X11Session* session) {
  session->step = X11_STEP_NONE;
  session->stepDeadline = NO_DEADLINE;
}

void X11AskOwnership(X11Session* session) {
  // Appending nothing to a property still makes the server report the time of the change.
  XChangeProperty(session->display, session->window, session->atoms[ATOM_CLOCK_PROPERTY],
                  XA_INTEGER, 8, PropModeAppend, nullptr, 0);
  session->step = X11_STEP_CLOCK;
  session->stepDeadline = MonotonicMilliseconds() + X11_CLOCK_WAIT;
}

// Ends the step if its deadline has passed; its deadline while it runs on.
static int64_t ExpireStep(X11Session* session) {
  if (session->step == X11_STEP_READ) {
    int64_t deadline = ExpirePeerRead(&session->read);
    if (!session->read.underWay) X11EndStep(session);
    return deadline;
  }
  if (session->step == X11_STEP_NONE) return NO_DEADLINE;
  if (MonotonicMilliseconds() < session->stepDeadline) return session->stepDeadline;
  // A server that does not tell its time: the selection is taken without one.
  if (session->step == X11_STEP_CLOCK) {
    X11TakeSelection(session, CurrentTime);
  } else {
    X11EndStep(session);
  }
  return NO_DEADLINE;
}

static void ServeEvent(X11Session* session, const XEvent* event) {
  if (event->type == PropertyNotify && event->xproperty.window == session->window &&
      event->xproperty.atom == session->atoms[ATOM_CLOCK_PROPERTY]) {
    if (session->step == X11_STEP_CLOCK) X11TakeSelection(session, event->xproperty.time);
    return;
  }
  X11ServeReaderEvent(session, event);
  X11ServeManagerEvent(session, event);
  X11ServeOwnerEvent(session, event);
}

// Serves every event Xlib holds or can read without waiting. XPending sends what is
// buffered, then reads what the server sent: when it says none, our answers are out and
// both Xlib's queue and the one beneath it are empty.
static void ServeQueue(X11Session* session) {
  XEvent event;
  while (!session->lost && XPending(session->display) > 0) {
    XNextEvent(session->display, &event);
    ServeEvent(session, &event);
  }
}

int X11PrepareWait(X11Session* session, struct pollfd* fd, int64_t* due) {
  int64_t next = NO_DEADLINE;
  while (!session->lost) {
    ServeQueue(session);
    next = EarlierDeadline(X11ExpireAnswers(session), ExpireStep(session));
    // What that gave up is told to the server now. A flush that finds the server busy
    // reads meanwhile, so the queue is looked at again.
    XFlush(session->display);
    if (session->lost || XQLength(session->display) == 0) break;
  }
  if (session->lost) return 0;
  *due = EarlierDeadline(*due, next);
  *fd = {ConnectionNumber(session->display), POLLIN, 0};
  return 1;
}

bool X11WindowActive(X11Session* session) {
  Display* display = session->display;
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  Window active = None;
  // Not the input focus: a compositor may park it on a window of its own (KWin does).
  if (XGetWindowProperty(display, DefaultRootWindow(display),
                         session->atoms[ATOM_NET_ACTIVE_WINDOW], 0, 1, False, XA_WINDOW,
                         &type, &format, &items, &after, &data) == Success &&
      data != nullptr && type == XA_WINDOW && format == 32 && items == 1)
    active = (Window)((long*)data)[0];
  if (data != nullptr) XFree(data);
  return active != None;
}
