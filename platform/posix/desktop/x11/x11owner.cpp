// Owning the CLIPBOARD selection: the owner's side of the selection protocol.
//
// Contract kept from Windows (SetClipboardData's side of it):
// - Once set, the text is there for every program: requests for TARGETS, UTF8_STRING,
//   STRING (Latin-1, "?" for what it lacks), TEXT (answered as UTF8_STRING), TIMESTAMP
//   and MULTIPLE are answered; everything else is refused. An empty clipboard (owned,
//   no text yet) refuses all text.
// - Answers longer than X11_CHUNK_SIZE go in pieces (INCR); several may run at once, each
//   moved on by its own requestor's steps, so one that stops reading holds up no other.
//   They live in the answer slots (peers.h): one whose requestor vanished, or has not read
//   it all by its deadline, is dropped, and a new request takes the slot of the requestor
//   silent longest when none is free.
// - Requests older than our ownership are refused, as the selection rules ask.
#include "desktop/text/offeredtext.h"
#include "posix.h"
#include "desktop/x11/x11wing.h"

void X11TakeSelection(X11Session* session, Time time) {
  X11EndStep(session);
  Atom clipboard = session->atoms[ATOM_CLIPBOARD];
  XSetSelectionOwner(session->display, clipboard, session->window, time);
  session->owner = XGetSelectionOwner(session->display, clipboard) == session->window;
  if (session->owner) session->ownedSince = time;
}

bool X11Owner(const X11Session* session) { return session->owner && !session->lost; }

bool X11OwnsSelection(X11Session* session) {
  return XGetSelectionOwner(session->display, session->atoms[ATOM_CLIPBOARD]) ==
         session->window;
}

void X11Disown(X11Session* session) { session->owner = false; }

bool X11AnswersUnderWay(const X11Session* session) {
  return !session->lost && AnswersUnderWay(&session->answers);
}

// Stops listening to the requestor's window unless another answer still goes there.
static void EndTransfer(void* data, Answer* transfer) {
  X11Session* session = (X11Session*)data;
  for (const Answer& other : session->answers.slots) {
    if (other.active && other.window == transfer->window) return;
  }
  if (transfer->window != session->window)
    XSelectInput(session->display, transfer->window, NoEventMask);
}

int64_t X11ExpireAnswers(X11Session* session) {
  return ExpireAnswers(&session->answers, EndTransfer, session);
}

void X11Offer(X11Session* session, const OfferedText* text) {
  EndAnswers(&session->answers, EndTransfer, session);  // they point into the old text
  session->text = text != nullptr && text->utf8 != nullptr ? text : nullptr;
}

// Starts a piecewise answer: the INCR notice carries the size; each deletion of the
// property by the requestor asks for the next piece.
static void StartTransfer(X11Session* session, Window requestor, Atom property, Atom type,
                          const char* data, size_t length) {
  Answer* transfer = StartAnswer(&session->answers, EndTransfer, session, data, length);
  transfer->window = requestor;
  transfer->property = property;
  transfer->type = type;
  // Listen before the notice goes out, or the first deletion could be missed.
  if (requestor != session->window)
    XSelectInput(session->display, requestor, PropertyChangeMask | StructureNotifyMask);
  long size = (long)length;
  XChangeProperty(session->display, requestor, property, session->atoms[ATOM_INCR], 32,
                  PropModeReplace, (unsigned char*)&size, 1);
}

static void ContinueTransfer(X11Session* session, Window requestor, Atom property) {
  for (Answer& transfer : session->answers.slots) {
    if (!transfer.active || transfer.window != requestor || transfer.property != property)
      continue;
    size_t piece = transfer.length - transfer.sent;
    if (piece > X11_CHUNK_SIZE) piece = X11_CHUNK_SIZE;
    // The empty piece after the last one ends the answer.
    XChangeProperty(session->display, requestor, property, transfer.type, 8, PropModeReplace,
                    (const unsigned char*)transfer.data + transfer.sent, (int)piece);
    AnswerMoved(&transfer, piece);
    if (piece == 0) {
      EndAnswer(&transfer, EndTransfer, session);
      ++session->delivered;  // the requestor has read every piece
    }
    return;
  }
}

// Hands the text over: at once, or piecewise, in which case it counts as delivered only
// once the requestor has read the last piece.
static void Deliver(X11Session* session, Window requestor, Atom property, Atom type,
                   const char* data, size_t length) {
  if (length > X11_CHUNK_SIZE) {
    StartTransfer(session, requestor, property, type, data, length);
    return;
  }
  XChangeProperty(session->display, requestor, property, type, 8, PropModeReplace,
                  (const unsigned char*)data, (int)length);
  ++session->delivered;
}

