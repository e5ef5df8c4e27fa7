// The handheld's desktop libraries: HotSync Manager control and the USB port.
//
// Contract kept: every LONG result is 0 for success, else a code (the last error is left
// alone). HsSetAppStatus(0, 0) stops HotSync Manager, (1, 0) starts it. With no buffer or
// too small a one PalmUsbGetAttachedDevices returns 8 and the size needed; with no device
// attached the list is empty, so it returns 0 with count 0. PalmUsbOpenPort opens the
// device whose name begins the list, once at a time. The time-out record's values count
// in FAKE_USB_TIMEOUT_UNIT ms; a receive waits that long for the first byte and between
// bytes, and a time-out is success with a short count, as on a serial port.
#include "internal.h"

namespace fake {

namespace {
HotSync hotSync;
std::string usbList;
DWORD usbCount = 0;
int usbFromQuery = 0;  // 0: never attached
int usbQueries = 0;

bool UsbVisible() { return usbFromQuery > 0 && usbQueries >= usbFromQuery; }

void SetUsbTimeouts(DWORD receive, DWORD send) {
  COMMTIMEOUTS& t = UsbLine().timeouts;
  t = COMMTIMEOUTS{};
  t.ReadIntervalTimeout = t.ReadTotalTimeoutConstant = receive * FAKE_USB_TIMEOUT_UNIT;
  t.WriteTotalTimeoutConstant = send * FAKE_USB_TIMEOUT_UNIT;
}
}  // namespace

void ResetPalm() {
  hotSync = HotSync();
  usbList.clear();
  usbCount = 0;
  usbFromQuery = usbQueries = 0;
}

HotSync& Hs() { return hotSync; }

void AttachUsb(const std::string& list, DWORD count, int fromQuery) {
  usbList = list;
  usbCount = count;
  usbFromQuery = fromQuery;
}

}  // namespace fake

using namespace fake;

extern "C" {

LONG PALM_API HsCheckApiStatus(void) {
  DWORD code = Enter("HsCheckApiStatus", "%s", "");
  return code ? (LONG)code : hotSync.apiStatus;
}

LONG PALM_API HsGetSyncStatus(DWORD* syncState) {
  if (DWORD code = Enter("HsGetSyncStatus", "%s", "")) return (LONG)code;
  *syncState = hotSync.syncState;
  return 0;
}

LONG PALM_API HsSetAppStatus(DWORD state, DWORD flags) {
  DWORD fail = Enter("HsSetAppStatus", "%u, %u", state, flags);
  if (flags != 0 || state > HS_APP_STATUS_RESTART) {
    Violation(Format("HsSetAppStatus(%u, %u)", state, flags));
    return ERROR_INVALID_PARAMETER;
  }
  // A stopped HotSync Manager nests like an open resource: what the run opened after
  // stopping it must be closed before it starts again. A failed restart still counts.
  if (state == HS_APP_STATUS_RESTART) {
    Closed("HotSync Manager stopped");
  } else if (!fail) {
    Opened("HotSync Manager stopped");
  }
  return (LONG)fail;
}

LONG PALM_API PalmUsbGetAttachedDevices(DWORD* count, char* buffer, DWORD* size) {
  ++usbQueries;
  if (DWORD code = Enter("PalmUsbGetAttachedDevices", "%s, %u", buffer ? "buffer" : "null",
                         *size))
    return (LONG)code;
  std::string list = UsbVisible() ? usbList : "";
  if (list.size() > *size || (buffer == nullptr && !list.empty())) {
    *size = (DWORD)list.size();
    return PALM_USB_BUFFER_TOO_SMALL;
  }
  if (buffer) memcpy(buffer, list.data(), list.size());
  *size = (DWORD)list.size();
  *count = UsbVisible() ? usbCount : 0;
  return 0;
}

HANDLE PALM_API PalmUsbOpenPort(const char* deviceName, DWORD option) {
  if (Enter("PalmUsbOpenPort", "%s, %u", Quote(deviceName).c_str(), option))
    return INVALID_HANDLE_VALUE;
  std::string name = usbList.substr(0, usbList.find('\0'));
  if (!UsbVisible() || UsbLine().open || name != deviceName) return INVALID_HANDLE_VALUE;
  SetUsbTimeouts(50, 50);  // the library's own until the program sets its
  return OpenLine(UsbLine(), "usb");
}

LONG PALM_API PalmUsbSetTimeouts(HANDLE port, PalmUsbTimeouts* timeouts) {
  if (DWORD code = Enter("PalmUsbSetTimeouts", "%s, %u, %u", LineName(port).c_str(),
                         timeouts->receiveTimeout, timeouts->sendTimeout))
    return (LONG)code;
  if (FindLine(port, "PalmUsbSetTimeouts") == nullptr) return ERROR_INVALID_HANDLE;
  SetUsbTimeouts(timeouts->receiveTimeout, timeouts->sendTimeout);
  return 0;
}

LONG PALM_API PalmUsbReceiveBytes(HANDLE port, void* buffer, DWORD wanted, DWORD* received) {
  *received = 0;
  if (DWORD code = Enter("PalmUsbReceiveBytes", "%s, %u", LineName(port).c_str(), wanted))
    return (LONG)code;
  Line* line = FindLine(port, "PalmUsbReceiveBytes");
  if (line == nullptr) return ERROR_INVALID_HANDLE;
  *received = LineRead(*line, (char*)buffer, wanted);
  return 0;
}

LONG PALM_API PalmUsbSendBytes(HANDLE port, const void* buffer, DWORD count, DWORD* sent) {
  *sent = 0;
  if (DWORD code = Enter("PalmUsbSendBytes", "%s, %s", LineName(port).c_str(),
                         Quote((const char*)buffer, count).c_str()))
    return (LONG)code;
  Line* line = FindLine(port, "PalmUsbSendBytes");
  if (line == nullptr) return ERROR_INVALID_HANDLE;
  *sent = LineWrite(*line, (const char*)buffer, count);
  return 0;
}

}  // extern "C"
