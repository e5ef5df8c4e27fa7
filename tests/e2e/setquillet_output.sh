#!/usr/bin/env bash
# SetQuillet on Linux: its output byte for byte, its exit code, and what it stores (or
# must not store) in the per-user settings store.
source "$(dirname "$0")/lib.sh"

USAGE='SetQuillet <port> [<baudrate>]\n   <port> ::= usb | com1..com8\n   <baudrate> ::= 2400..115200 (only for com1..com8)\n Current setting: '
UNSET='unknown or no port set'
NOT_STORED='-'

# set_quillet WHAT ARGS...: runs SetQuillet; its output in $scratch/out; exit must be 0.
set_quillet() {
  local what=$1
  shift
  "$SETQUILLET" "$@" >"$scratch/out"
  local code=$?
  [ $code -eq 0 ] || fail "$what: exit code $code"
}

# arguments; output of the call; setting shown by a later call without arguments
CASES=(
  ";${USAGE}${UNSET};${NOT_STORED}"
  "com5 9600;;com5 with 9600 bps\n"
  "usb;;usb\n"
  "USB;${USAGE}${UNSET};${NOT_STORED}"
  "com12 9600;;com1 with 9600 bps\n"
  "com9 9600;${USAGE}${UNSET};${NOT_STORED}"
  "com0 9600;${USAGE}${UNSET};${NOT_STORED}"
  "Com5 9600;${USAGE}${UNSET};${NOT_STORED}"
  "com3 9600abc;;com3 with 9600 bps\n"
  "com8 115200;;com8 with 115200 bps\n"
  "com2 2400;;com2 with 2400 bps\n"
  "com3 14400;${USAGE}${UNSET};com3 with illegal 14400 bps\n"
  "com3 1234;${USAGE}${UNSET};com3 with illegal 1234 bps\n"
  "com3 -5;${USAGE}${UNSET};com3 with illegal -5 bps\n"
  "usb 9600;${USAGE}${UNSET};${NOT_STORED}"
  "com5;${USAGE}${UNSET};${NOT_STORED}"
  "com5 9600 x;${USAGE}${UNSET};${NOT_STORED}"
)

for case in "${CASES[@]}"; do
  IFS=';' read -r args output shown <<<"$case"
  fresh_config
  read -ra argv <<<"$args"
  set_quillet "SetQuillet $args" "${argv[@]}"
  expect_file_bytes "SetQuillet $args: output" "$scratch/out" "$output"
  if [ "$shown" == "$NOT_STORED" ]; then
    [ -e "$XDG_CONFIG_HOME/quillet" ] && fail "SetQuillet $args: stored something"
  else
    set_quillet "SetQuillet after $args"
    expect_file_bytes "SetQuillet after $args: output" "$scratch/out" "${USAGE}${shown}"
  fi
done

# A rate outside the list shows the setting stored before, then replaces it.
fresh_config
set_quillet "first" com5 9600
set_quillet "com3 1234 over com5" com3 1234
expect_file_bytes "com3 1234 over com5" "$scratch/out" "${USAGE}com5 with 9600 bps\n"
set_quillet "after com3 1234"
expect_file_bytes "after com3 1234" "$scratch/out" "${USAGE}com3 with illegal 1234 bps\n"

# The store is a readable text; usb stores Baudrate 0.
fresh_config
set_quillet "com5 9600" com5 9600
expect_file_bytes "store after com5 9600" "$XDG_CONFIG_HOME/quillet/user.reg" \
  'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\Dorvane]\n\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n"Port"=dword:00000005\n"Baudrate"=dword:00002580\n'
set_quillet "usb" usb
grep -qx '"Port"=dword:00000009' "$XDG_CONFIG_HOME/quillet/user.reg" || fail "usb: Port not 9"
grep -qx '"Baudrate"=dword:00000000' "$XDG_CONFIG_HOME/quillet/user.reg" || fail "usb: Baudrate not 0"

# The root cannot be reached: the per-user folder's place is a file.
fresh_config
XDG_CONFIG_HOME=$XDG_CONFIG_HOME/not-a-folder
touch "$XDG_CONFIG_HOME"
LAST_ERROR='\nLastError: The system cannot find the path specified.\r\n\n'
set_quillet "unreachable root, no arguments"
expect_file_bytes "unreachable root, no arguments" "$scratch/out" "${USAGE}${LAST_ERROR}${UNSET}"
set_quillet "unreachable root, com5 9600" com5 9600
expect_file_bytes "unreachable root, com5 9600" "$scratch/out" "${LAST_ERROR}"

# A damaged store is reported and left exactly as it was.
fresh_config
mkdir -p "$XDG_CONFIG_HOME/quillet"
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n"Port"=dword:5\nPort 5 by hand\n' \
  >"$XDG_CONFIG_HOME/quillet/user.reg"
cp "$XDG_CONFIG_HOME/quillet/user.reg" "$scratch/damaged"
set_quillet "damaged store, com5 9600" com5 9600
expect_file_bytes "damaged store, com5 9600" "$scratch/out" \
  '\nLastError: The configuration registry database is corrupt.\r\n\n'
cmp -s "$scratch/damaged" "$XDG_CONFIG_HOME/quillet/user.reg" || fail "damaged store was written over"
set_quillet "damaged store, no arguments"
expect_file_bytes "damaged store, no arguments" "$scratch/out" "${USAGE}${UNSET}"
run_quillet
expect_equal "Quillet on a damaged store: exit code" 5 "$status"

finish
