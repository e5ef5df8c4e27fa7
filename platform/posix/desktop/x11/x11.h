// The CLIPBOARD selection of the X display, as the clipboard functions use it: one
// connection with an unmapped window that asks for the selection's text and, once it owns
// the selection, answers everyone else's requests. Every step that needs another program
// (the server's clock, an owner's answer, a clipboard manager's word) is asked here and
// then waited for in the desktop's one wait (desktop.h), which feeds this connection
// through X11PrepareWait; X11Waiting says when the step is over. Each step has a deadline
// of its own, so no wait on this connection outlasts it.
#ifndef QUILLET_PLATFORM_POSIX_X11_H
#define QUILLET_PLATFORM_POSIX_X11_H

#include <cstddef>
#include <cstdint>

struct OfferedText;
struct X11Session;
struct pollfd;

enum X11Target { X11_TARGETS, X11_UTF8, X11_LATIN1 };

// ---- The connection (x11session.cpp) ---------------------------------------------------------
// Opens $DISPLAY and the session's window. Null when there is no display to open, with the
// reason in why; the server's own refusal never reaches standard error. The loss of the
// display later ends the process, quietly (status 0, as every run that got past its
// settings), unless X11OutliveDisplay was called.
X11Session* X11Open(char* why, size_t size);
// Drops the text, the window and the connection.
void X11Close(X11Session* session);
int X11Connection(const X11Session* session);
// From now on the loss of the display only marks the session lost: every call on it then
// returns at once, and X11Close releases it.
void X11OutliveDisplay(X11Session* session);
bool X11Lost(const X11Session* session);
// Before the one wait's poll: reads what the server has sent and serves every event (none
// may sit in Xlib's queue while we sleep), sends what is buffered, ends what is past its
// deadline and lowers *due to the next deadline; then puts the connection into *fd. 1, or
// 0 when lost. This is the one place where the connection's events are served: what the
// poll finds is read and served here on the wait's next round.
int X11PrepareWait(X11Session* session, struct pollfd* fd, int64_t* due);
// True while a step asked below awaits another program.
bool X11Waiting(const X11Session* session);
// True when the desktop names an active X11 window (_NET_ACTIVE_WINDOW on the root): a
// Wayland compositor's X11 bridge then carries the clipboard to it. Where the focus is
// parked elsewhere (KWin's 1x1 window) or nothing is named, false.
bool X11WindowActive(X11Session* session);

// ---- Asking for the selection (x11reader.cpp) -------------------------------------------------
// Asks CLIPBOARD's owner for target (X11Waiting until the answer is whole or given up).
void X11AskSelection(X11Session* session, X11Target target);
// The text the owner gave: 0 with *data (malloc'd, NUL-terminated, the caller frees),
// *length and whether it came as STRING (Latin-1); or why there is none:
// ERROR_NOT_SUPPORTED (no owner, or it refused the target), ERROR_INVALID_DATA (a damaged
// answer), ERROR_TIMEOUT, ERROR_NOT_ENOUGH_MEMORY (past READ_CAP, or out of memory).
unsigned long X11TakeText(X11Session* session, char** data, size_t* length, bool* latin1);
// After asking for X11_TARGETS: whether the owner lists a text we read (UTF8_STRING or
// STRING); *status as for X11TakeText.
bool X11ListsText(X11Session* session, unsigned long* status);

// ---- Owning the selection (x11owner.cpp) ------------------------------------------------------
// What the session offers from now on (the desktop's text, which outlives the session's
// use of it); null offers nothing: an emptied clipboard. Ends the answers under way.
void X11Offer(X11Session* session, const OfferedText* text);
// Asks the server's time and then takes CLIPBOARD with it (X11Waiting meanwhile).
void X11AskOwnership(X11Session* session);
// Whether the selection is ours as far as we have heard (no other program took it since).
bool X11Owner(const X11Session* session);
// Whether the server says it is ours.
bool X11OwnsSelection(X11Session* session);
// Refuses every request from now on, as if another program had taken the selection.
void X11Disown(X11Session* session);
bool X11AnswersUnderWay(const X11Session* session);

// ---- Handing the text to a clipboard manager (x11handoff.cpp) ------------------------------------
// Asks the clipboard manager, if one runs, to take our text (X11Waiting meanwhile, at most
// X11_MANAGER_WAIT). False when there is none to ask.
bool X11AskManager(X11Session* session);
// Whether it took the text: it said so and fetched it from us meanwhile.
bool X11ManagerSaved(const X11Session* session);

#endif  // QUILLET_PLATFORM_POSIX_X11_H
