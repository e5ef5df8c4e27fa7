// desktop-probe: the Linux desktop functions (clipboard, message box, tone) one call at a
// time, and the desktop's other programs, well or badly behaved, on Xlib and wayland-client
// alone, for the end-to-end tests. Commands ("ready": says so, then stays):
//   get | set                  CF_TEXT of the clipboard to stdout (exit 3: none) | stdin onto it
//   beep HZ MS                 Beep(HZ, MS); exit 0 when it reports TRUE
//   message error|warning TEXT
//   pixel X Y W H              the area's most frequent strong colour (no grey), RRGGBB or none
//   owned NAME                 exit 0 when the selection NAME has an owner
//   focus parked|active        a mapped window takes the X11 input focus, and the root's
//                              _NET_ACTIVE_WINDOW names it, or none (as KWin parks it); ready
//   manager answer|hollow|silent  a clipboard manager: takes the text SAVE_TARGETS offers
//                              (UTF8_STRING) and prints it; says it took it without asking
//                              (then asks in the same breath and prints it); or never answers
//   stall x11|wayland COUNT stuck|slow|next [PAUSE]
//                              asks COUNT times for the UTF-8 text, says "asked", never reads;
//                              slow: a page (X11: a piece) every PAUSE ms (4000), then "ended
//                              after MS ms with BYTES bytes[ whole]"; next (Wayland): says
//                              "watching", asks once a text replaces a selection offering none
//   owner endless|drip|format32  a hostile X11 owner: UTF8_STRING in 256 KiB pieces without
//                              end, a byte every 4 s, or "ab", a piece in format 32, "cd"; ready
//   source endless             a Wayland source whose text never ends; ready
//   peak FILE COMMAND...       COMMAND's peak resident size in KiB into FILE
//   without close_range|fork COMMAND...  COMMAND with close_range (ENOSYS) or fork (EAGAIN, as
//                              at the process limit) failing, in it and all it starts
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "posix/posix.h"
#include "winapi.h"
#include "wlr-data-control-unstable-v1-client.h"

namespace {

long long Now() { return MonotonicMilliseconds(); }

void Say(const char* line) {
  printf("%s\n", line);
  fflush(stdout);
}

// A stalling reader's last word. Its connection and requests are the process's to the end,
// so it leaves at once: no leak check under the sanitizers, which would fail the probe.
[[noreturn]] void Ended() {
  fflush(stdout);
  _exit(0);
}

// ---- The Windows functions ------------------------------------------------------------------
int Get() {
  if (!IsClipboardFormatAvailable(CF_TEXT)) return 3;
  if (!OpenClipboard(nullptr)) return 2;
  HANDLE data = GetClipboardData(CF_TEXT);
  const char* text = data ? (const char*)GlobalLock(data) : nullptr;
  if (text != nullptr) fwrite(text, 1, strlen(text), stdout);
  if (text != nullptr) GlobalUnlock(data);
  CloseClipboard();
  return text != nullptr ? 0 : 3;
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
  int status = !EmptyClipboard() ? 4 : SetClipboardData(CF_TEXT, block) == nullptr ? 5 : 0;
  if (status != 0) GlobalFree(block);
  CloseClipboard();
  return status;
}

// ---- X11 peers ----------------------------------------------------------------------------------
struct XPeer {
  Display* display;
  Window window;
  Atom clipboard, utf8, targets, incr, manager, saveTargets, property;
};

bool OpenPeer(XPeer* peer) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  auto atom = [display](const char* name) { return XInternAtom(display, name, False); };
  *peer = XPeer{display,
                XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0),
                atom("CLIPBOARD"), atom("UTF8_STRING"), atom("TARGETS"), atom("INCR"),
                atom("CLIPBOARD_MANAGER"), atom("SAVE_TARGETS"), atom("QUILLET_PROBE")};
  XSelectInput(display, peer->window, PropertyChangeMask);
  return true;
}

// Waits up to ms (-1: for ever) for an event that match accepts; other events are dropped.
template <typename Match>
bool AwaitEvent(XPeer* peer, Match match, XEvent* event, int ms) {
  long long deadline = Now() + ms;
  XFlush(peer->display);
  for (;;) {
    while (XPending(peer->display) > 0) {
      XNextEvent(peer->display, event);
      if (match(*event)) return true;
    }
    int left = ms < 0 ? -1 : (int)std::max(0LL, deadline - Now());
    struct pollfd connection = {ConnectionNumber(peer->display), POLLIN, 0};
    if (left == 0 || poll(&connection, 1, left) == 0) return false;
  }
}

