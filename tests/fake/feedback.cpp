// What the user sees and hears, and the system's error texts (as the contract cases,
// tests/contract, have them). MessageBoxA blocks until the user presses OK
// (messageOkDelay of virtual time) and returns IDOK; Beep blocks for its duration.
#include "internal.h"
#include "../contract/systemtexts.h"

namespace fake {

DWORD messageOkDelay = 0;

namespace {
std::map<const void*, std::string> texts;  // FormatMessageA buffers not yet released

const char* SystemText(DWORD code) {
  for (const auto& known : SYSTEM_TEXTS) {
    if (known.code == code) return known.text;
  }
  return nullptr;
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
  if (DWORD code = Enter("MessageBoxA", "%s, %s, %s, 0x%X", hWnd ? "window" : "null",
                         Quote(lpText).c_str(), Quote(lpCaption).c_str(), uType))
    return SetError(code), 0;
  Advance(messageOkDelay);
  return IDOK;
}

BOOL WINAPI Beep(DWORD dwFreq, DWORD dwDuration) {
  if (DWORD code = Enter("Beep", "%u, %u", dwFreq, dwDuration)) return SetError(code), FALSE;
  Advance(dwDuration);
  return TRUE;
}

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  Note("OutputDebugStringA", Quote(lpOutputString));
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                            DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                            va_list* Arguments) {
  if (DWORD code = Enter("FormatMessageA", "0x%X, %s, %u, 0x%X, %u, %s", dwFlags,
                         lpSource ? "source" : "null", dwMessageId, dwLanguageId, nSize,
                         Arguments ? "args" : "null"))
    return SetError(code), 0;
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
  bool known = texts.count(hMem) != 0;
  DWORD fail = Enter("LocalFree", "%s", known ? Quote(texts[hMem].c_str()).c_str() : "?");
  if (!known) {
    Violation("LocalFree: not an allocated text");
    return SetError(ERROR_INVALID_HANDLE), hMem;
  }
  delete[] (char*)hMem;
  texts.erase(hMem);
  return fail ? (SetError(fail), hMem) : nullptr;
}

}  // extern "C"
