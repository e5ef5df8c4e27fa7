// The CLIPBOARD selection of the X display, as the clipboard functions use it: one
// connection with an unmapped window that asks for the selection's text and, once it owns
// the selection, answers everyone else's requests.
#ifndef QUILLET_PLATFORM_POSIX_X11SELECTION_H
#define QUILLET_PLATFORM_POSIX_X11SELECTION_H

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstddef>
#include <cstdint>

struct pollfd;

enum X11AtomName {
  ATOM_CLIPBOARD,
  ATOM_TARGETS,
  ATOM_MULTIPLE,
  ATOM_TIMESTAMP,
  ATOM_UTF8_STRING,
  ATOM_TEXT,
  ATOM_INCR,
  ATOM_ATOM_PAIR,
  ATOM_CLIPBOARD_MANAGER,
  ATOM_SAVE_TARGETS,
  ATOM_TRANSFER_PROPERTY,  // where answers to our own requests arrive
  ATOM_CLOCK_PROPERTY,     // touched to learn the server's time
  ATOM_COUNT
};

// Answers longer than this go in pieces of this size (the INCR protocol): well below any
// server's request limit, and kind to requestors' memory.
#define X11_CHUNK_SIZE 65536
// Piecewise answers under way at once; a new one beyond this replaces the one whose
// requestor has been silent longest.
#define X11_MAX_TRANSFERS 16
// Longest wait for the other side's next step while we ask for the selection.
#define X11_READ_STEP_TIMEOUT 5000  // ms
#define X11_NO_DEADLINE (-1)

// A piecewise answer in progress.
struct X11Transfer {
  bool active;
  Window requestor;
  Atom property;
  Atom type;
  const char* data;
  size_t length;
  size_t sent;
  int64_t lastStep;  // monotonic ms of the requestor's last step
  int64_t deadline;  // by when the requestor must have read it all (ReaderDeadline)
};

struct X11Session {
  Display* display;
  bool lost;  // the display went away (only where X11OutliveDisplay asked to go on)
  Window window;
  Atom atoms[ATOM_COUNT];
  bool owner;       // the selection is ours (until a SelectionClear says otherwise)
  Time ownedSince;  // the server time we took it; requests from before are refused
  bool hasText;     // false while we own the selection empty
  char* utf8;       // what we offer, in both desktop encodings
  size_t utf8Length;
  char* latin1;
  size_t latin1Length;
  X11Transfer transfers[X11_MAX_TRANSFERS];
  unsigned long textsDelivered;  // text answers handed over whole, piecewise ones included
  char openFailure[200];  // why X11Open failed, for the no-clipboard line
};

// ---- The connection (x11session.cpp) ------------------------------------------------------
// Opens $DISPLAY and the session's window. False when there is no display to open, with
// the reason in openFailure; the server's own refusal never reaches standard error.
bool X11Open(X11Session* session);
// Drops the text and the connection (and with it any ownership).
void X11Close(X11Session* session);
// A timestamp from the server, for taking the selection; CurrentTime if none comes.
Time X11ServerTime(X11Session* session);
// Waits until deadline (monotonic ms, or X11_NO_DEADLINE) for an event that match
// accepts, serving every other event on the way. False when the deadline passed first.
typedef bool (*X11EventMatch)(X11Session* session, const XEvent* event);
bool X11WaitFor(X11Session* session, X11EventMatch match, XEvent* event, int64_t deadline);
// Serves what has already arrived, without waiting.
void X11ServePending(X11Session* session);
// One wait shared with other connections: before the poll, serves every event already
// received (none may sit in Xlib's queue while we sleep), sends what is buffered, drops
// piecewise answers past their deadline and lowers *due to the next one; then puts the
// connection into *fd. Returns 1, or 0 when there is no connection to wait on.
int X11PrepareWait(X11Session* session, struct pollfd* fd, int64_t* due);
// After that poll: serves what arrived.
void X11FinishWait(X11Session* session);
// From now on the loss of the display marks the session lost instead of ending the
// process; every call on it then returns at once, and X11Close releases it.
void X11OutliveDisplay(X11Session* session);
// True when an X11 window has the input focus (a Wayland compositor's X11 bridge then
// carries the clipboard to it).
bool X11WindowFocused(X11Session* session);

// ---- Asking for the selection (x11reader.cpp) ----------------------------------------------
// Converts CLIPBOARD to target and returns the bytes in *data (malloc'd, NUL-terminated,
// the caller frees), *length and the type the owner gave them in *type (which may differ
// from target). 0, or ERROR_INVALID_DATA when refused or there is no owner,
// ERROR_TIMEOUT when the owner stops answering, ERROR_NOT_ENOUGH_MEMORY.
unsigned long X11ReadSelection(X11Session* session, Atom target, char** data,
                               size_t* length, Atom* type);
// True when the selection's owner offers text we can read (UTF8_STRING or STRING).
bool X11OffersText(X11Session* session);

// ---- Owning the selection (x11owner.cpp) --------------------------------------------------
// Takes CLIPBOARD for the session's window. False when the server did not give it.
bool X11TakeSelection(X11Session* session);
bool X11OwnsSelection(X11Session* session);
// What the session offers from now on; null offers nothing (the clipboard is empty). The
// CF_TEXT is translated at once. False when memory runs out (nothing is offered then).
bool X11OfferText(X11Session* session, const char* text);
// Serves one event: requests for the selection, the steps of piecewise answers, the
// loss of the selection.
void X11ServeEvent(X11Session* session, const XEvent* event);
// Drops the piecewise answers past their deadline. The earliest deadline of those still
// under way, or X11_NO_DEADLINE when there are none.
int64_t X11ExpireTransfers(X11Session* session);

// ---- Outliving the program (x11handoff.cpp) ------------------------------------------------
// At exit: hands the offered text to the clipboard manager. True when a keeper must
// serve it instead (keeper.cpp); otherwise the session is closed.
bool X11NeedsKeeper(X11Session* session);

#endif  // QUILLET_PLATFORM_POSIX_X11SELECTION_H
