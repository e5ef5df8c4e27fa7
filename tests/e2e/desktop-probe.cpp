// desktop-probe: calls the Linux desktop functions (clipboard, message box, tone) one at a
// time, so the end-to-end tests can check each against the real X server and ALSA.
//
//   desktop-probe get          CF_TEXT of the clipboard to stdout (exit 3 when none)
//   desktop-probe set          stdin as CF_TEXT onto the clipboard
//   desktop-probe rules        the clipboard's refusals while it is not open
//   desktop-probe beep HZ MS   Beep(HZ, MS); exit 0 when it reports TRUE
//   desktop-probe message error|warning TEXT
//   desktop-probe pixel X Y W H
//                              the most frequent strong colour (no grey) in that area of
//                              the screen, as RRGGBB, or "none"
//   desktop-probe owned NAME   exit 0 when the selection NAME has an owner
//   desktop-probe manager answer|hollow|silent
//                              a clipboard manager: takes the text offered by SAVE_TARGETS
//                              (UTF8_STRING), writes it to stdout and ends; or says it took
//                              it without asking for it (then asks for the text at once,
//                              and prints what it got); or never answers
//   desktop-probe stall x11|wayland COUNT stuck|slow|next
//                              a reader that asks for the clipboard's text COUNT times
//                              (UTF-8), says "asked" and never reads it; slow: takes one
//                              page (a piece on X11) every 4 s, and on Wayland says when
//                              the writer gave up; next (Wayland): says "watching", and
//                              asks as soon as a text replaces the present selection (which
//                              must offer none)
//   desktop-probe focus parked|active
//                              a mapped window of its own takes the X11 input focus; the
//                              root's _NET_ACTIVE_WINDOW names it (active) or none (parked,
//                              as KWin parks the focus on a 1x1 window at -1,-1). Says
//                              "ready", then stays until killed
//   desktop-probe no-close-range COMMAND [ARGUMENT]...
//                              runs COMMAND with close_range failing (ENOSYS), in it and
//                              in every process it starts
#include <X11/Xutil.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <wayland-client-core.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "close-range-fails.h"
#include "winapi.h"
#include "posix.h"
#include "desktop/wayland/wlselection.h"
#include "desktop/x11/x11selection.h"

namespace {

int Get() {
  if (!IsClipboardFormatAvailable(CF_TEXT)) return 3;
  if (!OpenClipboard(nullptr)) return 2;
  int status = 3;
  HANDLE data = GetClipboardData(CF_TEXT);
  const char* text = data ? (const char*)GlobalLock(data) : nullptr;
  if (text != nullptr) {
    fwrite(text, 1, strlen(text), stdout);
    GlobalUnlock(data);
    status = 0;
  }
  CloseClipboard();
  return status;
}

int Set() {
  std::string text;
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, stdin)) > 0) text.append(chunk, n);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
  char* p = block ? (char*)GlobalLock(block) : nullptr;
  if (p == nullptr) return 2;
  memcpy(p, text.c_str(), text.size() + 1);
  GlobalUnlock(block);
  if (!OpenClipboard(nullptr)) return 2;
  int status = 0;
  if (!EmptyClipboard()) status = 4;
  if (status == 0 && SetClipboardData(CF_TEXT, block) == nullptr) {
    GlobalFree(block);
    status = 5;
  }
  CloseClipboard();
  return status;
}

