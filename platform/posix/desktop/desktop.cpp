// The desktop record's one wait, and the clipboard's steps composed from the X11 and
// Wayland wings (desktop.h).
//
// Contract: nothing here waits on another program except through DesktopWait, and every
// wing step it waits for has a deadline of its own. While any wait runs, every reader of
// ours is served on both connections, so our own reading of another program's text, a
// round trip or the manager's hand-off holds up no reader of ours.
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "desktop/desktop.h"
#include "posix.h"

// Room for both connections, their pipes and the caller's descriptor.
#define WAIT_FDS (1 + WL_POLL_FDS + 1)
#define LONGEST_SLEEP 60000  // ms; a wait with no deadline still looks around now and then

bool DesktopWait(Desktop* desktop, int fd, int64_t deadline, DesktopCondition until,
                 void* context) {
  for (;;) {
    struct pollfd fds[WAIT_FDS];
    int64_t due = deadline;
    int x11 = desktop->x11 != nullptr ? X11PrepareWait(desktop->x11, fds, &due) : 0;
    int wayland =
        desktop->wayland != nullptr ? WlPrepareWait(desktop->wayland, fds + x11, &due) : 0;
    int count = x11 + wayland;
    if (until != nullptr && until(desktop, context)) {
      if (desktop->wayland != nullptr) WlCancelWait(desktop->wayland);
      return true;
    }
    if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
    int timeout = -1;
    if (due != NO_DEADLINE) {
      int64_t left = due - MonotonicMilliseconds();
      timeout = left <= 0 ? 0 : left > LONGEST_SLEEP ? LONGEST_SLEEP : (int)left;
    }
    if (count == 0 && timeout < 0) return false;  // nothing could ever end this wait
    if (poll(fds, (nfds_t)count, timeout) < 0) {
      for (int i = 0; i < count; ++i) fds[i].revents = 0;  // a signal: look again
    }
    if (desktop->wayland != nullptr) WlFinishWait(desktop->wayland, fds + x11, wayland);
    if (fd >= 0 && fds[count - 1].revents != 0) return true;
    if (deadline != NO_DEADLINE && MonotonicMilliseconds() >= deadline)
      return until != nullptr && until(desktop, context);
  }
}

// ---- Waiting for the wings' steps -------------------------------------------------------------
static bool StepsDone(Desktop* desktop, void*) {
  return (desktop->x11 == nullptr || !X11Waiting(desktop->x11)) &&
         (desktop->wayland == nullptr || !WlWaiting(desktop->wayland));
}

void AwaitSteps(Desktop* desktop) { DesktopWait(desktop, -1, NO_DEADLINE, StepsDone, nullptr); }

// True when the compositor confirmed what was asked.
static bool AwaitWayland(Desktop* desktop) {
  AwaitSteps(desktop);
  return WlSynced(desktop->wayland);
}

void SayDesktopError(const char* what) {
  char line[700];
  snprintf(line, sizeof line, "Quillet: error: %s", what);
  fprintf(stderr, "%s\n", line);
  fflush(stderr);
  OutputDebugStringA(line + strlen("Quillet: "));  // the system log names the program
}

// ---- Connecting -------------------------------------------------------------------------------
static bool IsSet(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && value[0] != '\0';
}

enum WlOpenStatus { WL_OPENED, WL_NO_COMPOSITOR, WL_NO_DATA_CONTROL };

static WlOpenStatus OpenWayland(Desktop* desktop, char* why, size_t size) {
  desktop->wayland = WlConnect(why, size);
  if (desktop->wayland == nullptr) return WL_NO_COMPOSITOR;
  bool answered = AwaitWayland(desktop);
  // The first selection event follows the device's creation: the second round trip.
  if (answered && WlBindDevice(desktop->wayland) && AwaitWayland(desktop)) return WL_OPENED;
  const char* name = getenv("WAYLAND_DISPLAY");
  snprintf(why, size,
           answered ? "Wayland display %s offers no data-control"
                    : "Wayland display %s does not answer",
           name != nullptr ? name : "");
  WlClose(desktop->wayland);
  desktop->wayland = nullptr;
  return answered ? WL_NO_DATA_CONTROL : WL_NO_COMPOSITOR;
}

bool DesktopConnected(const Desktop* desktop) {
  return desktop->x11 != nullptr || desktop->wayland != nullptr;
}

bool ConnectDesktop(Desktop* desktop, char* why, size_t size) {
  if (DesktopConnected(desktop)) return true;
  char wayland[256] = "";
  char x11[256];
  desktop->waylandSession = false;
  if (IsSet("WAYLAND_DISPLAY")) {
    WlOpenStatus status = OpenWayland(desktop, wayland, sizeof wayland);
    desktop->waylandSession = status != WL_NO_COMPOSITOR;
    if (status == WL_OPENED) return true;
  }
  desktop->x11 = X11Open(x11, sizeof x11);
  if (desktop->x11 != nullptr) return true;
  snprintf(why, size, "%s%s%s", wayland, wayland[0] != '\0' ? "; " : "", x11);
  return false;
}

