// The desktop as a run and its keeper know it: one record (the X11 and Wayland sessions,
// the text on offer), the one wait through which every step on them is waited for, and the
// clipboard's steps composed from the two wings. Private to desktop/.
#ifndef QUILLET_PLATFORM_POSIX_DESKTOP_H
#define QUILLET_PLATFORM_POSIX_DESKTOP_H

#include <cstddef>
#include <cstdint>

#include "desktop/text/offeredtext.h"
#include "desktop/wayland/wayland.h"
#include "desktop/x11/x11.h"

struct Desktop {
  X11Session* x11;      // null while there is no X11 connection
  WlSession* wayland;   // null while there is no Wayland clipboard; when there is one, it
                        // is the clipboard, and X11 only mirrors it for X11 programs
  bool waylandSession;  // a compositor answers at $WAYLAND_DISPLAY
  OfferedText text;     // the text we offer (utf8 null: none), served by both sessions
  int64_t x11TakenAt;   // when the X11 mirror took the selection (monotonic ms)
};

// ---- The one wait (desktop.cpp) -----------------------------------------------------------
typedef bool (*DesktopCondition)(Desktop* desktop, void* context);
// Serves every connection and every reader of ours (requests, answers under way, our own
// reads and round trips) until until(desktop, context) holds (looked at before every
// poll; null: never), fd becomes readable (-1: none), or deadline passes (monotonic ms;
// NO_DEADLINE: none; now or earlier: serves what has arrived and returns). True when
// until held or fd became readable. Every step of the wings has a deadline of its own,
// so a wait for one to end ends.
bool DesktopWait(Desktop* desktop, int fd, int64_t deadline, DesktopCondition until,
                 void* context);
// Waits until no step of either session awaits another program.
void AwaitSteps(Desktop* desktop);
// The run's desktop (clipboard.cpp), for a wait outside the clipboard functions.
Desktop* RunDesktop(void);
// An error the user must hear of although the run goes on: "Quillet: error: WHAT" on
// standard error, and in the system log.
void SayDesktopError(const char* what);

// ---- The clipboard's steps (desktop.cpp) -------------------------------------------------------
// Connects to Wayland's clipboard where the compositor offers data-control, else to X11's.
// False when neither can be had, with why (one phrase per clipboard tried).
bool ConnectDesktop(Desktop* desktop, char* why, size_t size);
// Closes both connections; the text goes too.
void DisconnectDesktop(Desktop* desktop);
bool DesktopConnected(const Desktop* desktop);
// Whether the clipboard's selection is ours.
bool DesktopOwns(Desktop* desktop);
// Whether the clipboard offers a text: ours, or another program's in a form we read.
bool DesktopOffersText(Desktop* desktop);
// Another program's text, read under the bounds of peers.h: 0 with *text (malloc'd,
// NUL-terminated, the caller frees), *length and whether it is Latin-1 (else UTF-8); or
// why there is none.
unsigned long ReadDesktopText(Desktop* desktop, char** text, size_t* length, bool* latin1);
// Makes the clipboard ours, offering text (CF_TEXT), or nothing when text is null. On
// Wayland the text is also set as the X11 selection where an X display is at hand and no
// X11 window is active. 0, or the error code.
unsigned long TakeDesktop(Desktop* desktop, const char* text);

// ---- After the run (keeper.cpp) ------------------------------------------------------------
// Where a session offers a text of ours, forks the keeper that serves it from then on.
// This process then lets go of the connections the keeper took (they are null here
// afterwards). A keeper that cannot be started is said on standard error and in the
// system log.
void KeepClipboard(Desktop* desktop);

#endif  // QUILLET_PLATFORM_POSIX_DESKTOP_H
