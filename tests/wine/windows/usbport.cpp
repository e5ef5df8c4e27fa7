// Stand-in for USBPort.dll, the USB port library, for the Wine tests. The "USB link" is a
// Windows serial device of the test's choosing (a pty behind a COM port), so that the
// simulated handheld can sit at its other end. Each call logs itself; the answers:
//   USB_DEVICES       names of the attached devices, separated by '|' (default PalmUSB0)
//   USB_ATTACH        the search attempt (0, 1, ...) from which on they are attached, -1
//                     for never (default 0); an attempt begins with a size query
//   USB_LIST_SIZE     the list size reported, when not the true one
//   USB_PORT          the device that carries the link (COM2, say); unset: opens fail
//   USB_RECEIVE_FAIL  "n:code": the n-th receive returns code and reads nothing
//   USB_SEND_FAIL     "n:code": the n-th send returns code and sends nothing
//   USB_SEND_SHORT    "n:bytes": the n-th send sends only so many bytes and says so
// Time-outs: the record's values are milliseconds; a receive ends when no byte has come
// for the receive value, or when nothing at all has come for USB_FIRST_BYTE_MS (default
// 3000); the handle does not limit sends.
#include <string.h>

#include "standin.h"

static int searchAttempts = 0;
static int receives = 0;
static int sends = 0;

// The attached devices' list: names, each ending with a NUL, and one more NUL at the end.
static DWORD DeviceList(char* list, DWORD capacity, DWORD* count) {
  char names[256];
  if (!StandInText("USB_DEVICES", names, sizeof names)) strcpy(names, "PalmUSB0");
  *count = 0;
  DWORD size = 0;
  for (char* name = strtok(names, "|"); name != nullptr; name = strtok(nullptr, "|")) {
    DWORD length = (DWORD)strlen(name) + 1;
    if (size + length < capacity) memcpy(list + size, name, length);
    size += length;
    ++*count;
  }
  if (size < capacity) list[size] = '\0';
  return size + 1;
}

static bool Attached(void) {
  long from = StandInNumber("USB_ATTACH", 0);
  return from >= 0 && searchAttempts - 1 >= from;
}

extern "C" {

LONG PALM_API PalmUsbGetAttachedDevices(DWORD* count, char* buffer, DWORD* size) {
  if (buffer == nullptr) ++searchAttempts;
  char list[512];
  DWORD listCount = 0;
  DWORD listSize = 2;  // an empty list: its final NUL and one more
  memset(list, 0, sizeof list);
  if (Attached()) listSize = DeviceList(list, sizeof list, &listCount);
  DWORD reported = (DWORD)StandInNumber("USB_LIST_SIZE", (long)listSize);
  LONG result = 0;
  if (buffer == nullptr || *size < reported) {
    result = PALM_USB_BUFFER_TOO_SMALL;
  } else {
    memcpy(buffer, list, listSize < *size ? listSize : *size);
    *count = listCount;
  }
  *size = reported;
  StandInLog("PalmUsbGetAttachedDevices %s %lu -> %ld %lu", buffer ? "list" : "null",
             (unsigned long)*size, result, (unsigned long)(result == 0 ? *count : 0));
  return result;
}

// Opens the link for a name that the list holds.
HANDLE PALM_API PalmUsbOpenPort(const char* deviceName, DWORD option) {
  char names[256];
  if (!StandInText("USB_DEVICES", names, sizeof names)) strcpy(names, "PalmUSB0");
  bool known = false;
  for (char* name = strtok(names, "|"); name != nullptr; name = strtok(nullptr, "|")) {
    if (strcmp(name, deviceName) == 0) known = true;
  }
  char device[MAX_PATH];
  HANDLE port = INVALID_HANDLE_VALUE;
  if (known && Attached() && StandInText("USB_PORT", device, sizeof device)) {
    port = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
  }
  StandInLog("PalmUsbOpenPort \"%s\" %lu -> %s", deviceName, (unsigned long)option,
             port == INVALID_HANDLE_VALUE ? "fail" : "open");
  return port;
}

LONG PALM_API PalmUsbSetTimeouts(HANDLE port, PalmUsbTimeouts* timeouts) {
  COMMTIMEOUTS serial;
  memset(&serial, 0, sizeof serial);
  serial.ReadIntervalTimeout = timeouts->receiveTimeout;
  serial.ReadTotalTimeoutConstant = (DWORD)StandInNumber("USB_FIRST_BYTE_MS", 3000);
  LONG result = SetCommTimeouts(port, &serial) ? 0 : (LONG)GetLastError();
  StandInLog("PalmUsbSetTimeouts %lu %lu -> %ld", (unsigned long)timeouts->receiveTimeout,
             (unsigned long)timeouts->sendTimeout, result);
  return result;
}

LONG PALM_API PalmUsbReceiveBytes(HANDLE port, void* buffer, DWORD wanted, DWORD* received) {
  long result = 0;
  *received = 0;
  if (!StandInForCall("USB_RECEIVE_FAIL", ++receives, &result)) {
    result = ReadFile(port, buffer, wanted, received, nullptr) ? 0 : (long)GetLastError();
  }
  StandInLog("PalmUsbReceiveBytes %lu -> %ld %lu", (unsigned long)wanted, result,
             (unsigned long)*received);
  return result;
}

LONG PALM_API PalmUsbSendBytes(HANDLE port, const void* buffer, DWORD count, DWORD* sent) {
  long result = 0;
  long shortCount = 0;
  *sent = 0;
  ++sends;
  if (!StandInForCall("USB_SEND_FAIL", sends, &result)) {
    DWORD n = StandInForCall("USB_SEND_SHORT", sends, &shortCount) ? (DWORD)shortCount : count;
    result = WriteFile(port, buffer, n, sent, nullptr) ? 0 : (long)GetLastError();
  }
  StandInLog("PalmUsbSendBytes %lu -> %ld %lu", (unsigned long)count, result,
             (unsigned long)*sent);
  return result;
}

}  // extern "C"
