// Interim desktop stand-ins until the X11 clipboard, the dialogs and the tone arrive:
// every message goes to standard error as one line, the clipboard is unavailable and the
// tone is silent.
#include <cstdio>

#include "winapi.h"

int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR, UINT type) {
  const char* kind = (type & 0xF0) == MB_ICONEXCLAMATION ? "warning" : "error";
  std::fprintf(stderr, "Quillet: %s: ", kind);
  // One line: the message's own line ends are shown as blanks.
  for (const char* p = text; *p; ++p) std::fputc(*p == '\n' ? ' ' : *p, stderr);
  std::fputc('\n', stderr);
  return IDOK;
}

BOOL WINAPI Beep(DWORD, DWORD) { return TRUE; }

BOOL WINAPI IsClipboardFormatAvailable(UINT) { return FALSE; }
BOOL WINAPI OpenClipboard(HWND) { return FALSE; }
HANDLE WINAPI GetClipboardData(UINT) { return nullptr; }
BOOL WINAPI EmptyClipboard(void) { return FALSE; }
HANDLE WINAPI SetClipboardData(UINT, HANDLE) { return nullptr; }
BOOL WINAPI CloseClipboard(void) { return FALSE; }
