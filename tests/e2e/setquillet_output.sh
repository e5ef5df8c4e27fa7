#!/usr/bin/env bash
# SetQuillet on Linux: its output byte for byte, its exit code (1 only after a printed
# registry failure), and what it stores (or must not store) in the per-user settings
# store; the store's neighbours, a symbolic link and a FIFO in its place, a full disk.
source "$(dirname "$0")/desktop-lib.sh" "$1"

USAGE='SetQuillet <port> [<baudrate>]\n   <port> ::= usb | com1..com8\n   <baudrate> ::= 2400..115200 (only for com1..com8)\n Current setting: '
UNSET='unknown or no port set'

# set_quillet WHAT ARGS...: runs SetQuillet; its output in $WORK/out; its exit code
# must be $EXPECT_EXIT (0 unless set for the call).
set_quillet() {
  local what=$1
  shift
  setquillet "$@" >"$WORK/out"
  local code=$?
  [ $code -eq "${EXPECT_EXIT:-0}" ] || fail "$what: exit code $code"
}

# A fresh per-user folder with the store's folder made; the store's path in store.
fresh_store() {
  fresh_config
  store=$XDG_CONFIG_HOME/quillet/user.reg
  mkdir -p "$XDG_CONFIG_HOME/quillet"
}

# Nothing stored: the usage and no setting, and showing it makes no folder. Stored, the
# store is a readable text (usb stores Baudrate 0) that the next call shows. (The
# arguments' rules are the unit tests'; here the console and the store decide.)
fresh_config
set_quillet "no setting"
expect_file_bytes "no setting" "$WORK/out" "${USAGE}${UNSET}"
[ -e "$XDG_CONFIG_HOME/quillet" ] && fail "showing no setting made the store's folder"
set_quillet "com5 9600" com5 9600
expect_file_bytes "com5 9600: output" "$WORK/out" ''
expect_file_bytes "store after com5 9600" "$XDG_CONFIG_HOME/quillet/user.reg" \
  'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\Dorvane]\n\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n"Port"=dword:00000005\n"Baudrate"=dword:00002580\n'
set_quillet "after com5 9600"
expect_file_bytes "after com5 9600" "$WORK/out" "${USAGE}com5 with 9600 bps\n"
set_quillet "usb" usb
grep -qx '"Port"=dword:00000009' "$XDG_CONFIG_HOME/quillet/user.reg" || fail "usb: Port not 9"
grep -qx '"Baudrate"=dword:00000000' "$XDG_CONFIG_HOME/quillet/user.reg" || fail "usb: Baudrate not 0"

# The root cannot be reached: the per-user folder's place is a file.
fresh_config
XDG_CONFIG_HOME=$XDG_CONFIG_HOME/not-a-folder
touch "$XDG_CONFIG_HOME"
LAST_ERROR='\nLastError: The system cannot find the path specified.\r\n\n'
EXPECT_EXIT=1 set_quillet "unreachable root, no arguments"
expect_file_bytes "unreachable root, no arguments" "$WORK/out" "${USAGE}${LAST_ERROR}${UNSET}"
EXPECT_EXIT=1 set_quillet "unreachable root, com5 9600" com5 9600
expect_file_bytes "unreachable root, com5 9600" "$WORK/out" "${LAST_ERROR}"

# Files the user keeps beside the store survive every write; only a killed writer's own
# temporary file is cleared away.
fresh_store
side=(user.reg.backup user.reg.orig01 user.reg.bak user.reg.2024-01-01 user.reg.ABCDEF
  .user.reg.quillet-1234567 .user.reg.quillet-12345 .user.reg.backup-ABCDEF)
for name in "${side[@]}"; do echo "$name" >"$XDG_CONFIG_HOME/quillet/$name"; done
echo stale >"$XDG_CONFIG_HOME/quillet/.user.reg.quillet-a1B2c3"
set_quillet "beside side files" com2 9600
set_quillet "beside side files, again" usb
for name in "${side[@]}"; do
  [ "$(cat "$XDG_CONFIG_HOME/quillet/$name" 2>/dev/null)" == "$name" ] || fail "$name was touched"
done
[ -e "$XDG_CONFIG_HOME/quillet/.user.reg.quillet-a1B2c3" ] && fail "a stale temporary file stayed"
set_quillet "side files: setting"
expect_file_bytes "side files: setting" "$WORK/out" "${USAGE}usb\n"

