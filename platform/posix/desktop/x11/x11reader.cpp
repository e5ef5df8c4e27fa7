// Asking the CLIPBOARD selection's owner for its text: the requestor's side of the
// selection protocol, the piecewise (INCR) answers included.
//
// Contract kept from Windows (GetClipboardData's side of it):
// - The answer is complete or there is none: a refused request, an owner that goes
//   silent for X11_READ_STEP_TIMEOUT between two steps, or memory running out yields no
//   data and an error code, never a part of the text.
// - Any size the owner sends is taken, in one property or in pieces.
#include <cstdlib>
#include <cstring>

#include "posix.h"
#include "desktop/x11/x11selection.h"

// Bytes in memory as Xlib hands them out: 32-bit items arrive as longs.
struct ReadBuffer {
  char* data;
  size_t length;
  size_t capacity;
};

// 4 MB per property read: large answers arrive in a few round trips.
#define PROPERTY_READ_UNITS (1L << 20)

static bool Append(ReadBuffer* buffer, const unsigned char* bytes, size_t count) {
  if (count == 0) return true;
  if (buffer->length + count + 1 > buffer->capacity) {
    size_t capacity = buffer->capacity ? buffer->capacity : 4096;
    while (capacity < buffer->length + count + 1) capacity *= 2;
    char* grown = (char*)realloc(buffer->data, capacity);
    if (grown == nullptr) return false;
    buffer->data = grown;
    buffer->capacity = capacity;
  }
  memcpy(buffer->data + buffer->length, bytes, count);
  buffer->length += count;
  return true;
}

// Reads our transfer property whole and deletes it. *type is None when there was none.
static unsigned long ReadProperty(X11Session* session, ReadBuffer* buffer, Atom* type,
                                  int* format) {
  long offset = 0;
  for (;;) {
    unsigned long items = 0, after = 0;
    unsigned char* chunk = nullptr;
    if (XGetWindowProperty(session->display, session->window,
                           session->atoms[ATOM_TRANSFER_PROPERTY], offset, PROPERTY_READ_UNITS,
                           True, AnyPropertyType, type, format, &items, &after,
                           &chunk) != Success) {
      return ERROR_INVALID_DATA;
    }
    size_t itemSize = *format == 32 ? sizeof(long) : (size_t)*format / 8;
    bool stored = Append(buffer, chunk, items * itemSize);
    if (chunk != nullptr) XFree(chunk);
    if (!stored) return ERROR_NOT_ENOUGH_MEMORY;
    if (*type == None || after == 0) return 0;
    offset += (long)(items * (size_t)*format / 8 / 4);
  }
}

struct Awaited {
  Atom selection;
  Atom property;
};
static Awaited awaited;

static bool IsSelectionAnswer(X11Session* session, const XEvent* event) {
  return event->type == SelectionNotify && event->xselection.requestor == session->window &&
         event->xselection.selection == awaited.selection;
}

static bool IsNewPiece(X11Session* session, const XEvent* event) {
  return event->type == PropertyNotify && event->xproperty.window == session->window &&
         event->xproperty.atom == awaited.property &&
         event->xproperty.state == PropertyNewValue;
}

// The pieces of an INCR answer: each new value of the property is the next piece, and
// an empty one ends it. Deleting the property asks for the next.
static unsigned long ReadPieces(X11Session* session, ReadBuffer* buffer, Atom* type,
                                int* format) {
  awaited.property = session->atoms[ATOM_TRANSFER_PROPERTY];
  for (;;) {
    XEvent event;
    int64_t deadline = MonotonicMilliseconds() + X11_READ_STEP_TIMEOUT;
    if (!X11WaitFor(session, IsNewPiece, &event, deadline)) return ERROR_TIMEOUT;
    size_t before = buffer->length;
    unsigned long status = ReadProperty(session, buffer, type, format);
    if (status != 0) return status;
    if (*type == None) continue;  // a stale notice: the piece was read already
    if (buffer->length == before) return 0;
  }
}

// Converts selection to target into buffer (NUL-terminated when it succeeds).
static unsigned long Convert(X11Session* session, Atom selection, Atom target,
                             ReadBuffer* buffer, Atom* type, int* format) {
  Display* display = session->display;
  Atom property = session->atoms[ATOM_TRANSFER_PROPERTY];
  if (XGetSelectionOwner(display, selection) == None) return ERROR_INVALID_DATA;
  XDeleteProperty(display, session->window, property);
  XConvertSelection(display, selection, target, property, session->window, CurrentTime);

  awaited.selection = selection;
  XEvent event;
  int64_t deadline = MonotonicMilliseconds() + X11_READ_STEP_TIMEOUT;
  if (!X11WaitFor(session, IsSelectionAnswer, &event, deadline)) return ERROR_TIMEOUT;
  if (event.xselection.property == None) return ERROR_INVALID_DATA;

  unsigned long status = ReadProperty(session, buffer, type, format);
  if (status == 0 && *type == session->atoms[ATOM_INCR]) {
    // Reading the INCR notice deleted it, which starts the pieces.
    buffer->length = 0;
    status = ReadPieces(session, buffer, type, format);
  } else if (status == 0 && *type == None) {
    status = ERROR_INVALID_DATA;
  }
  if (status == 0 && !Append(buffer, (const unsigned char*)"", 1)) {
    status = ERROR_NOT_ENOUGH_MEMORY;
  }
  return status;
}

unsigned long X11ReadSelection(X11Session* session, Atom target, char** data,
                               size_t* length, Atom* type) {
  ReadBuffer buffer = {nullptr, 0, 0};
  int format = 0;
  unsigned long status =
      Convert(session, session->atoms[ATOM_CLIPBOARD], target, &buffer, type, &format);
  if (status == 0 && format != 8 && buffer.length > 1) status = ERROR_INVALID_DATA;
  if (status != 0) {
    free(buffer.data);
    return status;
  }
  *data = buffer.data;
  *length = buffer.length - 1;  // without the NUL Convert added
  return 0;
}

static bool ListsText(X11Session* session, const ReadBuffer* targets) {
  const long* atoms = (const long*)targets->data;
  size_t count = (targets->length - 1) / sizeof(long);
  for (size_t i = 0; i < count; ++i) {
    if ((Atom)atoms[i] == session->atoms[ATOM_UTF8_STRING] || (Atom)atoms[i] == XA_STRING)
      return true;
  }
  return false;
}

bool X11OffersText(X11Session* session) {
  ReadBuffer targets = {nullptr, 0, 0};
  Atom type = None;
  int format = 0;
  unsigned long status = Convert(session, session->atoms[ATOM_CLIPBOARD],
                                 session->atoms[ATOM_TARGETS], &targets, &type, &format);
  bool offers = status == 0 && format == 32 && ListsText(session, &targets);
  free(targets.data);
  if (status != ERROR_INVALID_DATA) return offers;
  // An owner that cannot list its targets may still give text: try it.
  Atom kinds[2] = {session->atoms[ATOM_UTF8_STRING], XA_STRING};
  for (Atom kind : kinds) {
    char* text = nullptr;
    size_t length = 0;
    if (X11ReadSelection(session, kind, &text, &length, &type) == 0) {
      free(text);
      return true;
    }
  }
  return false;
}