// Takes (reads and deletes) property from our window, short and whole; false when unset.
bool TakeProperty(XPeer* peer, Atom property, std::string* text) {
  Atom type;
  int format;
  unsigned long length, after;
  unsigned char* data = nullptr;
  XGetWindowProperty(peer->display, peer->window, property, 0, 1 << 20, True, AnyPropertyType,
                     &type, &format, &length, &after, &data);
  if (data != nullptr) text->assign((const char*)data, length);
  XFree(data);
  return data != nullptr;
}

bool IsAnswer(XPeer* peer, const XEvent& e) {
  return e.type == SelectionNotify && e.xselection.selection == peer->clipboard;
}

// Asks the clipboard's owner for its UTF-8 text: the text, once the answer came within 3 s.
bool AskText(XPeer* peer, std::string* text) {
  XConvertSelection(peer->display, peer->clipboard, peer->utf8, peer->property, peer->window,
                    CurrentTime);
  XEvent event;
  return AwaitEvent(peer, [peer](const XEvent& e) { return IsAnswer(peer, e); }, &event, 3000) &&
         event.xselection.property != None && TakeProperty(peer, peer->property, text);
}

// Tells the requestor its request is answered in property (None: refused).
void Reply(XPeer* peer, const XSelectionRequestEvent& request, Atom property) {
  XSelectionEvent reply = {SelectionNotify, 0, False, peer->display, request.requestor,
                           request.selection, request.target, property, request.time};
  XSendEvent(peer->display, request.requestor, False, NoEventMask, (XEvent*)&reply);
}

// A peer that owns the selection of the atom in member, and says "ready".
bool OpenOwner(XPeer* peer, Atom XPeer::*member) {
  if (!OpenPeer(peer)) return false;
  XSetSelectionOwner(peer->display, peer->*member, peer->window, CurrentTime);
  XSync(peer->display, False);
  Say("ready");
  return true;
}

enum ManagerKind { MANAGER_ANSWERS, MANAGER_HOLLOW, MANAGER_SILENT };

int Manager(ManagerKind kind) {
  XPeer peer;
  if (!OpenOwner(&peer, &XPeer::manager)) return 2;
  XEvent event;
  auto isSave = [&peer](const XEvent& e) {
    return e.type == SelectionRequest && e.xselectionrequest.selection == peer.manager &&
           e.xselectionrequest.target == peer.saveTargets;
  };
  do {
    AwaitEvent(&peer, isSave, &event, -1);  // the test ends a manager that never answers
  } while (kind == MANAGER_SILENT);
  XSelectionRequestEvent request = event.xselectionrequest;
  std::string text;
  bool saved = kind == MANAGER_HOLLOW || AskText(&peer, &text);
  Reply(&peer, request, saved ? request.property : None);
  // Asked in the same breath as the answer, as a manager that fetches on every change
  // does: the request reaches the owner in the same read as the answer it waits for.
  if (kind == MANAGER_HOLLOW) AskText(&peer, &text);
  fwrite(text.data(), 1, text.size(), stdout);
  XCloseDisplay(peer.display);
  return saved ? 0 : 3;
}

enum StallKind { STALL_STUCK, STALL_SLOW, STALL_NEXT };
#define STALL_PAGE 4096

