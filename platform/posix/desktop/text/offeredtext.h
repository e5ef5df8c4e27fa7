// The clipboard's text as the desktop is offered it: CF_TEXT translated once into both
// desktop encodings, for the X11 selection and the Wayland source alike.
#ifndef QUILLET_PLATFORM_POSIX_OFFEREDTEXT_H
#define QUILLET_PLATFORM_POSIX_OFFEREDTEXT_H

#include <cstddef>
#include <cstdint>

struct OfferedText {
  char* utf8;  // both NUL-terminated, malloc'd
  size_t utf8Length;
  char* latin1;
  size_t latin1Length;
};

// Translates CF_TEXT into *offered (which must be empty). False when memory runs out;
// *offered stays empty then.
bool MakeOfferedText(const char* text, OfferedText* offered);
// Frees both translations and leaves *offered empty.
void FreeOfferedText(OfferedText* offered);

// How long one reader may take over one answer, from its request to the last byte, before
// it is dropped. An honest reader drains a pipe or a property at many MB per second, and
// even one whose program is busy for a few seconds before it reads finishes well within
// this; one that has not by then has stopped reading, and holding on to it would only let
// it keep a keeper alive. A total, never reset by progress, so a reader that takes a page
// now and then cannot stretch it.
#define READER_TIME_BASE 5000   // ms
#define READER_TIME_PER_MB 1000 // ms for each MB (2^20 bytes) of the answer
// The monotonic ms by which a reader that asked at start must have read length bytes.
int64_t ReaderDeadline(int64_t start, size_t length);

#endif  // QUILLET_PLATFORM_POSIX_OFFEREDTEXT_H
