// Quillet, the transfer program: one run moves one text between the clipboard and the
// handheld, in the direction the handheld's command word names.
#ifndef QUILLET_TRANSFER_TRANSFER_H
#define QUILLET_TRANSFER_TRANSFER_H

#include "common/settings.h"

// ---- The link protocol -------------------------------------------------------------
#define COMMAND_SIZE 9        // a command word, no terminator
#define LENGTH_FIELD_SIZE 11  // the text's length as eleven zero-padded decimal digits
#define MAX_INCOMING_TEXT 32766
#define TRANSFER_BUFFER_SIZE 32768  // the receive buffer: the longest text and its NUL

#define SEND_COMMAND "Mivra-H2P"     // the handheld asks for the clipboard's text
#define RECEIVE_COMMAND "Mivra-P2H"  // the handheld announces a text for the clipboard

// ---- What the user sees --------------------------------------------------------------
#define EXIT_INVALID_SETTINGS 5
#define MESSAGE_CAPTION "Quillet"
#define MESSAGE_SETTINGS_UNSET "Registry values unset.\nRun SetQuillet from console!\n"
#define MESSAGE_SHUTDOWN_FAILED "Unable to shutdown HotSync Manager"
#define MESSAGE_SYNC_IN_PROGRESS "HotSync in progress"
#define MESSAGE_PORT_FAILED "Unable open to communication port"
#define MESSAGE_TIMEOUT "Timeout"
#define MESSAGE_INCOMPLETE_WRITE "Unable to write complete clipboard"
#define MESSAGE_RESTART_FAILED "Unable to restart HotSync Manager"
#define TONE_FREQUENCY 250  // Hz
#define TONE_DURATION 300   // ms

// The whole run; the result is the process exit code.
int RunTransfer(void);

// Shows text in a message box captioned "Quillet" with icon (MB_ICONHAND or
// MB_ICONEXCLAMATION) and waits for its OK.
void ShowMessage(const char* text, UINT icon);
// The success tone.
void SignalSuccess(void);
// The silent error hook: code 0 stands for the thread's last error.
void ReportSystemError(DWORD code);

// Host to handheld, after SEND_COMMAND.
void SendClipboard(PortId portId, HANDLE port);
// Handheld to host, after RECEIVE_COMMAND. Takes over the receive buffer: block, locked
// at buffer, is handed to the clipboard or released before it returns.
void ReceiveClipboard(PortId portId, HANDLE port, HGLOBAL block, char* buffer);

// CR LF to LF, in place; a lone CR or LF stays.
void StripCarriageReturns(char* text);
// LF to CR LF: returns a new unlocked block with the converted string and releases block,
// or returns block itself, unconverted, when no new block can be had.
HGLOBAL ExpandLineFeeds(HGLOBAL block);

// ---- Settings and ports --------------------------------------------------------------
#define PORT_STATUS_NO_PORT 1  // ReadPort/WritePort status for a PortId that names no port
#define USB_DEVICE_NAME_SIZE 256
#define USB_SEARCH_ATTEMPTS 20
#define USB_SEARCH_PAUSE 1000  // ms after each failed attempt
#define USB_TIMEOUT 50         // both values of the USB time-out record
#define SERIAL_READ_INTERVAL 1000
#define SERIAL_READ_CONSTANT 10000
#define SERIAL_WRITE_CONSTANT 1000

// The name of the handheld's USB device, as the last successful search found it.
extern char usbDeviceName[USB_DEVICE_NAME_SIZE];

// Reads the stored setting. *port changes only for a stored serial port. True when the
// setting names the USB link, or a serial port with a valid rate.
bool ReadSettings(PortId* port, DWORD* baudRate);

// Each returns the open port, or INVALID_HANDLE_VALUE.
HANDLE OpenPort(PortId portId, DWORD baudRate);
HANDLE OpenSerialPort(const char* name, DWORD baudRate);  // baudRate must be non-zero
HANDLE OpenUsbPort(void);
// Looks for an attached handheld and fills usbDeviceName; true once one is found.
bool WaitForUsbDevice(void);

// Both return 0 or an error code, and the bytes moved in *count (never more than n).
// buffer must hold n + 1 bytes: ReadPort ends what arrived with a NUL, WritePort stores a
// NUL at buffer[n] before it sends.
DWORD ReadPort(PortId portId, HANDLE handle, char* buffer, DWORD n, DWORD* count);
DWORD WritePort(PortId portId, HANDLE handle, char* buffer, DWORD n, DWORD* count);
void ClosePort(HANDLE handle);

#endif  // QUILLET_TRANSFER_TRANSFER_H
