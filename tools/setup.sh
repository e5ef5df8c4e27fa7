#!/usr/bin/env bash
# Installs what building, the demo and the tests need on Debian 12. Quick when everything
# is there already; needs root (or sudo) otherwise.
set -euo pipefail

PACKAGES=(
  cmake make g++ libgtest-dev libbenchmark-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386
  xvfb xauth xclip xdotool x11-utils socat
  libx11-dev libfltk1.3-dev libasound2-dev alsa-utils sox
  pulseaudio pulseaudio-utils libasound2-plugins strace
  clang-14 libclang-rt-14-dev dos2unix valgrind python3
)

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
  -o DPkg::Lock::Timeout=900 "${missing[@]}"