# A store that is a chain of symbolic links (a dotfile manager's) stays so; the file at
# its end holds the new setting, replaced in its own folder with nothing left there.
fresh_store
dotfiles=$XDG_CONFIG_HOME/dotfiles
mkdir -p "$dotfiles/quillet"
set_quillet "plain store" com5 9600
mv "$store" "$dotfiles/quillet/store.reg"
chmod 0644 "$dotfiles/quillet/store.reg"
ln -s store.reg "$dotfiles/quillet/current.reg"
ln -s ../dotfiles/quillet/current.reg "$store"
set_quillet "store behind links" com3 57600
[ -L "$store" ] && [ -L "$dotfiles/quillet/current.reg" ] || fail "a link was replaced"
grep -qx '"Port"=dword:00000003' "$dotfiles/quillet/store.reg" || fail "the link's target kept the old port"
expect_equal "links: the target's mode" 644 "$(stat -c %a "$dotfiles/quillet/store.reg")"
expect_equal "links: files in the target's folder" "current.reg store.reg" "$(ls -A "$dotfiles/quillet" | paste -sd ' ')"
set_quillet "store behind links: setting"
expect_file_bytes "store behind links: setting" "$WORK/out" "${USAGE}com3 with 57600 bps\n"
# A link that leads nowhere is an error, and nothing is written.
rm "$dotfiles/quillet/store.reg"
EXPECT_EXIT=1 set_quillet "dangling link" com4 9600
expect_file_bytes "dangling link" "$WORK/out" \
  '\nLastError: The system cannot find the file specified.\r\n\n'
[ -L "$store" ] && [ ! -e "$dotfiles/quillet/store.reg" ] || fail "dangling link: something was written"

# A FIFO in the store's place: both programs say so at once, as of a damaged store (whose
# other kinds are posix_store_test's), waiting on nothing and holding no lock, and the
# FIFO stays.
fresh_store
mkfifo "$store"
EXPECT_EXIT=1 timed set_quillet 'FIFO' com5 9600
elapsed=$ELAPSED
expect_file_bytes "FIFO, com5 9600" "$WORK/out" \
  '\nLastError: The configuration registry database is corrupt.\r\n\n'
quillet
expect_equal "Quillet on a FIFO: exit code" 5 "$QUILLET_STATUS"
echo "FIFO in the store's place: SetQuillet $elapsed ms, Quillet $ELAPSED ms"
[ "$elapsed" -lt 2000 ] && [ "$ELAPSED" -lt 2000 ] || fail "a FIFO was waited on"
set_quillet "FIFO, no arguments"  # shown as no setting, no failure said
expect_file_bytes "FIFO, no arguments" "$WORK/out" "${USAGE}${UNSET}"
[ -p "$store" ] || fail "the FIFO was replaced"
[ "$(ls -A "$XDG_CONFIG_HOME/quillet")" == user.reg ] || fail "FIFO: a file was left beside it"

# A full disk (a small tmpfs of a mount namespace of its own): the old setting stays,
# the failure is said, SetQuillet ends with 1, and no temporary file is left.
if [ "$(id -u)" -eq 0 ]; then
  fresh_store
  # shellcheck disable=SC2016
  SETQUILLET=$SETQUILLET timeout 30 unshare --mount -- bash -c '
    mount -t tmpfs -o size=64k,mode=0700 tmpfs "$XDG_CONFIG_HOME/quillet" || exit 9
    "$SETQUILLET" com5 9600 || exit 8
    head -c 1M /dev/zero >"$XDG_CONFIG_HOME/quillet/filler" 2>/dev/null
    "$SETQUILLET" com3 2400 >"$0/full.out"; echo $? >"$0/full.code"
    "$SETQUILLET" >"$0/full.shown"
    ls -A "$XDG_CONFIG_HOME/quillet" >"$0/full.files"' "$WORK"
  expect_equal "full disk: set-up" 0 "$?"
  expect_equal "full disk: exit code" 1 "$(cat "$WORK/full.code")"
  expect_file_bytes "full disk: output" "$WORK/full.out" \
    '\nLastError: There is not enough space on the disk.\r\n\n'
  expect_file_bytes "full disk: setting after" "$WORK/full.shown" "${USAGE}com5 with 9600 bps\n"
  expect_equal "full disk: files" "filler user.reg user.reg.lock" "$(paste -sd ' ' "$WORK/full.files")"