// Each line: what was called, and whether it failed with the code Windows gives.
int Rules() {
  int wrong = 0;
  auto check = [&wrong](const char* name, bool failed) {
    bool right = failed && GetLastError() == ERROR_CLIPBOARD_NOT_OPEN;
    printf("%s %s\n", name, right ? "refused" : "ALLOWED");
    if (!right) ++wrong;
  };
  check("GetClipboardData", GetClipboardData(CF_TEXT) == nullptr);
  check("EmptyClipboard", !EmptyClipboard());
  check("SetClipboardData", SetClipboardData(CF_TEXT, GlobalAlloc(GMEM_MOVEABLE, 1)) == nullptr);
  check("CloseClipboard", !CloseClipboard());
  // Open: only CF_TEXT, and no delayed rendering.
  if (!OpenClipboard(nullptr)) return 2;
  bool otherFormat = GetClipboardData(13) == nullptr;
  bool delayed = SetClipboardData(CF_TEXT, nullptr) == nullptr;
  printf("other-format %s\ndelayed-rendering %s\n", otherFormat ? "refused" : "ALLOWED",
         delayed ? "refused" : "ALLOWED");
  CloseClipboard();
  return wrong == 0 && otherFormat && delayed ? 0 : 1;
}

int Pixel(int x, int y, int width, int height) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 2;
  XImage* image =
      XGetImage(display, DefaultRootWindow(display), x, y, width, height, AllPlanes, ZPixmap);
  if (image == nullptr) return 2;
  // The 24-bit TrueColor of the test server. A colour is strong when its channels lie
  // more than 96 apart: text, frames and shading are grey, an icon's colour is not.
  std::map<unsigned long, int> strong;
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      unsigned long pixel = XGetPixel(image, column, row) & 0xFFFFFF;
      int r = (int)(pixel >> 16), g = (int)(pixel >> 8 & 0xFF), b = (int)(pixel & 0xFF);
      if (std::max({r, g, b}) - std::min({r, g, b}) > 96) ++strong[pixel];
    }
  }
  auto most = std::max_element(strong.begin(), strong.end(),
                               [](const auto& a, const auto& b) { return a.second < b.second; });
  if (most == strong.end()) {
    printf("none\n");
  } else {
    printf("%06lx\n", most->first);
  }
  XDestroyImage(image);
  XCloseDisplay(display);
  return 0;
}

int Owned(const char* selection) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 2;
  Window owner = XGetSelectionOwner(display, XInternAtom(display, selection, False));
  XCloseDisplay(display);
  return owner != None ? 0 : 1;
}

bool IsSaveRequest(X11Session* session, const XEvent* event) {
  return event->type == SelectionRequest &&
         event->xselectionrequest.selection == session->atoms[ATOM_CLIPBOARD_MANAGER] &&
         event->xselectionrequest.target == session->atoms[ATOM_SAVE_TARGETS];
}

enum ManagerKind { MANAGER_ANSWERS, MANAGER_HOLLOW, MANAGER_SILENT };

bool IsClipboardAnswer(X11Session* session, const XEvent* event) {
  return event->type == SelectionNotify &&
         event->xselection.selection == session->atoms[ATOM_CLIPBOARD];
}

int Manager(ManagerKind kind) {
  X11Session session;
  if (!X11Open(&session)) return 2;
  Display* display = session.display;
  XSetSelectionOwner(display, session.atoms[ATOM_CLIPBOARD_MANAGER], session.window,
                     CurrentTime);
  printf("ready\n");
  fflush(stdout);
  XEvent event;
  do {
    X11WaitFor(&session, IsSaveRequest, &event, X11_NO_DEADLINE);
  } while (kind == MANAGER_SILENT);
  const XSelectionRequestEvent& request = event.xselectionrequest;
  char* text = nullptr;
  size_t length = 0;
  Atom type = None;
  bool saved = kind == MANAGER_HOLLOW ||
               X11ReadSelection(&session, session.atoms[ATOM_UTF8_STRING], &text, &length,
                                &type) == 0;
  XSelectionEvent reply = {};
  reply.type = SelectionNotify;
  reply.requestor = request.requestor;
  reply.selection = request.selection;
  reply.target = request.target;
  reply.property = saved ? request.property : None;
  reply.time = request.time;
  XSendEvent(display, request.requestor, False, NoEventMask, (XEvent*)&reply);
  if (kind == MANAGER_HOLLOW) {
    // Asked in the same breath as the answer, as a manager that fetches on every change
    // does: the request reaches the owner together with the answer it waits for.
    Atom property = session.atoms[ATOM_TRANSFER_PROPERTY];
    XConvertSelection(display, session.atoms[ATOM_CLIPBOARD], session.atoms[ATOM_UTF8_STRING],
                      property, session.window, CurrentTime);
    if (X11WaitFor(&session, IsClipboardAnswer, &event, MonotonicMilliseconds() + 3000) &&
        event.xselection.property != None) {
      int format = 0;
      unsigned long after = 0;
      unsigned char* data = nullptr;
      XGetWindowProperty(display, session.window, property, 0, 1 << 20, True,
                         AnyPropertyType, &type, &format, &length, &after, &data);
      if (data != nullptr) text = strndup((const char*)data, length);
      XFree(data);
    }
  }
  XSync(display, False);
  if (text != nullptr) fwrite(text, 1, length, stdout);
  free(text);
  X11Close(&session);
  return saved ? 0 : 3;
}

