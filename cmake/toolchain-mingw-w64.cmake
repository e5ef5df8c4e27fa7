# What the two MinGW-w64 toolchain files share: the compilers, resource compiler and
# import-library tool of QUILLET_MINGW_PREFIX, and the target's own headers and libraries.
# The win32 thread model: the programs need no threads, and this model pulls in no
# winpthread DLL.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${QUILLET_MINGW_PREFIX}-gcc-win32 ${QUILLET_MINGW_PREFIX}-gcc
             REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QUILLET_MINGW_PREFIX}-g++-win32 ${QUILLET_MINGW_PREFIX}-g++
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QUILLET_MINGW_PREFIX}-windres REQUIRED)
find_program(QUILLET_DLLTOOL NAMES ${QUILLET_MINGW_PREFIX}-dlltool REQUIRED)
find_program(QUILLET_OBJDUMP NAMES ${QUILLET_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLET_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