static void CloseX11(Desktop* desktop) {
  if (desktop->x11 != nullptr) X11Close(desktop->x11);
  desktop->x11 = nullptr;
}

void DisconnectDesktop(Desktop* desktop) {
  if (desktop->wayland != nullptr) WlClose(desktop->wayland);
  desktop->wayland = nullptr;
  CloseX11(desktop);
  FreeOfferedText(&desktop->text);
}

// ---- Reading ---------------------------------------------------------------------------------
bool DesktopOwns(Desktop* desktop) {
  if (desktop->wayland == nullptr) return X11OwnsSelection(desktop->x11);
  DesktopWait(desktop, -1, MonotonicMilliseconds(), nullptr, nullptr);  // a cancellation may wait
  return WlOwner(desktop->wayland);
}

unsigned long ReadDesktopText(Desktop* desktop, char** text, size_t* length, bool* latin1) {
  *latin1 = false;
  if (desktop->wayland != nullptr) {
    WlAskText(desktop->wayland);
    AwaitWayland(desktop);
    return WlTakeText(desktop->wayland, text, length);
  }
  // UTF-8 if the owner has it, else Latin-1 (STRING); an owner that answers with another
  // type than asked is taken at its word.
  X11AskSelection(desktop->x11, X11_UTF8);
  AwaitSteps(desktop);
  unsigned long status = X11TakeText(desktop->x11, text, length, latin1);
  if (status != ERROR_NOT_SUPPORTED) return status;
  X11AskSelection(desktop->x11, X11_LATIN1);
  AwaitSteps(desktop);
  return X11TakeText(desktop->x11, text, length, latin1);
}

bool DesktopOffersText(Desktop* desktop) {
  if (DesktopOwns(desktop)) return desktop->text.utf8 != nullptr;
  if (desktop->wayland != nullptr) return WlOffersText(desktop->wayland);
  X11AskSelection(desktop->x11, X11_TARGETS);
  AwaitSteps(desktop);
  unsigned long status = 0;
  if (X11ListsText(desktop->x11, &status)) return true;
  if (status != ERROR_NOT_SUPPORTED) return false;
  // An owner that cannot list its targets may still give text: try it.
  char* text = nullptr;
  size_t length = 0;
  bool latin1 = false;
  status = ReadDesktopText(desktop, &text, &length, &latin1);
  free(text);
  return status == 0;
}

// ---- Taking the clipboard --------------------------------------------------------------------
// What both sessions offer from now on. Their answers from the old text end first.
static bool SetOffered(Desktop* desktop, const char* text) {
  if (desktop->x11 != nullptr) X11Offer(desktop->x11, nullptr);
  if (desktop->wayland != nullptr) WlEndAnswers(desktop->wayland);
  FreeOfferedText(&desktop->text);
  return text == nullptr || MakeOfferedText(text, &desktop->text);
}

// The X11 selection, taken anew also when it is ours already: a new text needs a new
// owner's time, or programs that watch the owner (a compositor's bridge, a clipboard
// manager) keep what they learnt of the old one, an empty clipboard's targets say.
static bool TakeX11(Desktop* desktop) {
  X11Session* x11 = desktop->x11;
  X11Offer(x11, &desktop->text);
  X11AskOwnership(x11);
  AwaitSteps(desktop);
  if (X11Owner(x11)) return true;
  X11Offer(x11, nullptr);
  return false;
}

// The Wayland selection and, where an X display is at hand and the compositor's bridge does
// not carry the clipboard to X11 programs (it does so only for the active X11 window, and
// taking the selection beside it would race it), the X11 selection too.
static unsigned long TakeWayland(Desktop* desktop, bool mirror) {
  WlOffer(desktop->wayland, &desktop->text);
  if (!AwaitWayland(desktop) || !WlOwner(desktop->wayland)) return ERROR_ACCESS_DENIED;
  if (!mirror) return 0;
  char why[256];
  if (desktop->x11 == nullptr && IsSet("DISPLAY")) desktop->x11 = X11Open(why, sizeof why);
  if (desktop->x11 == nullptr) return 0;
  if (!X11WindowActive(desktop->x11) && TakeX11(desktop)) {
    desktop->x11TakenAt = MonotonicMilliseconds();
  } else {
    CloseX11(desktop);
  }
  return 0;
}

unsigned long TakeDesktop(Desktop* desktop, const char* text) {
  if (!SetOffered(desktop, text)) return ERROR_NOT_ENOUGH_MEMORY;
  if (desktop->wayland != nullptr) return TakeWayland(desktop, text != nullptr);
  return TakeX11(desktop) ? 0 : ERROR_ACCESS_DENIED;
}
