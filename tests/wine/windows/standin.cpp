// Answers and the call log of the stand-in Palm libraries.
#include "standin.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

long StandInNumber(const char* name, long fallback) {
  char text[32];
  if (!StandInText(name, text, sizeof text)) return fallback;
  return strtol(text, nullptr, 10);
}

bool StandInText(const char* name, char* out, DWORD size) {
  DWORD length = GetEnvironmentVariableA(name, out, size);
  if (length == 0 || length >= size) {
    out[0] = '\0';
    return false;
  }
  return true;
}

void StandInLog(const char* format, ...) {
  char path[MAX_PATH];
  if (!StandInText("STANDIN_LOG", path, sizeof path)) return;
  // Each line begins with the wall-clock time in Unix seconds, the clock that a test on
  // the Linux side also reads, so that it can place its own observations between calls.
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULONGLONG ticks = ((ULONGLONG)now.dwHighDateTime << 32 | now.dwLowDateTime) -
                    116444736000000000ULL;  // 100 ns ticks from 1601 to 1970
  char line[512];
  int length = _snprintf(line, 32, "%lu.%06lu ", (unsigned long)(ticks / 10000000),
                         (unsigned long)(ticks % 10000000 / 10));
  va_list arguments;
  va_start(arguments, format);
  int more = _vsnprintf(line + length, sizeof line - 2 - length, format, arguments);
  va_end(arguments);
  length = more < 0 ? (int)sizeof line - 2 : length + more;
  line[length++] = '\n';
  // Opened and closed per line, so that the log is complete whenever the program stops.
  HANDLE log = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(log, line, (DWORD)length, &written, nullptr);
  CloseHandle(log);
}
