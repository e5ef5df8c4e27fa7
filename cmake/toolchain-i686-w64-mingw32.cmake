# Cross build for 32-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-i686): the
# programs as they ship.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUILLET_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)