enum StallKind { STALL_STUCK, STALL_SLOW, STALL_NEXT };
#define STALL_PAGE 4096
#define STALL_PAUSE 4000  // ms

void SayAsked() {
  printf("asked\n");
  fflush(stdout);
}

// INCR answers, each in a property of its own that is never deleted, or one piece of the
// first every STALL_PAUSE.
int StallX11(int count, StallKind kind) {
  X11Session session;
  if (!X11Open(&session)) return 2;
  Display* display = session.display;
  Atom first = None;
  for (int i = 0; i < count; ++i) {
    std::string name = "QUILLET_STALL_" + std::to_string(i);
    Atom property = XInternAtom(display, name.c_str(), False);
    if (i == 0) first = property;
    XConvertSelection(display, session.atoms[ATOM_CLIPBOARD], session.atoms[ATOM_UTF8_STRING],
                      property, session.window, CurrentTime);
  }
  XEvent event;
  for (int answers = 0; answers < count; ++answers) {
    if (!X11WaitFor(&session, IsClipboardAnswer, &event, MonotonicMilliseconds() + 5000))
      return 4;
    if (event.xselection.property == None) return 3;
  }
  SayAsked();
  for (;;) {
    sleep(STALL_PAUSE / 1000);
    if (kind == STALL_SLOW) XDeleteProperty(display, session.window, first);
    X11ServePending(&session);
  }
}

// Serves the connection until the selection offers text.
bool AwaitText(WlSession* session) {
  while (!session->lost && !WlOffersText(session)) {
    struct pollfd fds[WL_POLL_FDS];
    int64_t due = WL_NO_DEADLINE;
    int n = WlPrepareWait(session, fds, &due);
    if (poll(fds, (nfds_t)n, -1) < 0) return false;
    WlFinishWait(session, fds, n);
  }
  return WlOffersText(session);
}

// Pipes that are never read, or the first read a page every STALL_PAUSE until the
// writer has closed it: then how long that took and how much it had written.
int StallWayland(int count, StallKind kind) {
  WlSession session;
  char why[256];
  if (WlOpen(&session, why, sizeof why) != WL_OPENED) return 2;
  if (kind == STALL_NEXT) {
    if (WlOffersText(&session)) return 3;  // nothing tells a new text from this one
    printf("watching\n");
    fflush(stdout);
    if (!AwaitText(&session)) return 4;
  }
  if (!WlOffersText(&session)) return 3;
  int* pipes = new int[count];
  for (int i = 0; i < count; ++i) {
    int ends[2];
    if (pipe(ends) != 0) return 2;
    wl_proxy_marshal_flags(session.offer, WL_OFFER_RECEIVE, nullptr, 1, 0,
                           "text/plain;charset=utf-8", ends[1]);
    close(ends[1]);
    pipes[i] = ends[0];
  }
  if (!WlRoundtrip(&session)) return 4;
  int64_t asked = MonotonicMilliseconds();
  SayAsked();
  size_t taken = 0;
  for (;;) {
    struct pollfd end = {pipes[0], 0, 0};  // only its hang-up
    poll(&end, 1, STALL_PAUSE);
    if (kind == STALL_SLOW && (end.revents & POLLHUP) != 0) {
      int waiting = 0;
      ioctl(pipes[0], FIONREAD, &waiting);
      printf("writer ended after %lld ms with %zu bytes\n",
             (long long)(MonotonicMilliseconds() - asked), taken + (size_t)waiting);
      for (int i = 0; i < count; ++i) close(pipes[i]);
      delete[] pipes;
      WlClose(&session);
      return 0;
    }
    char page[STALL_PAGE];
    ssize_t n = kind == STALL_SLOW ? read(pipes[0], page, sizeof page) : 0;
    if (n > 0) taken += (size_t)n;
  }
}

