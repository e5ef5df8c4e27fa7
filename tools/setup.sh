#!/usr/bin/env bash
# Installs what Quillet needs on Debian 12 or 13. `setup.sh demo`: what building the Linux
# programs and running the demo need. `setup.sh` (or `setup.sh test`): that, and all the
# tests need besides. Quick when everything is there already; needs root (or sudo)
# otherwise. It never removes or replaces an installed package: a package whose install
# would remove another is left out, with a note saying so.
set -euo pipefail

# Building the Linux programs (Wayland's client library for its clipboard, GTK 3 for its
# message box), and the demo's X server and clipboard tool.
DEMO_PACKAGES=(
  cmake make g++ pkg-config libx11-dev libgtk-3-dev libasound2-dev libwayland-dev
  xvfb xclip
)
# The tests: unit tests and benchmarks; the Windows cross builds (32- and 64-bit) and
# Wine; the desktop's parts (X11 tools, Wayland compositor and clipboard, the sound
# server's client tools, ALSA tools); the sanitizer and fuzz builds (the release's
# default clang; its runtime is added below) and valgrind; the packages' checks; the
# message box seen by a screen reader (accessibility bus, its Python bindings) and in
# sway's tree (jq).
TEST_PACKAGES=(
  libgtest-dev libbenchmark-dev python3
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev wine wine64
  xauth xdotool x11-utils socat sway xwayland wl-clipboard
  alsa-utils sox pulseaudio-utils libasound2-plugins strace
  clang dos2unix valgrind
  dpkg-dev file lintian devscripts
  xfce4-settings dbus
  at-spi2-core python3-gi gir1.2-atspi-2.0 jq
  # The compositors of GNOME, KDE and weston, and a GTK3 program's binding
  mutter kwin-wayland weston gir1.2-gtk-3.0
)
# The tone test's sound server: the one the machine has. A PipeWire desktop keeps
# PipeWire (installing PulseAudio would remove its ALSA and PulseAudio parts).
PULSEAUDIO_PACKAGES=(pulseaudio)
PIPEWIRE_PACKAGES=(pipewire pipewire-pulse wireplumber pipewire-alsa)
# Wine's 32-bit half, only where the kernel runs 32-bit x86 code.
WINE32_PACKAGE=wine32:i386

# What is installed, read once: NAME and NAME:ARCH for each package.
declare -A INSTALLED
while IFS='|' read -r status name arch; do
  [ "$status" = "ii " ] && INSTALLED[$name]=1 INSTALLED[$name:$arch]=1
done < <(dpkg-query -W -f='${db:Status-Abbrev}|${Package}|${Architecture}\n')

installed() {
  [ -n "${INSTALLED[$1]:-}" ]
}

# Whether this kernel runs 32-bit x86 programs: a 93-byte one that only exits (exit(0)
# through int 0x80). Some kernels lack ia32 support ("Exec format error").
runs_32bit_code() {
  [ "$(dpkg --print-architecture)" = amd64 ] || return 1
  local probe status=1
  probe=$(mktemp)
  base64 -d >"$probe" <<<'f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAAAIAECACABAhdAAAAXQAAAAUAAAAAEAAAuAEAAAAx282A'
  chmod 700 "$probe"
  "$probe" 2>/dev/null && status=0
  rm -f "$probe"
  return $status
}

# The version N of the release's default clang (package clang depends on clang-N), from
# the installed package or else from apt's lists; empty when neither knows.
clang_version() {
  local depends
  if installed clang; then
    depends=$(dpkg-query -W -f='${Depends}' clang)
  else
    depends=$(apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: //p')
  fi
  grep -o 'clang-[0-9]\+' <<<"$depends" | head -n1 | cut -d- -f2
}

# apt-get install as a dry run: its plan on stdout, exit status as apt's.
plan() {
  LC_ALL=C apt-get -s -q --no-install-recommends install "$@" 2>&1
}

# The packages plan $@ would remove, one line each.
removals() {
  sed -n 's/^Remv \([^ ]*\).*/\1/p' <<<"$1"
}

wanted=("${DEMO_PACKAGES[@]}")
case "${1:-test}" in
  demo) ;;
  test)
    wanted+=("${TEST_PACKAGES[@]}")
    if installed pulseaudio; then
      wanted+=("${PULSEAUDIO_PACKAGES[@]}")
    elif installed pipewire || installed pipewire-bin; then
      wanted+=("${PIPEWIRE_PACKAGES[@]}")
    else
      wanted+=("${PULSEAUDIO_PACKAGES[@]}")
    fi
    version=$(clang_version)
    [ -n "$version" ] && wanted+=("libclang-rt-$version-dev")
    runs_32bit_code && wanted+=("$WINE32_PACKAGE")
    ;;
  *) echo "usage: setup.sh [demo|test]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -q
# clang itself is to be installed: its runtime's name comes from apt's lists.
if [ "${1:-test}" = test ] && [ -z "${version:-}" ]; then
  version=$(clang_version)
  [ -n "$version" ] || { echo "setup: apt knows no package clang" >&2; exit 100; }
  missing+=("libclang-rt-$version-dev")
fi

# Every name is checked, and what installing would remove, before anything changes. The
# 32-bit half needs the i386 architecture in apt's lists first: it is added only once the
# rest is known to install, and taken back when wine32 cannot be installed after all.
native=()
wine32=""
for package in "${missing[@]}"; do
  if [ "$package" = "$WINE32_PACKAGE" ]; then wine32=1; else native+=("$package"); fi
done
if [ ${#native[@]} -gt 0 ]; then
  if ! dryRun=$(plan "${native[@]}"); then
    echo "setup: apt cannot install ${native[*]}:" >&2
    grep '^E:' <<<"$dryRun" >&2
    exit 100
  fi
  if [ -n "$(removals "$dryRun")" ]; then
    kept=()
    for package in "${native[@]}"; do
      removed=$(removals "$(plan "$package")" | tr '\n' ' ')
      if [ -n "$removed" ]; then
        echo "setup: leaving out $package: installing it would remove ${removed% }" >&2
      else
        kept+=("$package")
      fi
    done
    native=("${kept[@]}")
  fi
fi
if [ -n "$wine32" ]; then
  added=""
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
    added=1
    $sudo apt-get update -q
  fi
  if dryRun=$(plan "${native[@]}" "$WINE32_PACKAGE") && [ -z "$(removals "$dryRun")" ]; then
    native+=("$WINE32_PACKAGE")
  else
    echo "setup: leaving out $WINE32_PACKAGE: $(grep -e '^E:' -e '^Remv' <<<"$dryRun" | tr '\n' ' ')" >&2
    [ -n "$added" ] && $sudo dpkg --remove-architecture i386
  fi
fi
[ ${#native[@]} -eq 0 ] && exit 0

echo "setup: installing ${native[*]}"
# In CI's throw-away machines dpkg may skip its fsync after every file it unpacks, which
# takes much of the install's time. A user's own machine keeps the safe default: a power
# cut meanwhile must not leave a half-written library behind.
unsafe=()
[ "${CI:-}" = true ] && unsafe=(-o DPkg::Options::=--force-unsafe-io)
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends --no-remove \
  -o DPkg::Lock::Timeout=900 "${unsafe[@]}" "${native[@]}"