// Piecewise answers, each in a property of its own that is never deleted; or one, whose
// pieces are taken one every pace ms.
int StallX11(int count, StallKind kind, int pace) {
  XPeer peer;
  if (!OpenPeer(&peer)) return 2;
  std::vector<Atom> properties;
  for (int i = 0; i < count; ++i) {
    properties.push_back(XInternAtom(peer.display, ("QUILLET_STALL_" + std::to_string(i)).c_str(), False));
    XConvertSelection(peer.display, peer.clipboard, peer.utf8, properties[i], peer.window,
                      CurrentTime);
  }
  XEvent event;
  for (int answers = 0; answers < count; ++answers) {
    if (!AwaitEvent(&peer, [&peer](const XEvent& e) { return IsAnswer(&peer, e); }, &event, 5000))
      return 4;
    if (event.xselection.property == None) return 3;
  }
  long long asked = Now();
  Say("asked");
  while (kind != STALL_SLOW) sleep(60);
  // The first piece is the INCR notice; each deletion asks for the next.
  size_t bytes = 0;
  auto isPiece = [&peer, &properties](const XEvent& e) {
    return e.type == PropertyNotify && e.xproperty.atom == properties[0] &&
           e.xproperty.state == PropertyNewValue;
  };
  for (bool notice = true;; notice = false) {
    usleep(pace * 1000);
    std::string piece;
    TakeProperty(&peer, properties[0], &piece);
    if (!notice) bytes += piece.size();
    bool whole = !notice && piece.empty();
    if (whole || !AwaitEvent(&peer, isPiece, &event, 1000)) {
      printf("ended after %lld ms with %zu bytes%s\n", Now() - asked, bytes, whole ? " whole" : "");
      Ended();
    }
  }
}

// A hostile owner: answers TARGETS, and UTF8_STRING in pieces that never end well.
enum OwnerKind { OWNER_ENDLESS, OWNER_DRIP, OWNER_FORMAT32 };

int HostileOwner(OwnerKind kind) {
  XPeer peer;
  if (!OpenOwner(&peer, &XPeer::clipboard)) return 2;
  std::string piece(kind == OWNER_ENDLESS ? 256 * 1024 : 1, 'x');
  // The requestor and property of the answer under way, and how many pieces went.
  Window requestor = None;
  Atom property = None;
  int pieces = 0;
  XEvent event;
  for (;;) {
    AwaitEvent(&peer, [](const XEvent&) { return true; }, &event, -1);
    if (event.type == SelectionRequest) {
      const XSelectionRequestEvent& request = event.xselectionrequest;
      Atom answered = request.property;
      if (request.target == peer.targets) {
        long list[2] = {(long)peer.targets, (long)peer.utf8};
        XChangeProperty(peer.display, request.requestor, request.property, XA_ATOM, 32,
                        PropModeReplace, (unsigned char*)list, 2);
      } else if (request.target == peer.utf8) {
        XSelectInput(peer.display, request.requestor, PropertyChangeMask);
        long size = 4;
        XChangeProperty(peer.display, request.requestor, request.property, peer.incr, 32,
                        PropModeReplace, (unsigned char*)&size, 1);
        requestor = request.requestor;
        property = request.property;
        pieces = 0;
      } else {
        answered = None;
      }
      Reply(&peer, request, answered);
    } else if (event.type == PropertyNotify && event.xproperty.window == requestor &&
               event.xproperty.atom == property && event.xproperty.state == PropertyDelete) {
      // The requestor asks for the next piece.
      if (kind == OWNER_DRIP) sleep(4);
      static const long wrong[2] = {0x58, 0x59};
      const char* text = kind != OWNER_FORMAT32 ? piece.data() : pieces == 0 ? "ab" : "cd";
      int format = kind == OWNER_FORMAT32 && pieces == 1 ? 32 : 8;
      int length = kind != OWNER_FORMAT32 ? (int)piece.size() : pieces < 3 ? 2 : 0;
      XChangeProperty(peer.display, requestor, property, peer.utf8, format, PropModeReplace,
                      format == 32 ? (const unsigned char*)wrong : (const unsigned char*)text,
                      format == 32 ? 1 : length);
      ++pieces;
    }
  }
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
  printf(most == strong.end() ? "none\n" : "%06lx\n", most == strong.end() ? 0 : most->first);
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
  Say("ready");
  for (;;) pause();
}

// ---- Wayland peers (wlr data-control, which sway and KWin offer) --------------------------------
struct WlPeer {
  wl_display* display;
  wl_seat* seat;
  zwlr_data_control_manager_v1* manager;
  zwlr_data_control_offer_v1* introduced;
  bool introducedText;
  zwlr_data_control_offer_v1* offer;  // the selection
  bool offerText;
  std::vector<int> sends;  // the pipes readers gave our source
};

const char* const UTF8_MIME = "text/plain;charset=utf-8";

const zwlr_data_control_offer_v1_listener OFFER = {
    .offer = [](void* p, zwlr_data_control_offer_v1*, const char* mime) {
      if (strcmp(mime, UTF8_MIME) == 0) ((WlPeer*)p)->introducedText = true;
    }};