else
  echo "full disk: needs root for its mount namespace; not run" >&2
fi

# A link into a folder the user cannot write: a clear error, nothing written. Run as
# nobody where the tests run as root (root ignores the folder's mode).
as_user() { if [ "$(id -u)" -eq 0 ]; then as_nobody "$@"; else "$@"; fi; }
[ "$(id -u)" -ne 0 ] || for_nobody || finish
fresh_store
chmod 755 "$WORK" "$XDG_CONFIG_HOME"
mkdir -p "$XDG_CONFIG_HOME/locked"
set_quillet "locked: before" com5 9600
mv "$store" "$XDG_CONFIG_HOME/locked/user.reg"
ln -s ../locked/user.reg "$store"
chmod 644 "$XDG_CONFIG_HOME/locked/user.reg"
chmod 555 "$XDG_CONFIG_HOME/locked"
[ "$(id -u)" -eq 0 ] && chown -R nobody "$XDG_CONFIG_HOME/quillet"
as_user timeout 10 "$SETQUILLET" com2 4800 >"$WORK/out"
expect_equal "locked target folder: exit code" 1 "$?"
expect_file_bytes "locked target folder: output" "$WORK/out" '\nLastError: Access is denied.\r\n\n'
grep -qx '"Port"=dword:00000005' "$XDG_CONFIG_HOME/locked/user.reg" || fail "locked target was changed"
expect_equal "locked target folder: files" "user.reg" "$(ls -A "$XDG_CONFIG_HOME/locked")"
[ -L "$store" ] || fail "locked target: the link was replaced"
chmod 755 "$XDG_CONFIG_HOME/locked"

# ---- Files another user planted -------------------------------------------------------
# Root is the victim, nobody the other user, in a mount namespace of the test's own whose
# /dev/log is read into $scratch/syslog. Each row: what nobody planted (the set-up, run as
# root; `plant` runs a command as nobody), SetQuillet com1 115200's exit code and output,
# Quillet's exit code and message, and the line the system log must hold. nobody's
# handheld waits on com1 of the device map for root's clipboard text: it must never come,
# and nothing may change or appear (at the link targets neither). Then nobody's own first
# run in a sticky folder, through its own device link and a store link into its dotfiles.
if [ "$(id -u)" -eq 0 ]; then
  read -r -d '' planted <<'PLANTED'
