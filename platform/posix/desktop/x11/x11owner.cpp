// Owning the CLIPBOARD selection: the owner's side of the selection protocol.
//
// Contract kept from Windows (SetClipboardData's side of it):
// - Once set, the text is there for every program: requests for TARGETS, UTF8_STRING,
//   STRING (Latin-1, "?" for what it lacks), TEXT (answered as UTF8_STRING), TIMESTAMP
//   and MULTIPLE are answered; everything else is refused. An empty clipboard (owned,
//   no text yet) refuses all text.
// - Answers longer than X11_CHUNK_SIZE go in pieces (INCR); several may run at once, each
//   moved on by its own requestor's steps, so one that stops reading holds up no other.
//   One whose requestor vanished, or has not read it all by its deadline
//   (ReaderDeadline), is dropped. A new request is never refused for want of a slot: it
//   takes the slot of the requestor that has been silent longest.
// - Requests older than our ownership are refused, as the selection rules ask.
#include <cstdlib>
#include <cstring>

#include "desktop/text/offeredtext.h"
#include "posix.h"
#include "desktop/x11/x11selection.h"

bool X11TakeSelection(X11Session* session) {
  Time now = X11ServerTime(session);
  Atom clipboard = session->atoms[ATOM_CLIPBOARD];
  XSetSelectionOwner(session->display, clipboard, session->window, now);
  if (XGetSelectionOwner(session->display, clipboard) != session->window) return false;
  session->owner = true;
  session->ownedSince = now;
  return true;
}

bool X11OwnsSelection(X11Session* session) {
  return XGetSelectionOwner(session->display, session->atoms[ATOM_CLIPBOARD]) ==
         session->window;
}

static void EndTransfer(X11Session* session, X11Transfer* transfer) {
  transfer->active = false;
  // Stop listening to the requestor's window unless another answer still goes there.
  for (const X11Transfer& other : session->transfers) {
    if (other.active && other.requestor == transfer->requestor) return;
  }
  if (transfer->requestor != session->window)
    XSelectInput(session->display, transfer->requestor, NoEventMask);
}

bool X11OfferText(X11Session* session, const char* text) {
  // Pieces still on their way point into the old text.
  for (X11Transfer& transfer : session->transfers) {
    if (transfer.active) EndTransfer(session, &transfer);
  }
  free(session->utf8);
  free(session->latin1);
  session->utf8 = session->latin1 = nullptr;
  session->utf8Length = session->latin1Length = 0;
  session->hasText = false;
  if (text == nullptr) return true;

  OfferedText offered;
  if (!MakeOfferedText(text, &offered)) return false;
  session->utf8 = offered.utf8;
  session->utf8Length = offered.utf8Length;
  session->latin1 = offered.latin1;
  session->latin1Length = offered.latin1Length;
  session->hasText = true;
  return true;
}

int64_t X11ExpireTransfers(X11Session* session) {
  int64_t now = MonotonicMilliseconds();
  int64_t due = X11_NO_DEADLINE;
  for (X11Transfer& transfer : session->transfers) {
    if (!transfer.active) continue;
    if (now >= transfer.deadline) {
      EndTransfer(session, &transfer);
    } else if (due == X11_NO_DEADLINE || transfer.deadline < due) {
      due = transfer.deadline;
    }
  }
  return due;
}

// A free slot, else the one whose requestor has been silent longest, given up.
static X11Transfer* FreeSlot(X11Session* session) {
  X11ExpireTransfers(session);
  X11Transfer* oldest = nullptr;
  for (X11Transfer& transfer : session->transfers) {
    if (!transfer.active) return &transfer;
    if (oldest == nullptr || transfer.lastStep < oldest->lastStep) oldest = &transfer;
  }
  EndTransfer(session, oldest);
  return oldest;
}

