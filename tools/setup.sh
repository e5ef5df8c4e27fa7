#!/usr/bin/env bash
# Installs what Quillet needs on Debian 12. `setup.sh demo`: what building the Linux
# programs and running the demo need. `setup.sh` (or `setup.sh test`): that, and all the
# tests need besides. Quick when everything is there already; needs root (or sudo)
# otherwise.
set -euo pipefail

# Building the Linux programs (Wayland's client library for its clipboard, GTK 3 for its
# message box), and the demo's X server and clipboard tool.
DEMO_PACKAGES=(
  cmake make g++ pkg-config libx11-dev libgtk-3-dev libasound2-dev libwayland-dev
  xvfb xclip
)
# The tests: unit tests and benchmarks; the Windows cross build and Wine; the desktop's
# parts (X11 tools, Wayland compositor and clipboard, PulseAudio, ALSA tools); the
# sanitizer and fuzz builds and valgrind; the packages' checks; the message box seen by a
# screen reader (accessibility bus, its Python bindings) and in sway's tree (jq).
TEST_PACKAGES=(
  libgtest-dev libbenchmark-dev python3
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev wine wine32:i386
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev wine64
  xauth xdotool x11-utils socat sway xwayland wl-clipboard
  alsa-utils sox pulseaudio pulseaudio-utils libasound2-plugins strace
  clang-14 libclang-rt-14-dev dos2unix valgrind
  dpkg-dev file lintian devscripts
  xfce4-settings dbus
  at-spi2-core python3-gi gir1.2-atspi-2.0 jq
  # The compositors of GNOME, KDE and weston, and a GTK3 program's binding
  mutter kwin-wayland weston python3-gi gir1.2-gtk-3.0
)

case "${1:-test}" in
  demo) PACKAGES=("${DEMO_PACKAGES[@]}") ;;
  test) PACKAGES=("${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  *) echo "usage: setup.sh [demo|test]" >&2; exit 2 ;;
esac

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [[ " ${missing[*]} " == *":i386 "* ]]; then
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
# In CI's throw-away machines dpkg may skip its fsync after every file it unpacks, which
# takes much of the install's time. A user's own machine keeps the safe default: a power
# cut meanwhile must not leave a half-written library behind.
unsafe=()
[ "${CI:-}" = true ] && unsafe=(-o DPkg::Options::=--force-unsafe-io)
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
  -o DPkg::Lock::Timeout=900 "${unsafe[@]}" "${missing[@]}"