source "$1/desktop-lib.sh" "$2"
chmod 755 "$WORK"
mkdir "$WORK/dev" && mount --rbind /dev "$WORK/dev" && mount -t tmpfs -o mode=755 tmpfs /dev &&
  mkdir /dev/.host && mount --move "$WORK/dev" /dev/.host && ln -s /dev/.host/* /dev/ || exit 9
python3 -c 'import os, socket, sys
log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
log.bind("/dev/log")
os.chmod("/dev/log", 0o666)
with open(sys.argv[1], "a", buffering=1) as out:
    while True:
        out.write(log.recv(65536).decode(errors="replace") + "\n")' "$WORK/syslog" &
BACKGROUND="$BACKGROUND $!"
wait_until '[ "$(stat -c %a /dev/log 2>/dev/null)" = 666 ]' 10 "no /dev/log of our own within 10 s"
plant() { as_nobody "$@"; }
NOBODY="setpriv --reuid=nobody --regid=nogroup --clear-groups"  # for quillet's WRAP
printf '#!/bin/sh\nexec %s "%s" "$@"\n' "$NOBODY" "$SIM" >"$WORK/nobody-sim"  # for start_sim
chmod 755 "$WORK/nobody-sim"
victim=$WORK/victim.reg attacker=$WORK/attacker
: >"$victim"
mkdir "$attacker" && chown nobody "$attacker"
SETTINGS_UNSET='Quillet: error: Registry values unset. Run SetQuillet from console!'
PORT_FAILED='Quillet: error: Unable open to communication port'
DENIED='\nLastError: Access is denied.\r\n\n'
NOT_OWN='owned by uid 65534, not by this user (uid 0), in a folder others may write to'
# The set-ups, in a fresh $base.
planted_folder() {
  chmod 1777 "$base"
  plant mkdir -m 777 "$base/quillet" "$base/quillet/devices"
  plant ln -s "$attacker/lock" "$base/quillet/user.reg.lock"
  plant ln -s "$victim" "$base/quillet/user.reg"
}
open_base() { chmod 777 "$base"; }
open_devices() {
  chmod 755 "$base"
  "$SETQUILLET" com1 115200 && chmod 711 "$base/quillet" && mkdir -m 777 "$base/quillet/devices"
}
# set-up|SetQuillet's exit code|its output|Quillet's exit code|its message|the log line
# after "refused $base"
ROWS=(
  "planted_folder|1|$DENIED|5|$SETTINGS_UNSET|/quillet: $NOT_OWN"
  "open_base|1|$DENIED|5|$SETTINGS_UNSET|: writable by others and not sticky (mode 0777)"
  "open_devices|0||0|$PORT_FAILED|/quillet/devices: writable by others (mode 0777)"
)
for row in "${ROWS[@]}"; do
  IFS='|' read -r name code output quillet_code message line <<<"$row"
  fresh_config
  base=$XDG_CONFIG_HOME
  $name
  SIM=$WORK/nobody-sim start_sim "$base/quillet/devices/com1" --receive --timeout 2000
  before=$(find "$base" "$attacker" "$victim" ! -name com1 -printf '%p %m %u %s\n' | sort)
  "$SETQUILLET" com1 115200 >"$WORK/out"
  expect_equal "$name: SetQuillet's exit code" "$code" "$?"
  expect_file_bytes "$name: SetQuillet's output" "$WORK/out" "$output"
  quillet
  expect_equal "$name: Quillet's exit code" "$quillet_code" "$QUILLET_STATUS"
  expect_equal "$name: Quillet's message" "$message" "$QUILLET_ERR"
  wait_sim
  expect_equal "$name: nobody's handheld never heard from the host" 2 "$SIM_STATUS"
  [ -s "$WORK/handheld" ] && fail "$name: text reached nobody's handheld: $(cat "$WORK/handheld")"
  after=$(find "$base" "$attacker" "$victim" ! -name com1 -printf '%p %m %u %s\n' | sort)
  [ "$before" == "$after" ] || fail "$name: files changed: $(diff <(echo "$before") <(echo "$after"))"
  wait_until 'grep -qF "Quillet: refused $base$line" "$WORK/syslog"' 5 \
    "$name: the system log never said [refused $base$line]"
done

refusals=$(grep -c refused "$WORK/syslog")
fresh_config
chmod 1777 "$XDG_CONFIG_HOME"
store=$XDG_CONFIG_HOME/quillet/user.reg dotfiles=$XDG_CONFIG_HOME/dotfiles
plant "$SETQUILLET" com1 115200
expect_equal "nobody's first run: exit code" 0 "$?"
expect_equal "nobody's first run: folder" "700 nobody" "$(stat -c '%a %U' "$XDG_CONFIG_HOME/quillet")"
SIM=$WORK/nobody-sim start_sim "$XDG_CONFIG_HOME/quillet/devices/com1" --send hello
WRAP=$NOBODY quillet
expect_equal "nobody's own device link: exit code" 0 "$QUILLET_STATUS"
expect_equal "nobody's own device link: message" "$NO_CLIPBOARD" "$QUILLET_ERR"
wait_sim
expect_equal "nobody's own device link: handheld-sim's exit" 0 "$SIM_STATUS"
plant mkdir "$dotfiles" && plant mv "$store" "$dotfiles/user.reg" &&
  plant ln -s "$dotfiles/user.reg" "$store"
plant "$SETQUILLET" com3 57600
expect_equal "nobody's store link: exit code" 0 "$?"
grep -qx '"Port"=dword:00000003' "$dotfiles/user.reg" && [ -L "$store" ] ||
  fail "nobody's store link was not written through"
expect_equal "nobody's own files: refusals logged" "$refusals" "$(grep -c refused "$WORK/syslog")"
finish
PLANTED
  timeout 120 unshare --mount -- bash -c "$planted" planted "$SCRIPTS" "$BIN" >/dev/null ||
    fail "files another user planted (above)"
else
  echo "files another user planted: needs root to act as two users; not run" >&2
fi

finish
