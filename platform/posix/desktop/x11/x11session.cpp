// The clipboard's connection to the X display: the session window, the atoms, the
// server's clock and the wait for events.
//
// Contract kept from Windows (OpenClipboard's side of it):
// - There is an X11 clipboard only where a display can be opened ($DISPLAY). Without one,
//   X11Open fails and says why; the server's refusal, which libxcb would write to
//   standard error itself, goes into that reason instead.
// - The clipboard never stops the program: X protocol errors (a requestor's window that
//   vanished mid-answer, say) are ignored rather than fatal, and every wait on another
//   program has a deadline. The loss of the display itself ends the process (with
//   status 0, as every run that got past its settings does), except in a keeper that
//   serves another connection too (X11OutliveDisplay): there only this session ends.
// - Nothing sleeps while Xlib holds events it has already read: every wait serves
//   Xlib's queue first, since round trips read whatever the server sent meanwhile.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix.h"
#include "desktop/x11/x11selection.h"

static const char* const ATOM_NAMES[ATOM_COUNT] = {
    "CLIPBOARD",         "TARGETS",      "MULTIPLE",          "TIMESTAMP",
    "UTF8_STRING",       "TEXT",         "INCR",              "ATOM_PAIR",
    "CLIPBOARD_MANAGER", "SAVE_TARGETS", "QUILLET_TRANSFER", "QUILLET_CLOCK",
};

// Errors are expected: requestors' windows come and go while we answer them.
static int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// The display went away: said nowhere (Xlib would print it), and what follows is up to
// the exit handler.
static int QuietOnLoss(Display*) { return 0; }

// Nothing is left to ask or to serve, and this Xlib connection cannot carry on, so the
// process ends here, quietly. _exit, because this may run inside the exit-time hand-off,
// where exit must not be called again.
static void EndOnLoss(Display*, void*) { _exit(0); }

// Xlib returns to its caller after this, and every later call on the display returns
// at once without effect.
static void MarkLost(Display*, void* session) { ((X11Session*)session)->lost = true; }

void X11OutliveDisplay(X11Session* session) {
  XSetIOErrorExitHandler(session->display, MarkLost, session);
}

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

bool X11Open(X11Session* session) {
  memset(session, 0, sizeof *session);
  const char* name = getenv("DISPLAY");
  if (name == nullptr || name[0] == '\0') {
    snprintf(session->openFailure, sizeof session->openFailure, "DISPLAY is not set");
    return false;
  }
  char refusal[sizeof session->openFailure - 64];
  Display* display = OpenCatchingRefusal(refusal, sizeof refusal);
  if (display == nullptr) {
    snprintf(session->openFailure, sizeof session->openFailure,
             "cannot open display %s (%s)", name,
             refusal[0] != '\0' ? refusal : "no X server answers there");
    return false;
  }
  XSetErrorHandler(IgnoreXError);
  XSetIOErrorHandler(QuietOnLoss);
  XSetIOErrorExitHandler(display, EndOnLoss, nullptr);
  if (!XInternAtoms(display, (char**)ATOM_NAMES, ATOM_COUNT, False, session->atoms)) {
    XCloseDisplay(display);
    return false;
  }
  // Never mapped: it owns the selection, receives answers and carries our properties.
  Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(display, window, PropertyChangeMask);
  session->display = display;
  session->window = window;
  session->ownedSince = CurrentTime;
  return true;
}

void X11Close(X11Session* session) {
  if (session->display == nullptr) return;
  X11OfferText(session, nullptr);
  XDestroyWindow(session->display, session->window);
  XCloseDisplay(session->display);
  session->display = nullptr;
  session->lost = false;
}

static bool IsClockTick(X11Session* session, const XEvent* event) {
  return event->type == PropertyNotify && event->xproperty.window == session->window &&
         event->xproperty.atom == session->atoms[ATOM_CLOCK_PROPERTY];
}

Time X11ServerTime(X11Session* session) {
  // Appending nothing to a property still makes the server report the time of the change.
  XChangeProperty(session->display, session->window, session->atoms[ATOM_CLOCK_PROPERTY],
                  XA_INTEGER, 8, PropModeAppend, nullptr, 0);
  XEvent event;
  int64_t deadline = MonotonicMilliseconds() + X11_READ_STEP_TIMEOUT;
  if (!X11WaitFor(session, IsClockTick, &event, deadline)) return CurrentTime;
  return event.xproperty.time;
}

// Waits for the connection to have something to read. False at the deadline.
static bool WaitReadable(Display* display, int64_t deadline) {
  struct pollfd connection = {ConnectionNumber(display), POLLIN, 0};
  for (;;) {
    int timeout = -1;
    if (deadline != X11_NO_DEADLINE) {
      int64_t left = deadline - MonotonicMilliseconds();
      if (left <= 0) return false;
      timeout = left > 60000 ? 60000 : (int)left;
    }
    int ready = poll(&connection, 1, timeout);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool X11WaitFor(X11Session* session, X11EventMatch match, XEvent* event, int64_t deadline) {
  Display* display = session->display;
  XFlush(display);
  for (;;) {
    // XPending reads what the server has sent; poll only when nothing is queued.
    while (XPending(display) > 0) {
      XNextEvent(display, event);
      if (match != nullptr && match(session, event)) return true;
      X11ServeEvent(session, event);
      XFlush(display);
    }
    if (!WaitReadable(display, deadline)) return false;
  }
}

// Serves every event Xlib holds or can read without waiting. XPending sends what is
// buffered, then reads what the server sent: when it says none, our answers are out and
// both Xlib's queue and the one beneath it are empty.
static void ServeQueue(X11Session* session) {
  XEvent event;
  while (!session->lost && XPending(session->display) > 0) {
    XNextEvent(session->display, &event);
    X11ServeEvent(session, &event);
  }
}

void X11ServePending(X11Session* session) {
  XSync(session->display, False);
  ServeQueue(session);
}

int X11PrepareWait(X11Session* session, struct pollfd* fd, int64_t* due) {
  if (session->display == nullptr || session->lost) return 0;
  ServeQueue(session);
  if (session->lost) return 0;
  // What this gives up is told to the server with the next flush; it reads nothing.
  int64_t next = X11ExpireTransfers(session);
  if (next != X11_NO_DEADLINE && (*due == X11_NO_DEADLINE || next < *due)) *due = next;
  *fd = {ConnectionNumber(session->display), POLLIN, 0};
  return 1;
}

void X11FinishWait(X11Session* session) {
  if (session->display != nullptr && !session->lost) ServeQueue(session);
}

bool X11WindowFocused(X11Session* session) {
  Window focus = None;
  int revert = 0;
  XGetInputFocus(session->display, &focus, &revert);
  return focus != None && focus != PointerRoot;
}