int Focus(bool parked) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 2;
  Window root = DefaultRootWindow(display);
  XSetWindowAttributes attributes = {};
  attributes.override_redirect = True;
  Window window = parked ? XCreateWindow(display, root, -1, -1, 1, 1, 0, CopyFromParent,
                                         InputOutput, CopyFromParent, CWOverrideRedirect,
                                         &attributes)
                         : XCreateSimpleWindow(display, root, 10, 10, 100, 100, 0, 0, 0);
  XSelectInput(display, window, StructureNotifyMask);
  XMapWindow(display, window);
  XEvent event;
  do {
    XWindowEvent(display, window, StructureNotifyMask, &event);
  } while (event.type != MapNotify);
  XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
  long active = parked ? (long)None : (long)window;
  XChangeProperty(display, root, XInternAtom(display, "_NET_ACTIVE_WINDOW", False), XA_WINDOW,
                  32, PropModeReplace, (unsigned char*)&active, 1);
  XSync(display, False);
  printf("ready\n");
  fflush(stdout);
  for (;;) pause();
}

int NoCloseRange(char** command) {
  if (!MakeCloseRangeFail()) return 2;
  execvp(command[0], command);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "get") return Get();
  if (command == "set") return Set();
  if (command == "rules") return Rules();
  if (command == "beep" && argc == 4)
    return Beep((DWORD)strtoul(argv[2], nullptr, 10), (DWORD)strtoul(argv[3], nullptr, 10)) ? 0 : 1;
  if (command == "message" && argc == 4) {
    UINT icon = strcmp(argv[2], "warning") == 0 ? MB_ICONEXCLAMATION : MB_ICONHAND;
    return MessageBoxA(nullptr, argv[3], "Quillet", MB_OK | icon) == IDOK ? 0 : 1;
  }
  if (command == "pixel" && argc == 6) {
    return Pixel(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
  }
  if (command == "owned" && argc == 3) return Owned(argv[2]);
  if (command == "stall" && argc == 5) {
    std::string kind = argv[4];
    StallKind stall = kind == "slow" ? STALL_SLOW : kind == "next" ? STALL_NEXT : STALL_STUCK;
    int count = atoi(argv[3]);
    if (count < 1 || (kind != "stuck" && kind != "slow" && kind != "next")) return 1;
    if (strcmp(argv[2], "x11") == 0 && stall != STALL_NEXT) return StallX11(count, stall);
    if (strcmp(argv[2], "wayland") == 0) return StallWayland(count, stall);
  }
  if (command == "manager" && argc == 3) {
    std::string kind = argv[2];
    if (kind == "answer") return Manager(MANAGER_ANSWERS);
    if (kind == "hollow") return Manager(MANAGER_HOLLOW);
    if (kind == "silent") return Manager(MANAGER_SILENT);
  }
  if (command == "focus" && argc == 3) return Focus(strcmp(argv[2], "parked") == 0);
  if (command == "no-close-range" && argc > 2) return NoCloseRange(argv + 2);
  fprintf(stderr, "usage: desktop-probe get|set|rules|beep HZ MS|message KIND TEXT|"
                  "pixel X Y W H|owned NAME|manager answer|hollow|silent|"
                  "stall x11|wayland COUNT stuck|slow|next|focus parked|active\n");
  return 1;
}