const zwlr_data_control_device_v1_listener DEVICE = {
    .data_offer =
        [](void* p, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
          zwlr_data_control_offer_v1_add_listener(offer, &OFFER, p);
          ((WlPeer*)p)->introduced = offer;
          ((WlPeer*)p)->introducedText = false;
        },
    .selection =
        [](void* p, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
          WlPeer* peer = (WlPeer*)p;
          peer->offer = offer;
          peer->offerText = offer != nullptr && offer == peer->introduced && peer->introducedText;
        },
    .finished = [](void*, zwlr_data_control_device_v1*) {},
    .primary_selection = [](void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {}};
const zwlr_data_control_source_v1_listener SOURCE = {
    .send = [](void* p, zwlr_data_control_source_v1*, const char*,
               int32_t fd) { ((WlPeer*)p)->sends.push_back(fd); },
    .cancelled = [](void*, zwlr_data_control_source_v1*) { exit(0); }};
const wl_registry_listener REGISTRY = {
    .global =
        [](void* p, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
          WlPeer* peer = (WlPeer*)p;
          if (strcmp(interface, "wl_seat") == 0 && peer->seat == nullptr)
            peer->seat = (wl_seat*)wl_registry_bind(registry, name, &wl_seat_interface, 1);
          if (strcmp(interface, "zwlr_data_control_manager_v1") == 0)
            peer->manager = (zwlr_data_control_manager_v1*)wl_registry_bind(
                registry, name, &zwlr_data_control_manager_v1_interface, 1);
        },
    .global_remove = [](void*, wl_registry*, uint32_t) {}};

bool OpenWlPeer(WlPeer* peer) {
  *peer = WlPeer{};
  peer->display = wl_display_connect(nullptr);
  if (peer->display == nullptr) return false;
  wl_registry_add_listener(wl_display_get_registry(peer->display), &REGISTRY, peer);
  wl_display_roundtrip(peer->display);
  if (peer->seat == nullptr || peer->manager == nullptr) return false;
  zwlr_data_control_device_v1_add_listener(
      zwlr_data_control_manager_v1_get_data_device(peer->manager, peer->seat), &DEVICE, peer);
  wl_display_roundtrip(peer->display);
  return true;
}

// Pipes that are never read, or the first read a page every pace ms until the writer has
// closed it: then how long that took and how much it had written.
int StallWayland(int count, StallKind kind, int pace) {
  WlPeer peer;
  if (!OpenWlPeer(&peer)) return 2;
  if (kind == STALL_NEXT) {
    if (peer.offerText) return 3;  // nothing tells a new text from this one
    Say("watching");
    while (!peer.offerText && wl_display_dispatch(peer.display) >= 0) {
    }
  }
  if (!peer.offerText) return 3;
  std::vector<int> pipes;
  for (int i = 0; i < count; ++i) {
    int ends[2];
    if (pipe(ends) != 0) return 2;
    zwlr_data_control_offer_v1_receive(peer.offer, UTF8_MIME, ends[1]);
    close(ends[1]);
    pipes.push_back(ends[0]);
  }
  wl_display_roundtrip(peer.display);
  long long asked = Now();
  Say("asked");
  size_t taken = 0;
  for (;;) {
    struct pollfd end = {pipes[0], 0, 0};  // only its hang-up
    poll(&end, 1, pace);
    if (kind == STALL_SLOW && (end.revents & POLLHUP) != 0) {
      int waiting = 0;
      ioctl(pipes[0], FIONREAD, &waiting);
      printf("ended after %lld ms with %zu bytes\n", Now() - asked, taken + (size_t)waiting);
      Ended();
    }
    char page[STALL_PAGE];
    ssize_t n = kind == STALL_SLOW ? read(pipes[0], page, sizeof page) : 0;
    if (n > 0) taken += (size_t)n;
  }
}

// A source whose text never ends: every reader gets bytes as fast as it reads, for ever.
int EndlessSource() {
  WlPeer peer;
  if (!OpenWlPeer(&peer)) return 2;
  zwlr_data_control_source_v1* source = zwlr_data_control_manager_v1_create_data_source(peer.manager);
  zwlr_data_control_source_v1_add_listener(source, &SOURCE, &peer);
  zwlr_data_control_source_v1_offer(source, UTF8_MIME);
  zwlr_data_control_source_v1_offer(source, "UTF8_STRING");
  zwlr_data_control_device_v1_set_selection(
      zwlr_data_control_manager_v1_get_data_device(peer.manager, peer.seat), source);
  wl_display_roundtrip(peer.display);
  Say("ready");
  static const std::string PAGE(65536, 'y');
  signal(SIGPIPE, SIG_IGN);
  for (;;) {
    std::vector<struct pollfd> fds = {{wl_display_get_fd(peer.display), POLLIN, 0}};
    for (int fd : peer.sends) fds.push_back({fd, POLLOUT, 0});
    wl_display_flush(peer.display);
    poll(fds.data(), fds.size(), -1);
    if (fds[0].revents != 0 && wl_display_dispatch(peer.display) < 0) return 1;
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents != 0 && write(fds[i].fd, PAGE.data(), PAGE.size()) < 0) {
        close(fds[i].fd);
        peer.sends.erase(std::find(peer.sends.begin(), peer.sends.end(), fds[i].fd));
      }
    }
  }
}

