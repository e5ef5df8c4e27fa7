// The Windows clipboard functions for CF_TEXT, on the desktop's clipboard: Wayland's
// through data-control where the compositor offers it, else the CLIPBOARD selection of
// the X display.
//
// Contract kept from Windows:
// - IsClipboardFormatAvailable(CF_TEXT) needs no open clipboard: true when there is text
//   to have, our own or an owner's that offers one of the text types we read. Other
//   formats: false.
// - OpenClipboard fails with ERROR_DEVICE_NOT_CONNECTED when no clipboard can be reached
//   (no display, or one that refuses us); opening it again while it is open succeeds.
//   Such a run says so once, on standard error and in the system log:
//   "Quillet: error: no clipboard: REASON".
// - GetClipboardData, EmptyClipboard, SetClipboardData and CloseClipboard fail with
//   ERROR_CLIPBOARD_NOT_OPEN while the clipboard is not open.
// - GetClipboardData(CF_TEXT) gives a movable block holding the text as CF_TEXT
//   (desktoptext.cpp translates): it belongs to the clipboard; the caller may lock and
//   unlock it but never frees it, and it is released when the clipboard is emptied or
//   closed. Repeated calls while open give the same block.
// - EmptyClipboard releases the clipboard's data and makes this program the owner of an
//   empty clipboard (the previous owner's text is gone for everyone).
// - SetClipboardData(CF_TEXT, block) takes the block over and returns it: the clipboard
//   owns it from then on. No delayed rendering (a null block) and no other format; on
//   failure the block stays the caller's, and the run says so on standard error and
//   in the system log: "Quillet: error: clipboard refused the text: REASON". On Wayland
//   the text is also set as the X11 selection, for X11 programs that the compositor does
//   not bridge to.
// - CloseClipboard ends the access; a text we set stays on offer and outlives the program:
//   from this moment on the keeper serves it (keeper.cpp), so that neither the rest of
//   the run (the tone, a stalled sound server) nor a signal can lose it.
// Beyond Windows: the connection is made, and the clipboard chosen, while the run waits
// for the handheld (PrepareClipboard), so that a text that arrives goes onto the
// clipboard at once. A clipboard that cannot be reached is still said only where one is
// needed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "desktop/desktop.h"
#include "desktop/text/desktoptext.h"
#include "posix.h"

static Desktop desktop;       // what the run knows of the desktop
static char unreachable[512];  // why no clipboard could be had, at the last try
static bool clipboardOpen;
static HGLOBAL readBlock;  // handed out by GetClipboardData, the clipboard's
static HGLOBAL ownBlock;   // taken over by SetClipboardData
static bool settingText;   // from a text set to the keeper taking it: signals held
static sigset_t signalsBeforeSet;

Desktop* RunDesktop(void) { return &desktop; }

static bool IsSet(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && value[0] != '\0';
}

static void SayUnreachable(void) {
  static bool said = false;
  if (said) return;
  said = true;
  char line[600];
  if (!IsSet("WAYLAND_DISPLAY") && !IsSet("DISPLAY")) {
    snprintf(line, sizeof line,
             "no clipboard: no display (WAYLAND_DISPLAY and DISPLAY are not set)");
  } else {
    snprintf(line, sizeof line, "no clipboard: %s", unreachable);
  }
  SayDesktopError(line);
}

// Where a clipboard is needed: one that cannot be reached is said.
static bool Connect(void) {
  if (ConnectDesktop(&desktop, unreachable, sizeof unreachable)) return true;
  SayUnreachable();
  return false;
}

void PrepareClipboard(void) {
  static bool prepared = false;
  if (prepared) return;
  prepared = true;
  // Not yet the X display beside a Wayland clipboard: the compositor's bridge takes the
  // X11 selection as ours becomes the Wayland one, and ours must come after it.
  ConnectDesktop(&desktop, unreachable, sizeof unreachable);
}

// Every function but OpenClipboard and IsClipboardFormatAvailable needs it open.
static bool RequireOpen(void) {
  if (!clipboardOpen) SetLastErrorCode(ERROR_CLIPBOARD_NOT_OPEN);
  return clipboardOpen;
}

