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
//   failure the block stays the caller's. On Wayland the text is also set as the X11
//   selection, for X11 programs that the compositor does not bridge to.
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

#include "desktop/text/desktoptext.h"
#include "desktop/keeper.h"
#include "posix.h"

enum Desktop { DESKTOP_NONE, DESKTOP_WAYLAND, DESKTOP_X11 };

static Desktop desktop;        // the clipboard connected to, if any
static bool waylandSession;    // a compositor answers at $WAYLAND_DISPLAY
static char waylandFailure[256];  // why its clipboard is not ours to use
static X11Session x11;         // display is null while there is no connection
static WlSession wayland;      // likewise
static int64_t x11TakenAt;     // when the X11 selection was taken beside the Wayland one
static bool clipboardOpen;
static HGLOBAL readBlock;  // handed out by GetClipboardData, the clipboard's
static HGLOBAL ownBlock;   // taken over by SetClipboardData
static bool settingText;   // from a text set to the keeper taking it: signals held
static sigset_t signalsBeforeSet;

static bool IsSet(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && value[0] != '\0';
}

static void SayUnreachable(void) {
  static bool said = false;
  if (said) return;
  said = true;
  char line[512];
  if (!IsSet("WAYLAND_DISPLAY") && !IsSet("DISPLAY")) {
    snprintf(line, sizeof line,
             "Quillet: error: no clipboard: no display (WAYLAND_DISPLAY and DISPLAY are not set)");
  } else {
    snprintf(line, sizeof line, "Quillet: error: no clipboard: %s%s%s", waylandFailure,
             waylandFailure[0] != '\0' ? "; " : "", x11.openFailure);
  }
  fprintf(stderr, "%s\n", line);
  fflush(stderr);
  // The system log names the program itself.
  OutputDebugStringA(line + strlen("Quillet: "));
}

// Wayland's clipboard where the compositor lets us at it, else X11's. Says nothing.
static bool TryConnect(void) {
  if (desktop != DESKTOP_NONE) return true;
  waylandFailure[0] = '\0';
  waylandSession = false;
  if (IsSet("WAYLAND_DISPLAY")) {
    WlOpenStatus status = WlOpen(&wayland, waylandFailure, sizeof waylandFailure);
    waylandSession = status != WL_NO_COMPOSITOR;
    if (status == WL_OPENED) {
      desktop = DESKTOP_WAYLAND;
      return true;
    }
  }
  if (!X11Open(&x11)) return false;
  desktop = DESKTOP_X11;
  return true;
}

// Where a clipboard is needed: one that cannot be reached is said.
static bool Connect(void) {
  if (TryConnect()) return true;
  SayUnreachable();
  return false;
}

void PrepareClipboard(void) {
  static bool prepared = false;
  if (prepared) return;
  prepared = true;
  // Not yet the X display beside a Wayland clipboard: the compositor's bridge takes the
  // X11 selection as ours becomes the Wayland one, and ours must come after it.
  TryConnect();
}

static void Disconnect(void) {
  WlClose(&wayland);
  X11Close(&x11);
  desktop = DESKTOP_NONE;
}

static bool OwnsSelection(void) {
  if (desktop == DESKTOP_X11) return X11OwnsSelection(&x11);
  WlServePending(&wayland);  // a cancellation may be waiting
  return wayland.owner;
}

static bool OwnTextSet(void) {
  return desktop == DESKTOP_X11 ? x11.hasText : wayland.text.utf8 != nullptr;
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
  bool temporary = desktop == DESKTOP_NONE;
  if (temporary && !Connect()) return FALSE;
  bool available = OwnsSelection() ? OwnTextSet()
                   : desktop == DESKTOP_X11 ? X11OffersText(&x11)
                                            : WlOffersText(&wayland);
  if (temporary) Disconnect();
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

// The owner's text and how it becomes CF_TEXT. On X11: UTF-8 if it has it, else Latin-1
// (STRING); owners that answer with another type than asked are taken at their word.
static unsigned long ReadDesktop(char** text, size_t* length, Translation* translate) {
  *translate = Utf8ToText;
  if (desktop == DESKTOP_WAYLAND) return WlReadSelection(&wayland, text, length);
  Atom type = None;
  unsigned long status =
      X11ReadSelection(&x11, x11.atoms[ATOM_UTF8_STRING], text, length, &type);
  if (status == ERROR_INVALID_DATA)
    status = X11ReadSelection(&x11, XA_STRING, text, length, &type);
  if (type == XA_STRING) *translate = Latin1ToText;
  return status;
}

// Reads the owner's text as CF_TEXT. Null with the last error set.
static HGLOBAL ReadText(void) {
  char* desktop = nullptr;
  size_t length = 0;
  Translation translate = Utf8ToText;
  unsigned long status = ReadDesktop(&desktop, &length, &translate);
  if (status != 0) {
    SetLastErrorCode((DWORD)status);
    return nullptr;
  }
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
  if (OwnsSelection()) {
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
  bool taken = desktop == DESKTOP_WAYLAND
                   ? WlTakeSelection(&wayland, nullptr)
                   : X11OfferText(&x11, nullptr) && X11TakeSelection(&x11);
  if (!taken) {
    SetLastErrorCode(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}

// Offers text as the X11 selection, taking it if need be. 0 or the error code.
static DWORD OfferOnX11(const char* text) {
  if (!X11OfferText(&x11, text)) return ERROR_NOT_ENOUGH_MEMORY;
  if (!X11OwnsSelection(&x11) && !X11TakeSelection(&x11)) {
    X11OfferText(&x11, nullptr);
    return ERROR_ACCESS_DENIED;
  }
  return 0;
}

// Sets text as the Wayland selection and, where an X display is at hand and the
// compositor's bridge does not carry the clipboard to X11 programs (it does so only for
// the active X11 window, and taking the selection beside it would race it), as the X11
// selection too. 0 or the error code.
static DWORD OfferOnWayland(const char* text) {
  if (!WlTakeSelection(&wayland, text)) return ERROR_ACCESS_DENIED;
  if (x11.display == nullptr && (!IsSet("DISPLAY") || !X11Open(&x11))) return 0;
  if (!X11WindowActive(&x11) && OfferOnX11(text) == 0) {
    x11TakenAt = MonotonicMilliseconds();
  } else {
    X11Close(&x11);
  }
  return 0;
}

HANDLE WINAPI SetClipboardData(UINT format, HANDLE hMem) {
  if (!RequireOpen()) return nullptr;
  if (format != CF_TEXT || hMem == nullptr) {
    SetLastErrorCode(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  const char* text = (const char*)GlobalLock(hMem);
  if (text == nullptr) return nullptr;  // GlobalLock said why
  DWORD failure = desktop == DESKTOP_WAYLAND ? OfferOnWayland(text) : OfferOnX11(text);
  GlobalUnlock(hMem);
  if (failure != 0) {
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
  bool offered = (wayland.display != nullptr && wayland.owner && wayland.text.utf8 != nullptr) ||
                 (x11.display != nullptr && x11.owner && x11.hasText);
  if (offered) {
    // On a Wayland session the X11 clipboard manager is the compositor's own window
    // manager, never one that keeps texts: the keeper serves the X11 side there.
    KeepClipboard(&x11, &wayland, x11TakenAt, !waylandSession);
    ReleaseBlock(&ownBlock);  // the text lives in the keeper now
  }
  Disconnect();
  if (settingText) ReleaseSignals(&signalsBeforeSet);
  settingText = false;
  return TRUE;
}
