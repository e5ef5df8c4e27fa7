// Turning a system error code into the system's own text, for the programs' error hooks.
#ifndef QUILLET_COMMON_SYSTEMERROR_H
#define QUILLET_COMMON_SYSTEMERROR_H

#include "platform/winapi.h"

// Asks the system for the text of code (0: the calling thread's last error), hands it to
// use, and releases it again. text is null when the system has no text for the code;
// code is then the one that was looked up.
void UseSystemErrorText(DWORD code, void (*use)(DWORD code, const char* text));

#endif  // QUILLET_COMMON_SYSTEMERROR_H