// Puts the target's value into the requestor's property. False when refused.
static bool ServeTarget(X11Session* session, Window requestor, Atom target, Atom property) {
  const Atom* atoms = session->atoms;
  const OfferedText* text = session->text;
  if (target == atoms[ATOM_TARGETS]) {
    long list[6] = {(long)atoms[ATOM_TARGETS], (long)atoms[ATOM_MULTIPLE],
                    (long)atoms[ATOM_TIMESTAMP], (long)atoms[ATOM_UTF8_STRING],
                    (long)XA_STRING, (long)atoms[ATOM_TEXT]};
    XChangeProperty(session->display, requestor, property, XA_ATOM, 32, PropModeReplace,
                    (unsigned char*)list, text != nullptr ? 6 : 3);
    return true;
  }
  if (target == atoms[ATOM_TIMESTAMP]) {
    long time = (long)session->ownedSince;
    XChangeProperty(session->display, requestor, property, XA_INTEGER, 32, PropModeReplace,
                    (unsigned char*)&time, 1);
    return true;
  }
  if (text == nullptr) return false;
  if (target == atoms[ATOM_UTF8_STRING] || target == atoms[ATOM_TEXT]) {
    Deliver(session, requestor, property, atoms[ATOM_UTF8_STRING], text->utf8, text->utf8Length);
    return true;
  }
  if (target == XA_STRING) {
    Deliver(session, requestor, property, XA_STRING, text->latin1, text->latin1Length);
    return true;
  }
  return false;
}

// MULTIPLE: the property holds (target, property) pairs; a refused pair gets None as its
// property, and the request as a whole succeeds.
static bool ServeMultiple(X11Session* session, Window requestor, Atom property) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(session->display, requestor, property, 0, 1024, False,
                         AnyPropertyType, &type, &format, &items, &after, &data) != Success)
    return false;
  bool valid = data != nullptr && format == 32 && items % 2 == 0;
  if (valid) {
    long* pairs = (long*)data;
    for (unsigned long i = 0; i < items; i += 2) {
      Atom target = (Atom)pairs[i];
      if (target == session->atoms[ATOM_MULTIPLE] ||
          !ServeTarget(session, requestor, target, (Atom)pairs[i + 1]))
        pairs[i + 1] = None;
    }
    XChangeProperty(session->display, requestor, property, type, 32, PropModeReplace, data,
                    (int)items);
  }
  if (data != nullptr) XFree(data);
  return valid;
}

static void ServeRequest(X11Session* session, const XSelectionRequestEvent* request) {
  XSelectionEvent reply = {};
  reply.type = SelectionNotify;
  reply.display = request->display;
  reply.requestor = request->requestor;
  reply.selection = request->selection;
  reply.target = request->target;
  reply.time = request->time;
  reply.property = None;
  // Requestors of the oldest kind name no property: the target's name serves as one.
  Atom property = request->property != None ? request->property : request->target;
  bool current = request->time == CurrentTime || request->time >= session->ownedSince;
  if (session->owner && current && request->selection == session->atoms[ATOM_CLIPBOARD]) {
    bool served = request->target == session->atoms[ATOM_MULTIPLE]
                      ? request->property != None &&
                            ServeMultiple(session, request->requestor, property)
                      : ServeTarget(session, request->requestor, request->target, property);
    if (served) reply.property = property;
  }
  XSendEvent(session->display, request->requestor, False, NoEventMask, (XEvent*)&reply);
}

void X11ServeOwnerEvent(X11Session* session, const XEvent* event) {
  switch (event->type) {
    case SelectionRequest:
      ServeRequest(session, &event->xselectionrequest);
      break;
    case SelectionClear:
      if (event->xselectionclear.window == session->window &&
          event->xselectionclear.selection == session->atoms[ATOM_CLIPBOARD])
        session->owner = false;
      break;
    case PropertyNotify:
      if (event->xproperty.state == PropertyDelete)
        ContinueTransfer(session, event->xproperty.window, event->xproperty.atom);
      break;
    case DestroyNotify:
      for (Answer& transfer : session->answers.slots) {
        if (transfer.active && transfer.window == event->xdestroywindow.window)
          transfer.active = false;
      }
      break;
  }
}