// Starts a piecewise answer: the INCR notice carries the size; each deletion of the
// property by the requestor asks for the next piece.
static void StartTransfer(X11Session* session, Window requestor, Atom property, Atom type,
                          const char* data, size_t length) {
  X11Transfer* transfer = FreeSlot(session);
  // Listen before the notice goes out, or the first deletion could be missed.
  if (requestor != session->window)
    XSelectInput(session->display, requestor, PropertyChangeMask | StructureNotifyMask);
  long size = (long)length;
  XChangeProperty(session->display, requestor, property, session->atoms[ATOM_INCR], 32,
                  PropModeReplace, (unsigned char*)&size, 1);
  int64_t now = MonotonicMilliseconds();
  *transfer = X11Transfer{true, requestor, property, type, data, length, 0, now,
                          ReaderDeadline(now, length)};
}

static void ContinueTransfer(X11Session* session, Window requestor, Atom property) {
  for (X11Transfer& transfer : session->transfers) {
    if (!transfer.active || transfer.requestor != requestor || transfer.property != property)
      continue;
    size_t piece = transfer.length - transfer.sent;
    if (piece > X11_CHUNK_SIZE) piece = X11_CHUNK_SIZE;
    // The empty piece after the last one ends the answer.
    XChangeProperty(session->display, requestor, property, transfer.type, 8, PropModeReplace,
                    (const unsigned char*)transfer.data + transfer.sent, (int)piece);
    transfer.sent += piece;
    transfer.lastStep = MonotonicMilliseconds();
    if (piece == 0) {
      EndTransfer(session, &transfer);
      ++session->textsDelivered;  // the requestor has read every piece
    }
    return;
  }
}

// Hands the text over: at once, or piecewise, in which case it counts as delivered only
// once the requestor has read the last piece.
static bool Answer(X11Session* session, Window requestor, Atom property, Atom type,
                   const char* data, size_t length) {
  if (length > X11_CHUNK_SIZE) {
    StartTransfer(session, requestor, property, type, data, length);
    return true;
  }
  XChangeProperty(session->display, requestor, property, type, 8, PropModeReplace,
                  (const unsigned char*)data, (int)length);
  ++session->textsDelivered;
  return true;
}

// Puts the target's value into the requestor's property. False when refused.
static bool ServeTarget(X11Session* session, Window requestor, Atom target, Atom property) {
  const Atom* atoms = session->atoms;
  if (target == atoms[ATOM_TARGETS]) {
    long list[6] = {(long)atoms[ATOM_TARGETS], (long)atoms[ATOM_MULTIPLE],
                    (long)atoms[ATOM_TIMESTAMP], (long)atoms[ATOM_UTF8_STRING],
                    (long)XA_STRING, (long)atoms[ATOM_TEXT]};
    XChangeProperty(session->display, requestor, property, XA_ATOM, 32, PropModeReplace,
                    (unsigned char*)list, session->hasText ? 6 : 3);
    return true;
  }
  if (target == atoms[ATOM_TIMESTAMP]) {
    long time = (long)session->ownedSince;
    XChangeProperty(session->display, requestor, property, XA_INTEGER, 32, PropModeReplace,
                    (unsigned char*)&time, 1);
    return true;
  }
  if (!session->hasText) return false;
  if (target == atoms[ATOM_UTF8_STRING] || target == atoms[ATOM_TEXT]) {
    return Answer(session, requestor, property, atoms[ATOM_UTF8_STRING], session->utf8,
                  session->utf8Length);
  }
  if (target == XA_STRING) {
    return Answer(session, requestor, property, XA_STRING, session->latin1,
                  session->latin1Length);
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
  XSelectionEvent reply;
  memset(&reply, 0, sizeof reply);
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

void X11ServeEvent(X11Session* session, const XEvent* event) {
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
      for (X11Transfer& transfer : session->transfers) {
        if (transfer.active && transfer.requestor == event->xdestroywindow.window)
          transfer.active = false;
      }
      break;
  }
}
