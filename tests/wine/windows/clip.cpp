// Test helper for the Windows clipboard under Wine, whose clipboard lasts only while some
// Wine program runs.
//   clip keep        stays until its standard input closes, holding the clipboard alive
//   clip get         prints the CF_TEXT bytes in hex, or "none"
//   clip set HEX     puts those bytes (plus a NUL) on the clipboard as CF_TEXT
//   clip clear       empties the clipboard
// Exit code 0, or 1 when the clipboard could not be opened or the arguments are wrong.
#include <windows.h>

#include <stdio.h>
#include <string.h>

static bool OpenWithRetry(void) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (OpenClipboard(nullptr)) return true;
    Sleep(20);
  }
  return false;
}

static int Get(void) {
  if (!OpenWithRetry()) return 1;
  HANDLE data = GetClipboardData(CF_TEXT);
  const unsigned char* text = data ? (const unsigned char*)GlobalLock(data) : nullptr;
  if (text == nullptr) {
    puts("none");
  } else {
    for (const unsigned char* p = text; *p; ++p) printf("%02x", *p);
    putchar('\n');
    GlobalUnlock(data);
  }
  CloseClipboard();
  return 0;
}

static int Set(const char* hex) {
  size_t length = strlen(hex) / 2;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, length + 1);
  char* text = block ? (char*)GlobalLock(block) : nullptr;
  if (text == nullptr) return 1;
  for (size_t i = 0; i < length; ++i) {
    unsigned value = 0;
    sscanf(hex + 2 * i, "%2x", &value);
    text[i] = (char)value;
  }
  text[length] = '\0';
  GlobalUnlock(block);
  if (!OpenWithRetry()) return 1;
  EmptyClipboard();
  bool handedOver = SetClipboardData(CF_TEXT, block) != nullptr;
  CloseClipboard();
  if (!handedOver) GlobalFree(block);
  return handedOver ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "keep") == 0) {
    while (getchar() != EOF) {
    }
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "get") == 0) return Get();
  if (argc == 3 && strcmp(argv[1], "set") == 0) return Set(argv[2]);
  if (argc == 2 && strcmp(argv[1], "clear") == 0) {
    if (!OpenWithRetry()) return 1;
    EmptyClipboard();
    CloseClipboard();
    return 0;
  }
  fputs("usage: clip keep | get | set HEX | clear\n", stderr);
  return 1;
}
