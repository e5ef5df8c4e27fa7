// The clipboard: one CF_TEXT block, opened by one program at a time, by the rules of the
// contract cases (tests/contract). Stricter than Windows: a second OpenClipboard fails,
// and handing over a locked block is a violation.
#include "internal.h"

namespace fake {

namespace {
bool open = false;
HGLOBAL data = nullptr;

bool NeedOpen(const char* who) {
  if (!open) Violation(std::string(who) + ": clipboard not open");
  return open;
}

void Replace(HGLOBAL block) {
  if (data != nullptr && data != block && IsBlock(data)) FreeBlock(data, "clipboard");
  data = block;
}
}  // namespace

void ResetClipboard() {
  open = false;
  data = nullptr;
}

void SetClipboardText(const std::string& text) { Replace(NewBlock(text + '\0', true)); }
bool ClipboardHasText() { return data != nullptr; }
std::string ClipboardBytes() { return data ? BlockBytes(data) : ""; }

}  // namespace fake

using namespace fake;

extern "C" {

BOOL WINAPI IsClipboardFormatAvailable(UINT format) {
  if (DWORD code = Enter("IsClipboardFormatAvailable", "%u", format))
    return SetError(code), FALSE;
  return format == CF_TEXT && data != nullptr;
}

BOOL WINAPI OpenClipboard(HWND hWndNewOwner) {
  if (DWORD code = Enter("OpenClipboard", "%s", hWndNewOwner ? "window" : "null"))
    return SetError(code), FALSE;
  if (open) return SetError(ERROR_ACCESS_DENIED), FALSE;
  open = true;
  Opened("clipboard");
  return TRUE;
}

HANDLE WINAPI GetClipboardData(UINT uFormat) {
  if (DWORD code = Enter("GetClipboardData", "%u", uFormat)) return SetError(code), nullptr;
  if (!NeedOpen("GetClipboardData")) return SetError(ERROR_CLIPBOARD_NOT_OPEN), nullptr;
  return uFormat == CF_TEXT ? data : nullptr;
}

BOOL WINAPI EmptyClipboard(void) {
  if (DWORD code = Enter("EmptyClipboard", "%s", "")) return SetError(code), FALSE;
  if (!NeedOpen("EmptyClipboard")) return SetError(ERROR_CLIPBOARD_NOT_OPEN), FALSE;
  Replace(nullptr);
  return TRUE;
}

HANDLE WINAPI SetClipboardData(UINT uFormat, HANDLE hMem) {
  if (DWORD code = Enter("SetClipboardData", "%u, %s", uFormat, BlockName(hMem).c_str()))
    return SetError(code), nullptr;
  if (!NeedOpen("SetClipboardData")) return SetError(ERROR_CLIPBOARD_NOT_OPEN), nullptr;
  if (uFormat != CF_TEXT || !IsBlock(hMem)) return SetError(ERROR_INVALID_PARAMETER), nullptr;
  if (BlockLocks(hMem) > 0) Violation("SetClipboardData: block " + BlockName(hMem) + " locked");
  GiveToClipboard(hMem, true);
  Replace(hMem);
  return hMem;
}

BOOL WINAPI CloseClipboard(void) {
  DWORD fail = Enter("CloseClipboard", "%s", "");
  if (!NeedOpen("CloseClipboard")) return SetError(ERROR_CLIPBOARD_NOT_OPEN), FALSE;
  open = false;
  Closed("clipboard");
  return fail ? (SetError(fail), FALSE) : TRUE;
}

}  // extern "C"
