// What the fake's platform areas share: the call gate, the nesting check, the clock and
// the line model. Not for tests; they use fake.h.
#ifndef QUILLET_TESTS_FAKE_INTERNAL_H
#define QUILLET_TESTS_FAKE_INTERNAL_H

#include <algorithm>
#include <cstring>
#include <string>

#include "fake.h"

namespace fake {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Quote(const char* bytes, size_t n);  // "..." with C escapes; null -> null
std::string Quote(const char* text);

// Logs a call that can fail, its arguments formatted; the code it must fail with (never
// 0), or 0.
DWORD Enter(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Note(const char* name, const std::string& args);  // logs a call that cannot fail
void SetError(DWORD code);
void Violation(const std::string& what);
void Advance(DWORD ms);

// Keys, ports and the clipboard nest: each close must close the innermost open one.
void Opened(const std::string& what);
void Closed(const std::string& what);

// Reads up to n bytes under the COMMTIMEOUTS rules of line.timeouts, advancing the clock;
// writes up to n bytes, taking the write time-out when the peer takes fewer.
DWORD LineRead(Line& line, char* buffer, DWORD n);
DWORD LineWrite(Line& line, const char* buffer, DWORD n);

// Port handles, shared by the serial and the USB calls.
HANDLE OpenLine(Line& line, const std::string& name);
Line* FindLine(HANDLE handle, const char* who);  // null (and a violation) when not open
std::string LineName(HANDLE handle);

// Movable blocks, shared with the clipboard.
HGLOBAL NewBlock(const std::string& bytes, bool clipboards);
bool IsBlock(HGLOBAL handle);
void GiveToClipboard(HGLOBAL handle, bool clipboards);
void FreeBlock(HGLOBAL handle, const char* who);
std::string BlockBytes(HGLOBAL handle);
int BlockLocks(HGLOBAL handle);
std::string BlockName(HGLOBAL handle);

void ResetRegistry();
void ResetPorts();
void ResetClipboard();
void ResetMemory();
void ResetFeedback();
void ResetPalm();

}  // namespace fake

#endif  // QUILLET_TESTS_FAKE_INTERNAL_H
