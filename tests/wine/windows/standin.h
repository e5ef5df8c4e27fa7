// What the two stand-in Palm libraries share: their answers come from environment
// variables that each test sets, and every call goes as one line, in order, to the log
// file named by STANDIN_LOG (a Windows path; both libraries append to the same file),
// after the time of the call.
#ifndef QUILLET_TESTS_WINE_STANDIN_H
#define QUILLET_TESTS_WINE_STANDIN_H

#include "platform/winapi.h"

// The variable as a decimal number (a leading '-' allowed), or fallback when it is unset.
long StandInNumber(const char* name, long fallback);
// The variable's text into out (size bytes); false, with out empty, when it is unset.
bool StandInText(const char* name, char* out, DWORD size);
// Appends one formatted line to the log.
void StandInLog(const char* format, ...);

#endif  // QUILLET_TESTS_WINE_STANDIN_H
