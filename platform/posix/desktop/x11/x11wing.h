// Inside the X11 clipboard: the session record and what its files share. Nothing outside
// desktop/x11/ includes this; the rest of the desktop goes through x11.h.
#ifndef QUILLET_PLATFORM_POSIX_X11WING_H
#define QUILLET_PLATFORM_POSIX_X11WING_H

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "desktop/peers.h"
#include "desktop/x11/x11.h"

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
  ATOM_NET_ACTIVE_WINDOW,
  ATOM_COUNT
};

// Answers longer than this go in pieces of this size (the INCR protocol): well below any
// server's request limit, and kind to requestors' memory.
#define X11_CHUNK_SIZE 65536
#define X11_CLOCK_WAIT 5000    // ms for the server to tell its time
#define X11_MANAGER_WAIT 2000  // ms for a clipboard manager to take the text

// The step of ours that awaits another program.
enum X11Step { X11_STEP_NONE, X11_STEP_CLOCK, X11_STEP_READ, X11_STEP_MANAGER };

struct X11Session {
  Display* display;
  bool lost;  // the display went away (only where X11OutliveDisplay asked to go on)
  Window window;
  Atom atoms[ATOM_COUNT];
  // Owning the selection.
  bool owner;                // the selection is ours (until a SelectionClear says otherwise)
  Time ownedSince;           // the server time we took it; requests from before are refused
  const OfferedText* text;   // what we offer; null while we own the selection empty
  AnswerTable answers;       // piecewise answers under way
  unsigned long delivered;   // text answers handed over whole, piecewise ones included
  // Our own step and its deadline (NO_DEADLINE: none, or the read's own).
  X11Step step;
  int64_t stepDeadline;
  // Reading the selection.
  PeerRead read;
  Atom readTarget;
  Atom readType;    // the type the owner gave
  int readFormat;   // and its format
  bool readPieces;  // the answer comes in pieces (INCR)
  // The clipboard manager's answer.
  bool managerSaved;
  unsigned long deliveredBefore;
};

// Ends the step under way (the read is ended by its own functions).
void X11EndStep(X11Session* session);

// ---- Events (dispatched by x11session.cpp) ------------------------------------------------------
// The owner's side: requests for the selection, steps of piecewise answers, the loss of
// the selection, requestors that vanish.
void X11ServeOwnerEvent(X11Session* session, const XEvent* event);
// Our own requests' answers: the selection's owner's, its pieces.
void X11ServeReaderEvent(X11Session* session, const XEvent* event);
// The clipboard manager's answer.
void X11ServeManagerEvent(X11Session* session, const XEvent* event);
// Takes the selection at time once the clock has answered (or not in time: CurrentTime).
void X11TakeSelection(X11Session* session, Time time);
// Drops the piecewise answers past their deadline; the earliest deadline of the others.
int64_t X11ExpireAnswers(X11Session* session);

#endif  // QUILLET_PLATFORM_POSIX_X11WING_H
