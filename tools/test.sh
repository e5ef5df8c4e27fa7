#!/usr/bin/env bash
# Builds everything and runs every test: the logic on the fake platform, the Linux
# programs end to end, and the Windows programs under Wine; then the native suite under
# the sanitizers and a short run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

# The Windows programs and their ZIP first: the wine tests of the Linux tree check them.
cmake --preset win32
cmake --build --preset win32 -j2
cpack --preset win32

cmake --preset linux
cmake --build --preset linux -j2
ctest --preset linux

# The native suite again under AddressSanitizer and UndefinedBehaviorSanitizer, then each
# fuzzer for a short fixed time (QUILLET_FUZZ_SECONDS, 20 s by default).
cmake --preset asan
cmake --build --preset asan -j2
ctest --preset asan -j2
cmake --preset fuzz
cmake --build --preset fuzz -j2
ctest --preset fuzz -j2
