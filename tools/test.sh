#!/usr/bin/env bash
# Builds everything and runs every test: the logic on the fake platform, the Linux
# programs end to end, and the Windows programs under Wine.
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
