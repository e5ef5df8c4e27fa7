// What the user sees and hears, and the system's error texts (as the contract cases,
// tests/contract, have them). MessageBoxA blocks until the user presses OK
// (messageOkDelay of virtual time) and returns IDOK; Beep blocks for its duration.
#include "internal.h"

namespace fake {

DWORD messageOkDelay = 0;

namespace {
std::map<const void*, std::string> texts;  // FormatMessageA buffers not yet released

const char* SystemText(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.\r\n";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.\r\n";
    case ERROR_ACCESS_DENIED: return "Access is denied.\r\n";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.\r\n";
    case ERROR_GEN_FAILURE: return "A device attached to the system is not functioning.\r\n";
    case ERROR_SHARING_VIOLATION:
      return "The process cannot access the file because it is being used by another "
             "process.\r\n";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.\r\n";
    case ERROR_MORE_DATA: return "More data is available.\r\n";
    case ERROR_BADDB: return "The configuration registry database is corrupt.\r\n";
    case ERROR_DEVICE_NOT_CONNECTED: return "The device is not connected.\r\n";
    default: return nullptr;
  }
}
}  // namespace

void ResetFeedback() {
  messageOkDelay = 0;
  for (auto& text : texts) delete[] (const char*)text.first;
  texts.clear();
}

int LiveErrorTexts() { return (int)texts.size(); }

}  // namespace fake

using namespace fake;

extern "C" {

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  DWORD code;
  if (Enter(&code, "MessageBoxA", "%s, %s, %s, 0x%X", hWnd ? "window" : "null",
            Quote(lpText).c_str(), Quote(lpCaption).c_str(), uType)) {
    return SetError(code), 0;
  }
  Advance(messageOkDelay);
  return IDOK;
}

BOOL WINAPI Beep(DWORD dwFreq, DWORD dwDuration) {
  DWORD code;
  if (Enter(&code, "Beep", "%u, %u", dwFreq, dwDuration)) return SetError(code), FALSE;
  Advance(dwDuration);
  return TRUE;
}

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  Note("OutputDebugStringA", Quote(lpOutputString));
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                            DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                            va_list* Arguments) {
  DWORD code;
  if (Enter(&code, "FormatMessageA", "0x%X, %s, %u, 0x%X, %u, %s", dwFlags,
            lpSource ? "source" : "null", dwMessageId, dwLanguageId, nSize,
            Arguments ? "args" : "null")) {
    return SetError(code), 0;
  }
  if (!(dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) {
    Violation("FormatMessageA: without FORMAT_MESSAGE_ALLOCATE_BUFFER");
    return SetError(ERROR_INVALID_PARAMETER), 0;
  }
  const char* text = SystemText(dwMessageId);
  if (text == nullptr) return SetError(317), 0;  // ERROR_MR_MID_NOT_FOUND
  char* copy = strcpy(new char[strlen(text) + 1], text);
  texts[copy] = text;
  *(char**)lpBuffer = copy;
  return (DWORD)strlen(text);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  DWORD code;
  bool known = texts.count(hMem) != 0;
  bool fail = Enter(&code, "LocalFree", "%s", known ? Quote(texts[hMem].c_str()).c_str() : "?");
  if (!known) {
    Violation("LocalFree: not an allocated text");
    return SetError(ERROR_INVALID_HANDLE), hMem;
  }
  delete[] (char*)hMem;
  texts.erase(hMem);
  return fail ? (SetError(code), hMem) : nullptr;
}

}  // extern "C"
