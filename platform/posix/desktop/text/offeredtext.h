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

#endif  // QUILLET_PLATFORM_POSIX_OFFEREDTEXT_H
