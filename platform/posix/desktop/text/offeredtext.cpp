// CF_TEXT translated for the desktop's owners of the clipboard (offeredtext.h).
#include "desktop/text/offeredtext.h"

#include <cstdlib>
#include <cstring>

#include "desktop/text/desktoptext.h"

bool MakeOfferedText(const char* text, OfferedText* offered) {
  size_t length = strlen(text);
  size_t utf8Length = TextToUtf8(text, length, nullptr);
  size_t latin1Length = TextToLatin1(text, length, nullptr);
  char* utf8 = (char*)malloc(utf8Length + 1);
  char* latin1 = (char*)malloc(latin1Length + 1);
  if (utf8 == nullptr || latin1 == nullptr) {
    free(utf8);
    free(latin1);
    return false;
  }
  TextToUtf8(text, length, utf8);
  TextToLatin1(text, length, latin1);
  utf8[utf8Length] = latin1[latin1Length] = '\0';
  *offered = OfferedText{utf8, utf8Length, latin1, latin1Length};
  return true;
}

void FreeOfferedText(OfferedText* offered) {
  free(offered->utf8);
  free(offered->latin1);
  *offered = OfferedText{nullptr, 0, nullptr, 0};
}
