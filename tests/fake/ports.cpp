// Serial ports com1 to com8 and the line model the USB port shares, by the contract cases'
// rules (tests/contract) on the virtual clock. CloseHandle closes serial and USB alike.
#include "internal.h"

namespace fake {

namespace {
std::map<std::string, Line> serial;
Line usb;
struct PortHandle {
  Line* line;
  std::string name;
  bool open;
};
std::vector<PortHandle> handles;
}  // namespace

void Line::Send(DWORD at, const std::string& bytes) {
  incoming += bytes;
  arrival.insert(arrival.end(), bytes.size(), at);
}

void ResetPorts() {
  serial.clear();
  usb = Line();
  handles.clear();
}

Line& AddSerialPort(const std::string& name) {
  Line& line = serial[name];
  line = Line();
  // A state unlike 8N1, so that a test sees which fields the program set.
  DCB& dcb = line.dcb;
  dcb.DCBlength = sizeof(DCB), dcb.BaudRate = 1200, dcb.ByteSize = 7, dcb.Parity = 2;
  dcb.StopBits = 2, dcb.fBinary = 1, dcb.fOutxCtsFlow = 1, dcb.fRtsControl = 2;
  dcb.XonLim = 2048, dcb.XoffChar = 0x13;
  return line;
}

Line* FindSerialPort(const std::string& name) {
  auto found = serial.find(name);
  return found == serial.end() ? nullptr : &found->second;
}

Line& UsbLine() { return usb; }

HANDLE OpenLine(Line& line, const std::string& name) {
  line.open = true;
  handles.push_back({&line, name, true});
  Opened("port " + name);
  return (HANDLE)(uintptr_t)(0x20000 + handles.size() - 1);
}

Line* FindLine(HANDLE handle, const char* who) {
  size_t index = (uintptr_t)handle - 0x20000;
  if (index < handles.size() && handles[index].open) return handles[index].line;
  Violation(Format("%s: port handle %p not open", who, handle));
  return nullptr;
}

std::string LineName(HANDLE handle) {
  size_t index = (uintptr_t)handle - 0x20000;
  return index < handles.size() ? handles[index].name : Format("%p", handle);
}

DWORD LineRead(Line& line, char* buffer, DWORD n) {
  const COMMTIMEOUTS& t = line.timeouts;
  const DWORD never = 0xFFFFFFFF;
  bool totalSet = t.ReadTotalTimeoutConstant || t.ReadTotalTimeoutMultiplier;
  DWORD deadline = totalSet ? Now() + t.ReadTotalTimeoutConstant + n * t.ReadTotalTimeoutMultiplier
                            : never;
  DWORD time = Now();
  DWORD got = 0;
  for (; got < n && line.consumed < line.incoming.size(); ++got) {
    DWORD arrives = std::max(line.arrival[line.consumed], time);
    DWORD limit = deadline;
    if (got > 0 && t.ReadIntervalTimeout) limit = std::min(limit, time + t.ReadIntervalTimeout);
    if (arrives > limit) break;
    buffer[got] = line.incoming[line.consumed++];
    time = arrives;
  }
  if (got < n) {  // timed out, or waits for bytes that never come
    DWORD end = deadline;
    if (got > 0 && t.ReadIntervalTimeout) end = std::min(end, time + t.ReadIntervalTimeout);
    if (end == never) Violation("read without time-out would block forever");
    time = end == never ? time : end;
  }
  Advance(time - Now());
  return got;
}

DWORD LineWrite(Line& line, const char* buffer, DWORD n) {
  DWORD room = line.writeCapacity - std::min<DWORD>(line.writeCapacity, line.written.size());
  DWORD taken = std::min(n, room);
  line.written.append(buffer, taken);
  if (taken < n) {
    Advance(line.timeouts.WriteTotalTimeoutConstant + n * line.timeouts.WriteTotalTimeoutMultiplier);
  }
  return taken;
}

}  // namespace fake

using namespace fake;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (DWORD code = Enter("CreateFileA", "%s, 0x%X, %u, %s, %u, %u, %s",
                         Quote(lpFileName).c_str(), dwDesiredAccess, dwShareMode,
                         lpSecurityAttributes ? "sa" : "null", dwCreationDisposition,
                         dwFlagsAndAttributes, hTemplateFile ? "template" : "null"))
    return SetError(code), INVALID_HANDLE_VALUE;
  Line* line = FindSerialPort(lpFileName);
  if (line == nullptr || dwCreationDisposition != OPEN_EXISTING) {
    return SetError(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  }
  if (line->open) return SetError(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
  return OpenLine(*line, lpFileName);
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (DWORD code = Enter("GetCommState", "%s", LineName(hFile).c_str()))
    return SetError(code), FALSE;
  Line* line = FindLine(hFile, "GetCommState");
  if (line == nullptr) return SetError(ERROR_INVALID_HANDLE), FALSE;
  *lpDCB = line->dcb;
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (DWORD code = Enter("SetCommState", "%s, %u", LineName(hFile).c_str(), lpDCB->BaudRate))
    return SetError(code), FALSE;
  Line* line = FindLine(hFile, "SetCommState");
  if (line == nullptr) return SetError(ERROR_INVALID_HANDLE), FALSE;
  line->dcb = *lpDCB;
  return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS t) {
  if (DWORD code = Enter("SetCommTimeouts", "%s, %u, %u, %u, %u, %u", LineName(hFile).c_str(),
                         t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier,
                         t->ReadTotalTimeoutConstant, t->WriteTotalTimeoutMultiplier,
                         t->WriteTotalTimeoutConstant))
    return SetError(code), FALSE;
  Line* line = FindLine(hFile, "SetCommTimeouts");
  if (line == nullptr) return SetError(ERROR_INVALID_HANDLE), FALSE;
  line->timeouts = *t;
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  *lpNumberOfBytesRead = 0;
  if (DWORD code = Enter("ReadFile", "%s, %u%s", LineName(hFile).c_str(), nNumberOfBytesToRead,
                         lpOverlapped ? ", overlapped" : ""))
    return SetError(code), FALSE;
  Line* line = FindLine(hFile, "ReadFile");
  if (line == nullptr) return SetError(ERROR_INVALID_HANDLE), FALSE;
  *lpNumberOfBytesRead = LineRead(*line, (char*)lpBuffer, nNumberOfBytesToRead);
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  *lpNumberOfBytesWritten = 0;
  if (DWORD code = Enter("WriteFile", "%s, %s%s", LineName(hFile).c_str(),
                         Quote((const char*)lpBuffer, nNumberOfBytesToWrite).c_str(),
                         lpOverlapped ? ", overlapped" : ""))
    return SetError(code), FALSE;
  Line* line = FindLine(hFile, "WriteFile");
  if (line == nullptr) return SetError(ERROR_INVALID_HANDLE), FALSE;
  *lpNumberOfBytesWritten = LineWrite(*line, (const char*)lpBuffer, nNumberOfBytesToWrite);
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  DWORD fail = Enter("CloseHandle", "%s", LineName(hObject).c_str());
  Line* line = FindLine(hObject, "CloseHandle");
  if (line == nullptr) return SetError(ERROR_INVALID_HANDLE), FALSE;
  line->open = false;
  handles[(uintptr_t)hObject - 0x20000].open = false;
  Closed("port " + LineName(hObject));
  return fail ? (SetError(fail), FALSE) : TRUE;
}

}  // extern "C"
