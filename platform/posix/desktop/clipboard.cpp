// The Windows clipboard functions for CF_TEXT, on the CLIPBOARD selection of the X display.
//
// Contract kept from Windows:
// - IsClipboardFormatAvailable(CF_TEXT) needs no open clipboard: true when there is text
//   to have, our own or an owner's that offers UTF8_STRING or STRING. Other formats: false.
// - OpenClipboard fails with ERROR_DEVICE_NOT_CONNECTED when no display can be opened;
//   opening it again while it is open succeeds.
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
//   failure the block stays the caller's.
// - CloseClipboard ends the access; a text we set stays on offer and outlives the program
//   (x11handoff.cpp).
#include <cstdlib>

#include "desktop/desktoptext.h"
#include "posix.h"
#include "desktop/x11/x11selection.h"

static X11Session session;  // display is null while there is no connection
static bool clipboardOpen;
static HGLOBAL readBlock;  // handed out by GetClipboardData, the clipboard's
static HGLOBAL ownBlock;   // taken over by SetClipboardData
static bool handOffRegistered;

static void HandOffAtExit(void) {
  if (session.display != nullptr) X11HandOff(&session);
}

// Once this program owns the selection, someone must answer for it after exit.
static void RegisterHandOff(void) {
  if (!handOffRegistered) handOffRegistered = atexit(HandOffAtExit) == 0;
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
  bool temporary = session.display == nullptr;
  if (temporary && !X11Open(&session)) return FALSE;
  bool available = X11OwnsSelection(&session) ? session.hasText : X11OffersText(&session);
  if (temporary) X11Close(&session);
  return available;
}

BOOL WINAPI OpenClipboard(HWND) {
  if (clipboardOpen) return TRUE;
  if (session.display == nullptr && !X11Open(&session)) {
    SetLastErrorCode(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  clipboardOpen = true;
  return TRUE;
}

// Reads the owner's text: UTF-8 if it has it, else Latin-1 (STRING). Owners that answer
// with another type than asked are taken at their word. Null with the last error set.
static HGLOBAL ReadText(void) {
  char* desktop = nullptr;
  size_t length = 0;
  Atom type = None;
  unsigned long status =
      X11ReadSelection(&session, session.atoms[ATOM_UTF8_STRING], &desktop, &length, &type);
  if (status == ERROR_INVALID_DATA)
    status = X11ReadSelection(&session, XA_STRING, &desktop, &length, &type);
  if (status != 0) {
    SetLastErrorCode((DWORD)status);
    return nullptr;
  }
  Translation translate = type == XA_STRING ? Latin1ToText : Utf8ToText;
  size_t size = translate(desktop, length, nullptr);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size + 1);
  char* text = block ? (char*)GlobalLock(block) : nullptr;
  if (text != nullptr) {
    translate(desktop, length, text);
    text[size] = '\0';
    GlobalUnlock(block);
  } else if (block != nullptr) {
    block = GlobalFree(block);
  }
  free(desktop);
  return block;
}

HANDLE WINAPI GetClipboardData(UINT format) {
  if (!RequireOpen()) return nullptr;
  if (format != CF_TEXT) {
    SetLastErrorCode(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (X11OwnsSelection(&session)) {
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
  X11OfferText(&session, nullptr);
  if (!X11TakeSelection(&session)) {
    SetLastErrorCode(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  RegisterHandOff();
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
  bool offered = X11OfferText(&session, text);
  GlobalUnlock(hMem);
  if (!offered) {
    SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!X11OwnsSelection(&session) && !X11TakeSelection(&session)) {
    X11OfferText(&session, nullptr);
    SetLastErrorCode(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  ReleaseBlock(&readBlock);
  if (ownBlock != hMem) ReleaseBlock(&ownBlock);
  ownBlock = hMem;
  RegisterHandOff();
  return hMem;
}

BOOL WINAPI CloseClipboard(void) {
  if (!RequireOpen()) return FALSE;
  ReleaseBlock(&readBlock);
  clipboardOpen = false;
  if (session.owner) {
    X11ServePending(&session);  // a clipboard manager asks at once
  } else {
    X11Close(&session);
  }
  return TRUE;
}
