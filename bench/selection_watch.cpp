// selection-watch: prints the moment (CLOCK_REALTIME, ns) of every change of the
// CLIPBOARD selection's owner, one line each, as an outside program sees it, until killed.
// Says "ready" first, once it watches.
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <cstdio>
#include <ctime>

int main() {
  Display* display = XOpenDisplay(nullptr);
  int event = 0, error = 0;
  if (display == nullptr || !XFixesQueryExtension(display, &event, &error)) return 2;
  XFixesSelectSelectionInput(display, DefaultRootWindow(display),
                             XInternAtom(display, "CLIPBOARD", False),
                             XFixesSetSelectionOwnerNotifyMask);
  XSync(display, False);
  printf("ready\n");
  fflush(stdout);
  for (;;) {
    XEvent received;
    XNextEvent(display, &received);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (received.type == event + XFixesSelectionNotify) {
      printf("%lld\n", now.tv_sec * 1000000000LL + now.tv_nsec);
      fflush(stdout);
    }
  }
}
