// Stand-in for USBPort.dll, the USB port library, for the Wine tests. One handheld,
// "PalmUSB0", is attached; its "USB link" is a Windows serial device of the test's choosing
// (USB_PORT: a pty behind a COM port), so that the simulated handheld can sit at its other
// end; without USB_PORT opens fail. Each call logs itself.
// Time-outs: the record's values are milliseconds; a receive ends when no byte has come
// for the receive value, or when nothing at all has come for 3 s; sends are not limited.
#include <string.h>

#include "standin.h"

#define DEVICE_NAME "PalmUSB0"

extern "C" {

LONG PALM_API PalmUsbGetAttachedDevices(DWORD* count, char* buffer, DWORD* size) {
  const DWORD listSize = sizeof DEVICE_NAME + 1;  // the name, its NUL and the list's
  LONG result = 0;
  if (buffer == nullptr || *size < listSize) {
    result = PALM_USB_BUFFER_TOO_SMALL;
  } else {
    memcpy(buffer, DEVICE_NAME "\0", listSize);
    *count = 1;
  }
  *size = listSize;
  StandInLog("PalmUsbGetAttachedDevices %s %lu -> %ld %lu", buffer ? "list" : "null",
             (unsigned long)*size, result, (unsigned long)(result == 0 ? *count : 0));
  return result;
}

HANDLE PALM_API PalmUsbOpenPort(const char* deviceName, DWORD option) {
  char device[MAX_PATH];
  HANDLE port = INVALID_HANDLE_VALUE;
  if (strcmp(deviceName, DEVICE_NAME) == 0 && StandInText("USB_PORT", device, sizeof device)) {
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
  serial.ReadTotalTimeoutConstant = 3000;
  LONG result = SetCommTimeouts(port, &serial) ? 0 : (LONG)GetLastError();
  StandInLog("PalmUsbSetTimeouts %lu %lu -> %ld", (unsigned long)timeouts->receiveTimeout,
             (unsigned long)timeouts->sendTimeout, result);
  return result;
}

LONG PALM_API PalmUsbReceiveBytes(HANDLE port, void* buffer, DWORD wanted, DWORD* received) {
  *received = 0;
  long result = ReadFile(port, buffer, wanted, received, nullptr) ? 0 : (long)GetLastError();
  StandInLog("PalmUsbReceiveBytes %lu -> %ld %lu", (unsigned long)wanted, result,
             (unsigned long)*received);
  return result;
}

LONG PALM_API PalmUsbSendBytes(HANDLE port, const void* buffer, DWORD count, DWORD* sent) {
  *sent = 0;
  long result = WriteFile(port, buffer, count, sent, nullptr) ? 0 : (long)GetLastError();
  StandInLog("PalmUsbSendBytes %lu -> %ld %lu", (unsigned long)count, result,
             (unsigned long)*sent);
  return result;
}

}  // extern "C"
