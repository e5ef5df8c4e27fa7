// Asking the CLIPBOARD selection's owner for its text: the requestor's side of the
// selection protocol, the piecewise (INCR) answers included, as a small state machine fed
// by the desktop's wait.
//
// Contract kept from Windows (GetClipboardData's side of it):
// - The answer is complete or there is none: a refused request (ERROR_NOT_SUPPORTED), a
//   damaged answer (ERROR_INVALID_DATA), an
//   owner that has not sent it all by its deadline, a text past READ_CAP or memory running
//   out yields no data and an error code, never a part of the text.
// - The owner is another program and its answer untrusted input: one total deadline for
//   the whole answer (PeerDeadline of what has arrived, never reset by a piece), a byte
//   cap, and every piece checked: each must carry the type of the first and format 8 for
//   text (32 for TARGETS). One piece that fails refuses the whole text.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix.h"
#include "desktop/x11/x11wing.h"

// 4 MB per property read: large answers arrive in a few round trips, and memory grows
// only as the cap allows.
#define PROPERTY_READ_UNITS (1L << 20)

static void EndRead(X11Session* session, unsigned long status, const char* why) {
  EndPeerRead(&session->read, status, why);
  X11EndStep(session);
}

static int ExpectedFormat(X11Session* session) {
  return session->readTarget == session->atoms[ATOM_TARGETS] ? 32 : 8;
}

void X11AskSelection(X11Session* session, X11Target target) {
  Display* display = session->display;
  const Atom targets[] = {session->atoms[ATOM_TARGETS], session->atoms[ATOM_UTF8_STRING],
                          XA_STRING};
  BeginPeerRead(&session->read);
  session->readTarget = targets[target];
  session->readType = None;
  session->readFormat = 0;
  session->readPieces = false;
  session->step = X11_STEP_READ;
  Atom clipboard = session->atoms[ATOM_CLIPBOARD];
  if (XGetSelectionOwner(display, clipboard) == None) {
    EndRead(session, ERROR_NOT_SUPPORTED, nullptr);  // nobody to ask
    return;
  }
  Atom property = session->atoms[ATOM_TRANSFER_PROPERTY];
  XDeleteProperty(display, session->window, property);
  XConvertSelection(display, clipboard, session->readTarget, property, session->window,
                    CurrentTime);
}

// Reads our transfer property whole and deletes it, appending what it holds to the read.
// False when the read has ended (the cap, memory, a failed request). *type is None when
// there was no property.
static bool ReadProperty(X11Session* session, Atom* type, int* format, unsigned long* size) {
  long offset = 0;
  *size = 0;
  for (;;) {
    unsigned long items = 0, after = 0;
    unsigned char* chunk = nullptr;
    if (XGetWindowProperty(session->display, session->window,
                           session->atoms[ATOM_TRANSFER_PROPERTY], offset, PROPERTY_READ_UNITS,
                           True, AnyPropertyType, type, format, &items, &after,
                           &chunk) != Success) {
      EndRead(session, ERROR_INVALID_DATA, "the owner's answer could not be read");
      return false;
    }
    // Xlib hands 32-bit items out as longs.
    size_t itemSize = *format == 32 ? sizeof(long) : (size_t)*format / 8;
    bool stored = AddToPeerRead(&session->read, chunk, items * itemSize);
    if (chunk != nullptr) XFree(chunk);
    if (!stored) {
      X11EndStep(session);
      return false;
    }
    *size += items;
    if (*type == None || after == 0) return true;
    offset += (long)(items * (size_t)*format / 8 / 4);
  }
}

// The first answer: the whole text, or the notice that pieces follow.
static void TakeAnswer(X11Session* session, const XSelectionEvent* answer) {
  if (answer->property == None) {
    EndRead(session, ERROR_NOT_SUPPORTED, nullptr);  // refused
    return;
  }
  Atom type;
  int format = 0;
  unsigned long size = 0;
  if (!ReadProperty(session, &type, &format, &size)) return;
  if (type == session->atoms[ATOM_INCR]) {
    // Reading the notice deleted it, which starts the pieces. Its number is the size to
    // come, at least.
    unsigned long announced = 0;
    if (format == 32 && session->read.length >= sizeof(long))
      memcpy(&announced, session->read.data, sizeof(long));
    session->read.length = 0;
    session->readPieces = true;
    if (announced > READ_CAP) {
      char why[96];
      snprintf(why, sizeof why, "the owner announces a text of %lu bytes: not taken", announced);
      EndRead(session, ERROR_NOT_ENOUGH_MEMORY, why);
    }
    return;
  }
  if (type == None) {
    EndRead(session, ERROR_NOT_SUPPORTED, nullptr);  // said yes, gave nothing
    return;
  }
  if (format != ExpectedFormat(session)) {
    char why[96];
    snprintf(why, sizeof why, "the owner answered in format %d: not taken", format);
    EndRead(session, ERROR_INVALID_DATA, why);
    return;
  }
  session->readType = type;
  session->readFormat = format;
  EndRead(session, 0, nullptr);
}

// A new value of our property during a piecewise answer: the next piece; an empty one
// ends the answer.
static void TakePiece(X11Session* session) {
  size_t before = session->read.length;
  Atom type;
  int format = 0;
  unsigned long size = 0;
  if (!ReadProperty(session, &type, &format, &size)) return;
  if (type == None) return;  // a stale notice: the piece was read already
  if (size == 0) {
    EndRead(session, 0, nullptr);
    return;
  }
  if (session->readType == None) {
    session->readType = type;
    session->readFormat = format;
  }
  if (format != ExpectedFormat(session) || type != session->readType) {
    char why[128];
    snprintf(why, sizeof why,
             "the owner sent a piece in format %d after %zu bytes in format %d: not taken",
             format, before, session->readFormat);
    EndRead(session, ERROR_INVALID_DATA, why);
  }
}

void X11ServeReaderEvent(X11Session* session, const XEvent* event) {
  if (session->step != X11_STEP_READ) return;
  if (event->type == SelectionNotify && !session->readPieces &&
      event->xselection.requestor == session->window &&
      event->xselection.selection == session->atoms[ATOM_CLIPBOARD] &&
      event->xselection.target == session->readTarget) {
    TakeAnswer(session, &event->xselection);
  } else if (event->type == PropertyNotify && session->readPieces &&
             event->xproperty.window == session->window &&
             event->xproperty.atom == session->atoms[ATOM_TRANSFER_PROPERTY] &&
             event->xproperty.state == PropertyNewValue) {
    TakePiece(session);
  }
}

unsigned long X11TakeText(X11Session* session, char** data, size_t* length, bool* latin1) {
  *latin1 = session->readType == XA_STRING;
  return TakePeerRead(&session->read, data, length);
}

bool X11ListsText(X11Session* session, unsigned long* status) {
  char* data = nullptr;
  size_t length = 0;
  *status = TakePeerRead(&session->read, &data, &length);
  bool lists = false;
  const long* atoms = (const long*)data;
  for (size_t i = 0; *status == 0 && i < length / sizeof(long); ++i) {
    if ((Atom)atoms[i] == session->atoms[ATOM_UTF8_STRING] || (Atom)atoms[i] == XA_STRING)
      lists = true;
  }
  free(data);
  return lists;
}
