// The system's text for an error code, looked up as both error hooks want it.
#include "common/systemerror.h"

void UseSystemErrorText(DWORD code, void (*use)(DWORD code, const char* text)) {
  if (code == 0) code = GetLastError();
  char* text = nullptr;
  // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument receives a pointer to the
  // text, which the system allocated and LocalFree releases.
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                (LPSTR)&text, 0, nullptr);
  if (length == 0 || text == nullptr) {
    use(code, nullptr);
    return;
  }
  use(code, text);
  LocalFree(text);
}