int Peak(const char* file, char** command) {
  pid_t child = fork();
  if (child == 0) {
    execvp(command[0], command);
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 2;
  FILE* out = fopen(file, "w");
  if (out == nullptr) return 2;
  fprintf(out, "%ld\n", usage.ru_maxrss);
  fclose(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// From here on the system call number fails with error, in this process and every one it
// forks or executes. False when the filter cannot be installed.
bool MakeSyscallFail(long number, int error) {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)number, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (unsigned)error),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {(unsigned short)(sizeof filter / sizeof *filter), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

int Without(const std::string& call, char** command) {
  bool failing = call == "close_range" ? MakeSyscallFail(__NR_close_range, ENOSYS)
                 : call == "fork"      ? MakeSyscallFail(__NR_clone, EAGAIN) &&
                                        MakeSyscallFail(__NR_clone3, ENOSYS)
                                       : false;
  if (failing) execvp(command[0], command);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  std::string kind = argc > 2 ? argv[2] : "";
  if (command == "get") return Get();
  if (command == "set") return Set();
  if (command == "beep" && argc == 4)
    return Beep((DWORD)strtoul(argv[2], nullptr, 10), (DWORD)strtoul(argv[3], nullptr, 10)) ? 0 : 1;
  if (command == "message" && argc == 4) {
    UINT icon = kind == "warning" ? MB_ICONEXCLAMATION : MB_ICONHAND;
    return MessageBoxA(nullptr, argv[3], "Quillet", MB_OK | icon) == IDOK ? 0 : 1;
  }
  if (command == "pixel" && argc == 6)
    return Pixel(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
  if (command == "owned" && argc == 3) return Owned(argv[2]);
  if (command == "focus" && argc == 3) return Focus(kind == "parked");
  const char* const managers[] = {"answer", "hollow", "silent"};  // as ManagerKind
  const char* const owners[] = {"endless", "drip", "format32"};    // as OwnerKind
  for (int i = 0; argc == 3 && i < 3; ++i) {
    if (command == "manager" && kind == managers[i]) return Manager((ManagerKind)i);
    if (command == "owner" && kind == owners[i]) return HostileOwner((OwnerKind)i);
  }
  if (command == "stall" && (argc == 5 || argc == 6)) {
    std::string how = argv[4];
    StallKind stall = how == "slow" ? STALL_SLOW : how == "next" ? STALL_NEXT : STALL_STUCK;
    int count = atoi(argv[3]);
    int pace = argc == 6 ? atoi(argv[5]) : 4000;
    if (count < 1 || (how != "stuck" && how != "slow" && how != "next")) return 1;
    if (kind == "x11" && stall != STALL_NEXT) return StallX11(count, stall, pace);
    if (kind == "wayland") return StallWayland(count, stall, pace);
  }
  if (command == "source" && kind == "endless") return EndlessSource();
  if (command == "peak" && argc > 3) return Peak(argv[2], argv + 3);
  if (command == "without" && argc > 3) return Without(kind, argv + 3);
  fprintf(stderr, "desktop-probe: unknown command (the commands head desktop-probe.cpp)\n");
  return 1;
}
