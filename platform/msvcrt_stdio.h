// Windows build only, included ahead of every source file (-include): msvcrt's own printf
// family instead of MinGW's.
//
// Contract: printf, sprintf and snprintf are msvcrt.dll's, as in any program built for
// Windows with the system's C runtime; the formats the programs use (%s, %ld, %lu, %011lu)
// mean the same there. libstdc++'s configuration switches MinGW's larger replacements on
// for every file that includes a C++ header (<cstdio>); taking <stdio.h> here first, with
// them off, fixes the choice before that happens.
#ifndef QUILLET_PLATFORM_MSVCRT_STDIO_H
#define QUILLET_PLATFORM_MSVCRT_STDIO_H

#undef __USE_MINGW_ANSI_STDIO
#define __USE_MINGW_ANSI_STDIO 0
#include <stdio.h>

#endif  // QUILLET_PLATFORM_MSVCRT_STDIO_H
