#!/usr/bin/env bash
# Quillet's USB path on Linux through the device map's devices/usb link: the handheld
# is found, opened exclusively and spoken to like a serial port, also when it turns up
# only after the search began.
source "$(dirname "$0")/lib.sh"

PORT_FAILED='Quillet: error: Unable open to communication port'
TIMEOUT='Quillet: error: Timeout'

EXCHANGES=(
  "--send hello;$NO_CLIPBOARD"
  "--word Mivra-X2Y;$TIMEOUT"
  "--send hello --vanish-after 12;"
)
check_exchanges usb usb "${EXCHANGES[@]}"

# The handheld asks for the host's text: nothing to send without a clipboard, and that
# is said.
fresh_config
"$SETQUILLET" usb
start_sim "$devices/usb" --receive
run_quillet
expect_equal "usb H2P: message" "$NO_CLIPBOARD" "$errors"
wait_sim
expect_equal "usb H2P: handheld-sim's exit (no answer)" 3 "$?"

# The handheld appears two and a half seconds into the search: found on a later attempt.
fresh_config
"$SETQUILLET" usb
"$QUILLET" 2>"$scratch/late.err" &
late=$!
sleep 2.5
start_sim "$devices/usb" --word Mivra-X2Y
wait "$late"
expect_equal "late handheld: exit code" 0 "$?"
expect_equal "late handheld: message" "$TIMEOUT" "$(cat "$scratch/late.err")"
wait_sim

# A second run while the first holds the link is refused.
fresh_config
"$SETQUILLET" usb
start_sim "$devices/usb" --delay 1500 --send "first run"
"$QUILLET" 2>"$scratch/first.err" &
first=$!
wait_for_line "$scratch/sim.err" "host opened the port"
run_quillet
expect_equal "usb second run: message" "$PORT_FAILED" "$errors"
wait "$first"
expect_equal "usb first run: message" "$NO_CLIPBOARD" "$(cat "$scratch/first.err")"
wait_sim

finish
