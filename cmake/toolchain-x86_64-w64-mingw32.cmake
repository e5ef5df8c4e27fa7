# Cross build for 64-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-x86-64): the same
# programs for a Wine that runs no 32-bit code; never shipped.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QUILLET_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)
