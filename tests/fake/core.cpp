// The fake's core: call log, virtual clock (only Sleep and the calls that block on Windows
// advance it), last error, failure injection and the nesting check.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "internal.h"

namespace fake {

namespace {
std::vector<Call> log;
std::vector<std::string> violations;
std::vector<std::string> openResources;
DWORD now = 0;
DWORD lastError = 0;
int fallible = 0;
std::map<std::string, int> occurrences;
int failNth = 0;
DWORD failNthCode = 0;
std::string failFunction;
int failOccurrence = 0;
DWORD failFunctionCode = 0;
}  // namespace

void Reset() {
  log.clear();
  violations.clear();
  openResources.clear();
  now = lastError = 0;
  fallible = failNth = failOccurrence = 0;
  occurrences.clear();
  failFunction.clear();
  ResetRegistry();
  ResetPorts();
  ResetMemory();
  ResetClipboard();
  ResetFeedback();
  ResetPalm();
}

DWORD Now() { return now; }
const std::vector<Call>& Log() { return log; }
const std::vector<std::string>& Violations() { return violations; }
const std::vector<std::string>& OpenResources() { return openResources; }
int FallibleCalls() { return fallible; }

std::vector<std::string> Calls(const std::string& prefix) {
  std::vector<std::string> texts;
  for (const Call& call : log) {
    if (call.text.compare(0, prefix.size(), prefix) == 0) texts.push_back(call.text);
  }
  return texts;
}

void FailNthCall(int n, DWORD code) { failNth = n, failNthCode = code; }

void FailCall(const std::string& function, int occurrence, DWORD code) {
  failFunction = function, failOccurrence = occurrence, failFunctionCode = code;
}

std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string Quote(const char* bytes, size_t n) {
  if (bytes == nullptr) return "null";
  std::string quoted = "\"";
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = (unsigned char)bytes[i];
    if (c == '\n') {
      quoted += "\\n";
    } else if (c == '\r') {
      quoted += "\\r";
    } else if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += (char)c;
    } else if (c < 0x20 || c >= 0x7F) {
      quoted += Format("\\x%02X", c);
    } else {
      quoted += (char)c;
    }
  }
  return quoted + "\"";
}

std::string Quote(const char* text) { return Quote(text, text ? strlen(text) : 0); }

DWORD Enter(const char* name, const char* format, ...) {
  char args[512];
  va_list list;
  va_start(list, format);
  vsnprintf(args, sizeof args, format, list);
  va_end(list);
  log.push_back({std::string(name) + "(" + args + ")", now});
  int occurrence = ++occurrences[name];
  DWORD code = ++fallible == failNth ? failNthCode
               : failFunction == name && occurrence == failOccurrence ? failFunctionCode
               : 0;
  if (code != 0) log.back().text += " -> failed";
  return code;
}

void Note(const char* name, const std::string& args) {
  log.push_back({std::string(name) + "(" + args + ")", now});
}

void SetError(DWORD code) { lastError = code; }
void Violation(const std::string& what) { violations.push_back(what); }
void Advance(DWORD ms) { now += ms; }

void Opened(const std::string& what) { openResources.push_back(what); }

void Closed(const std::string& what) {
  if (openResources.empty() || openResources.back() != what) {
    Violation("closed out of order, or not open: " + what);
  }
  for (auto it = openResources.end(); it != openResources.begin();) {
    if (*--it == what) {
      openResources.erase(it);
      return;
    }
  }
}

}  // namespace fake

using namespace fake;

extern "C" {

void WINAPI Sleep(DWORD dwMilliseconds) {
  Note("Sleep", Format("%u", dwMilliseconds));
  Advance(dwMilliseconds);
}

DWORD WINAPI GetLastError(void) {
  Note("GetLastError", "");
  return lastError;
}

}  // extern "C"
