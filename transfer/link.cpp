// The two directions of the link protocol: the clipboard's text to the handheld, and the
// handheld's text onto the clipboard.
#include <cstdio>
#include <cstring>

#include "transfer/transfer.h"

// Sends the length field and then the text (already LF-only, non-empty) in one write.
static void SendText(PortId portId, HANDLE port, char* text) {
  DWORD length = (DWORD)strlen(text);
  char field[LENGTH_FIELD_SIZE + 1];  // eleven digits and the NUL
  sprintf(field, "%011lu", (unsigned long)length);
  DWORD count = 0;
  DWORD status = WritePort(portId, port, field, LENGTH_FIELD_SIZE, &count);
  if (status != 0) {
    ReportSystemError(status);
    return;
  }
  if (count != LENGTH_FIELD_SIZE) return;

  status = WritePort(portId, port, text, length, &count);
  if (status != 0) {
    ReportSystemError(status);
  } else if (count != length) {
    ShowMessage(MESSAGE_INCOMPLETE_WRITE, MB_ICONHAND);
  } else {
    SignalSuccess();
  }
}

void SendClipboard(PortId portId, HANDLE port) {
  if (!IsClipboardFormatAvailable(CF_TEXT)) return;
  if (!OpenClipboard(nullptr)) return;
  HANDLE data = GetClipboardData(CF_TEXT);
  if (data == nullptr) {
    ReportSystemError(0);
    CloseClipboard();
    return;
  }
  const char* clipboardText = (const char*)GlobalLock(data);
  if (clipboardText == nullptr) {
    CloseClipboard();
    return;
  }
  // The clipboard's text belongs to every program on the desktop: convert a private copy.
  // The copy also has room for the NUL that WritePort stores after the text.
  size_t size = strlen(clipboardText) + 1;
  HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, size);
  char* text = copy ? (char*)GlobalLock(copy) : nullptr;
  if (text != nullptr) {
    memcpy(text, clipboardText, size);
    StripCarriageReturns(text);
    if (text[0] != '\0') SendText(portId, port, text);
    GlobalUnlock(copy);
  }
  if (copy) GlobalFree(copy);
  // The clipboard stays open, its text locked, until the exchange is over.
  GlobalUnlock(data);
  CloseClipboard();
}

// Reads the length field and the text into buffer. True when a text (at least one byte)
// has arrived.
static bool ReceiveText(PortId portId, HANDLE port, char* buffer) {
  DWORD count = 0;
  DWORD status = ReadPort(portId, port, buffer, LENGTH_FIELD_SIZE, &count);
  if (status != 0) {
    ReportSystemError(status);
    return false;
  }
  if (count != LENGTH_FIELD_SIZE) return false;
  buffer[LENGTH_FIELD_SIZE] = '\0';
  int32_t length = ParseDecimal(buffer);
  if (length <= 0 || length > MAX_INCOMING_TEXT) return false;

  // One read: what did not arrive in time is not waited for again.
  status = ReadPort(portId, port, buffer, (DWORD)length, &count);
  if (status != 0) {
    ReportSystemError(status);
    return false;
  }
  return count > 0;
}

void ReceiveClipboard(PortId portId, HANDLE port, HGLOBAL block, char* buffer) {
  if (!ReceiveText(portId, port, buffer) || !OpenClipboard(nullptr)) {
    GlobalUnlock(block);
    GlobalFree(block);
    return;
  }
  EmptyClipboard();
  GlobalUnlock(block);
  HGLOBAL text = ExpandLineFeeds(block);
  // A block the clipboard accepted is the clipboard's from now on. One it refused is
  // still ours, and the tone would tell the user of a text that is not there.
  bool handedOver = SetClipboardData(CF_TEXT, text) != nullptr;
  if (!handedOver) GlobalFree(text);
  CloseClipboard();
  if (handedOver) SignalSuccess();
}
