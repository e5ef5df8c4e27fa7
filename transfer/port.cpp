// The stored setting and the port layer: com1 to com8 through the serial API, the
// handheld's USB link through the USB port library.
#include <cstring>

#include "transfer/transfer.h"

char usbDeviceName[USB_DEVICE_NAME_SIZE];

bool ReadSettings(PortId* port, DWORD* baudRate) {
  DWORD storedPort = 0;  // an unreadable Port counts as 0
  SettingsKeys keys;
  LONG status = OpenSettingsKeys(&keys, false);
  if (status != ERROR_SUCCESS) {
    ReportSystemError((DWORD)status);
  } else {
    HKEY key = keys.keys[SETTINGS_KEY_DEPTH];
    // A failed query may leave part of a longer value behind: such a value counts as
    // unread, never as a setting.
    status = QuerySettingsValue(key, PORT_VALUE_NAME, &storedPort);
    if (status != ERROR_SUCCESS) {
      storedPort = 0;
      ReportSystemError((DWORD)status);
    }
    DWORD storedRate = *baudRate;
    status = QuerySettingsValue(key, BAUDRATE_VALUE_NAME, &storedRate);
    if (status != ERROR_SUCCESS) {
      ReportSystemError((DWORD)status);
    } else {
      *baudRate = storedRate;
    }
  }
  CloseSettingsKeys(&keys, ReportSystemError);

  if (IsSerialPort(storedPort)) {
    *port = storedPort;
    return IsValidBaudRate(*baudRate);
  }
  return storedPort == PORT_USB;
}

HANDLE OpenPort(PortId portId, DWORD baudRate) {
  if (IsSerialPort(portId)) {
    char name[] = "com0";
    name[3] = (char)('0' + portId);
    return OpenSerialPort(name, baudRate);
  }
  if (portId == PORT_USB) return OpenUsbPort();
  return INVALID_HANDLE_VALUE;
}

// 8N1 at baudRate, and the time-outs: at most 10 s for a read plus m ms a byte, 1 s
// between two bytes; at most 1 s for a write plus m ms a byte.
static bool ConfigureSerialPort(HANDLE port, DWORD baudRate) {
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) return false;
  dcb.BaudRate = baudRate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  if (!SetCommState(port, &dcb)) return false;

  DWORD perByte = 10000 / baudRate + 1;
  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = SERIAL_READ_INTERVAL;
  timeouts.ReadTotalTimeoutMultiplier = perByte;
  timeouts.ReadTotalTimeoutConstant = SERIAL_READ_CONSTANT;
  timeouts.WriteTotalTimeoutMultiplier = perByte;
  timeouts.WriteTotalTimeoutConstant = SERIAL_WRITE_CONSTANT;
  return SetCommTimeouts(port, &timeouts) != FALSE;
}

HANDLE OpenSerialPort(const char* name, DWORD baudRate) {
  HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    ReportSystemError(0);
    return INVALID_HANDLE_VALUE;
  }
  if (!ConfigureSerialPort(port, baudRate)) {
    ReportSystemError(0);  // before CloseHandle can change the last error
    CloseHandle(port);
    return INVALID_HANDLE_VALUE;
  }
  return port;
}

HANDLE OpenUsbPort(void) {
  WaitForUsbDevice();  // the open is tried whether or not a device turned up
  HANDLE port = PalmUsbOpenPort(usbDeviceName, 0);
  if (port == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  PalmUsbTimeouts timeouts = {USB_TIMEOUT, USB_TIMEOUT};
  PalmUsbSetTimeouts(port, &timeouts);
  return port;
}

// Takes the first name of a device list that the library reported as size bytes in a
// block of capacity bytes. A list of more than 254 bytes leaves the name empty; the copy
// never reads past the block nor writes past usbDeviceName.
static void TakeDeviceName(const char* list, DWORD capacity, DWORD size) {
  usbDeviceName[0] = '\0';
  if (size > USB_DEVICE_NAME_SIZE - 2) return;
  DWORD limit = capacity < USB_DEVICE_NAME_SIZE - 1 ? capacity : USB_DEVICE_NAME_SIZE - 1;
  DWORD i = 0;
  for (; i < limit && list[i] != '\0'; ++i) usbDeviceName[i] = list[i];
  usbDeviceName[i] = '\0';
}

// One attempt of the search: true when the library lists at least one device.
static bool FindUsbDevice(void) {
  DWORD count = 0;
  DWORD size = 0;
  if (PalmUsbGetAttachedDevices(&count, nullptr, &size) != PALM_USB_BUFFER_TOO_SMALL) {
    return false;
  }
  DWORD capacity = size;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, capacity);
  if (block == nullptr) return false;
  bool found = false;
  char* list = (char*)GlobalLock(block);
  if (list != nullptr) {
    if (PalmUsbGetAttachedDevices(&count, list, &size) == 0 && count != 0) {
      TakeDeviceName(list, capacity, size);
      found = true;
    }
    GlobalUnlock(block);
  }
  GlobalFree(block);
  return found;
}

bool WaitForUsbDevice(void) {
  for (int attempt = 0; attempt < USB_SEARCH_ATTEMPTS; ++attempt) {
    if (FindUsbDevice()) return true;
    Sleep(USB_SEARCH_PAUSE);
  }
  return false;
}

// A library that claims more bytes than were asked for never moves the NUL out of the
// buffer.
static DWORD Bounded(DWORD count, DWORD n) { return count > n ? n : count; }

DWORD ReadPort(PortId portId, HANDLE handle, char* buffer, DWORD n, DWORD* count) {
  DWORD status = PORT_STATUS_NO_PORT;
  *count = 0;
  if (IsSerialPort(portId)) {
    status = ReadFile(handle, buffer, n, count, nullptr) ? 0 : GetLastError();
  } else if (portId == PORT_USB) {
    status = (DWORD)PalmUsbReceiveBytes(handle, buffer, n, count);
  }
  *count = Bounded(*count, n);
  buffer[*count] = '\0';
  return status;
}

DWORD WritePort(PortId portId, HANDLE handle, char* buffer, DWORD n, DWORD* count) {
  buffer[n] = '\0';
  DWORD status = PORT_STATUS_NO_PORT;
  *count = 0;
  if (IsSerialPort(portId)) {
    status = WriteFile(handle, buffer, n, count, nullptr) ? 0 : GetLastError();
  } else if (portId == PORT_USB) {
    status = (DWORD)PalmUsbSendBytes(handle, buffer, n, count);
  }
  *count = Bounded(*count, n);
  return status;
}

void ClosePort(HANDLE handle) { CloseHandle(handle); }
