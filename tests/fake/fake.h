// The scripted fake platform: the subset of platform/winapi.h, in memory, on a virtual
// clock, with every call logged and any call made to fail. Tests script it through this
// header and inspect what the programs did.
#ifndef QUILLET_TESTS_FAKE_H
#define QUILLET_TESTS_FAKE_H

#include <map>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace fake {

// ---- Log, clock, failure injection ------------------------------------------------------
struct Call {
  std::string text;  // "Name(arguments)", strings quoted with C escapes; " -> failed" appended
  DWORD time;        // virtual ms when the call began
};

void Reset();  // everything back to an empty machine at time 0
DWORD Now();
const std::vector<Call>& Log();
// The log's texts that begin with prefix, in order.
std::vector<std::string> Calls(const std::string& prefix = "");

// Only calls that can fail are numbered (Sleep, GetLastError, OutputDebugStringA cannot).
// A failing call sets the last error to code (registry calls return it instead) and
// returns its failure value. A failed release still releases, so that a sweep checks that
// the program asked for the release, not what a system does with a handle it refused.
int FallibleCalls();
void FailNthCall(int n, DWORD code);
void FailCall(const std::string& function, int occurrence, DWORD code);

// Breaches of the Windows rules the fake noticed: use of a closed or freed handle, double
// release, a key, port or clipboard closed out of nesting order, a block overrun.
const std::vector<std::string>& Violations();
// Keys, ports and the clipboard still open, innermost last.
const std::vector<std::string>& OpenResources();

// ---- Registry (the current user's tree; key paths like "Software\\Dorvane") -----------
struct Value {
  DWORD type;
  std::string data;
};
void SetValue(const std::string& key, const std::string& name, DWORD type,
              const std::string& data);  // creates the key path
void SetDword(const std::string& key, const std::string& name, DWORD value);
const Value* GetValue(const std::string& key, const std::string& name);
bool KeyExists(const std::string& key);

// ---- Ports ------------------------------------------------------------------------------
struct Line {
  std::string incoming;          // what the peer sends, in order
  std::vector<DWORD> arrival;    // virtual time at which each incoming byte arrives
  size_t consumed = 0;           // incoming bytes already read
  std::string written;           // every byte the program sent, in order
  DWORD writeCapacity = 0xFFFFFFFF;  // bytes the peer takes before writes time out
  DCB dcb{};                     // serial state as GetCommState reports it
  COMMTIMEOUTS timeouts{};       // as last set; USB: the record's values scaled to ms
  bool open = false;
  // The peer sends bytes at virtual time at.
  void Send(DWORD at, const std::string& bytes);
};
Line& AddSerialPort(const std::string& name);  // "com1" ... with a non-8N1 initial state
Line* FindSerialPort(const std::string& name);
Line& UsbLine();
// The device list appears from the fromQuery-th PalmUsbGetAttachedDevices call on.
void AttachUsb(const std::string& list, DWORD count, int fromQuery = 1);
#define FAKE_USB_TIMEOUT_UNIT 100  // ms per unit of the USB time-out record

// ---- Clipboard and movable memory -------------------------------------------------------
void SetClipboardText(const std::string& text);  // a clipboard-owned block: text and NUL
bool ClipboardHasText();
std::string ClipboardBytes();  // the whole CF_TEXT block
int LiveBlocks();    // allocated, not freed, not the clipboard's
int LockedBlocks();  // any block with a lock count above 0

// ---- Feedback, HotSync, error texts -----------------------------------------------------
extern DWORD messageOkDelay;  // virtual ms the user takes to press OK
struct HotSync {
  LONG apiStatus = 0;  // HsCheckApiStatus's answer
  DWORD syncState = 0;
};
// While stopped by a successful HsSetAppStatus(0, 0), HotSync Manager is listed among
// OpenResources() as "HotSync Manager stopped", and HsSetAppStatus(1, 0) closes it.
HotSync& Hs();
int LiveErrorTexts();  // FormatMessageA buffers not yet given to LocalFree

}  // namespace fake

#endif  // QUILLET_TESTS_FAKE_H