static void ReleaseBlock(HGLOBAL* block) {
  if (*block != nullptr) GlobalFree(*block);
  *block = nullptr;
}

BOOL WINAPI IsClipboardFormatAvailable(UINT format) {
  if (format != CF_TEXT) return FALSE;
  bool temporary = !DesktopConnected(&desktop);
  if (temporary && !Connect()) return FALSE;
  bool available = DesktopOffersText(&desktop);
  if (temporary) DisconnectDesktop(&desktop);
  return available;
}

BOOL WINAPI OpenClipboard(HWND) {
  if (clipboardOpen) return TRUE;
  if (!Connect()) {
    SetLastErrorCode(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  clipboardOpen = true;
  return TRUE;
}

// Reads the owner's text as CF_TEXT. Null with the last error set.
static HGLOBAL ReadText(void) {
  char* text = nullptr;
  size_t length = 0;
  bool latin1 = false;
  unsigned long status = ReadDesktopText(&desktop, &text, &length, &latin1);
  if (status != 0) {
    SetLastErrorCode((DWORD)status);
    return nullptr;
  }
  Translation translate = latin1 ? Latin1ToText : Utf8ToText;
  size_t size = translate(text, length, nullptr);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size + 1);
  char* cfText = block ? (char*)GlobalLock(block) : nullptr;
  if (cfText != nullptr) {
    translate(text, length, cfText);
    cfText[size] = '\0';
    GlobalUnlock(block);
  } else if (block != nullptr) {
    block = GlobalFree(block);
  }
  free(text);
  return block;
}

HANDLE WINAPI GetClipboardData(UINT format) {
  if (!RequireOpen()) return nullptr;
  if (format != CF_TEXT) {
    SetLastErrorCode(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (DesktopOwns(&desktop)) {
    if (ownBlock == nullptr) SetLastErrorCode(ERROR_INVALID_DATA);  // emptied by us
    return ownBlock;
  }
  if (readBlock == nullptr) readBlock = ReadText();
  return readBlock;
}

BOOL WINAPI EmptyClipboard(void) {
  if (!RequireOpen()) return FALSE;
  ReleaseBlock(&readBlock);
  ReleaseBlock(&ownBlock);
  DWORD failure = TakeDesktop(&desktop, nullptr);
  if (failure != 0) {
    SetLastErrorCode(failure);
    return FALSE;
  }
  return TRUE;
}

HANDLE WINAPI SetClipboardData(UINT format, HANDLE hMem) {
  if (!RequireOpen()) return nullptr;
  if (format != CF_TEXT || hMem == nullptr) {
    SetLastErrorCode(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  const char* text = (const char*)GlobalLock(hMem);
  if (text == nullptr) return nullptr;  // GlobalLock said why
  DWORD failure = TakeDesktop(&desktop, text);
  GlobalUnlock(hMem);
  if (failure != 0) {
    // The user must not take the run for a success: said as a clipboard out of reach is.
    SayDesktopError(failure == ERROR_NOT_ENOUGH_MEMORY
                 ? "clipboard refused the text: no memory for it"
                 : "clipboard refused the text: the desktop did not give us the selection");
    SetLastErrorCode(failure);
    return nullptr;
  }
  ReleaseBlock(&readBlock);
  if (ownBlock != hMem) ReleaseBlock(&ownBlock);
  ownBlock = hMem;
  // The text is on the clipboard: no signal may end the run before the keeper has it.
  if (!settingText) HoldSignals(&signalsBeforeSet);
  settingText = true;
  // A program that ends with the clipboard still open closes it then, as Windows does.
  static bool closeAtExit = false;
  if (!closeAtExit) closeAtExit = atexit([] { CloseClipboard(); }) == 0;
  return hMem;
}

BOOL WINAPI CloseClipboard(void) {
  if (!RequireOpen()) return FALSE;
  ReleaseBlock(&readBlock);
  clipboardOpen = false;
  KeepClipboard(&desktop);
  ReleaseBlock(&ownBlock);  // the text lives in the keeper now, or nowhere
  DisconnectDesktop(&desktop);
  if (settingText) ReleaseSignals(&signalsBeforeSet);
  settingText = false;
  return TRUE;
}
