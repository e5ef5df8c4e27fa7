#!/usr/bin/env bash
# Builds everything and runs every test: the logic on the fake platform, the Linux
# programs end to end, and the Windows programs under Wine; then the native suite under
# the sanitizers and a short run of each fuzzer. --stress adds the long runs that these
# cover in substance (label stress; each says why in its CMake file), and the sanitizer
# runs of the tests whose time goes to a compositor.
set -euo pipefail
cd "$(dirname "$0")/.."
stress=false
[ "${1:-}" = --stress ] && stress=true

bash tools/setup.sh

# Build the Windows programs for the Wine tests, first: the wine tests of the Linux tree
# check them. The 32-bit ones and their ZIP always (they ship; wine.programs checks them as
# files); where Wine runs no 32-bit code here, or QUILLET_WINE_ARCH=win64 asks for it, also
# the same programs for x86-64, which the end-to-end tests then run instead.
cmake --preset win32
cmake --build --preset win32 -j2
cpack --preset win32
QUILLET_WINE_ARCH=$(python3 -B tests/wine/winelib.py)
export QUILLET_WINE_ARCH
if [ "$QUILLET_WINE_ARCH" = win64 ]; then
  cmake --preset win64
  cmake --build --preset win64 -j2
fi

cmake --preset linux
cmake --build --preset linux -j2
# The sanitizer and fuzzer trees build at the lowest priority beside the native suite, much
# of which waits on real time: they take the cycles it leaves, not its timed checks' margins.
mkdir -p build
nice -n 19 bash -c 'cmake --preset asan && cmake --build --preset asan -j2 &&
  cmake --preset fuzz && cmake --build --preset fuzz -j2' >build/side-builds.log 2>&1 &
side=$!
status=0
ctest --preset linux -j2 || status=$?
if $stress && [ $status -eq 0 ]; then ctest --preset stress -j2 || status=$?; fi
wait $side || { cat build/side-builds.log; echo "the asan or fuzz tree did not build" >&2; exit 1; }
[ $status -eq 0 ] || exit $status

# The native suite again under AddressSanitizer and UndefinedBehaviorSanitizer, then each
# fuzzer for a short fixed time (QUILLET_FUZZ_SECONDS, 20 s by default).
ctest --preset asan -j2
if $stress; then ctest --preset asan-stress -j2; fi
ctest --preset fuzz -j2
