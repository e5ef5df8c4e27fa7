// USB port library (USBPort.dll) of the handheld's desktop software: finds the handheld
// on USB and moves bytes over it. Same calling convention as HSAPI.h: __stdcall,
// exported undecorated. Every call that returns a LONG returns 0 for success.
#ifndef QUILLET_PALM_USBPORT_H
#define QUILLET_PALM_USBPORT_H

#ifndef PALM_API
#ifdef _WIN32
#define PALM_API __stdcall
#else
#define PALM_API
#endif
#endif

// What PalmUsbGetAttachedDevices answers when the buffer is too small for the list.
#define PALM_USB_BUFFER_TOO_SMALL 8L

typedef struct PalmUsbTimeouts {
  DWORD receiveTimeout;
  DWORD sendTimeout;
} PalmUsbTimeouts;

extern "C" {

// With a buffer too small (or none): returns PALM_USB_BUFFER_TOO_SMALL and sets *size to
// the size needed. Otherwise returns 0, sets *count and fills the buffer with the device
// list, which begins with the first device's NUL-terminated name.
LONG PALM_API PalmUsbGetAttachedDevices(DWORD* count, char* buffer, DWORD* size);
// A handle (closed with CloseHandle), or INVALID_HANDLE_VALUE on failure.
HANDLE PALM_API PalmUsbOpenPort(const char* deviceName, DWORD option);
LONG PALM_API PalmUsbSetTimeouts(HANDLE port, PalmUsbTimeouts* timeouts);
LONG PALM_API PalmUsbReceiveBytes(HANDLE port, void* buffer, DWORD wanted, DWORD* received);
LONG PALM_API PalmUsbSendBytes(HANDLE port, const void* buffer, DWORD count, DWORD* sent);

}  // extern "C"

#endif  // QUILLET_PALM_USBPORT_H
