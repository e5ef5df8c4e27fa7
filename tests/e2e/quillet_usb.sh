#!/usr/bin/env bash
# Quillet's USB path on Linux through the device map's devices/usb link: the handheld
# is found, opened exclusively and spoken to like a serial port, also when it turns up
# only after the search began.
source "$(dirname "$0")/desktop-lib.sh" "$1"

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
setquillet usb
start_sim "$DEVICES/usb" --receive
quillet
expect_equal "usb H2P: message" "$NO_CLIPBOARD" "$QUILLET_ERR"
wait_sim
expect_equal "usb H2P: handheld-sim's exit (no answer)" 3 "$SIM_STATUS"

# The handheld appears two and a half seconds into the search: found on a later attempt.
fresh_config
setquillet usb
timeout 30 "$QUILLET" </dev/null 2>"$WORK/late.err" &
late=$!
sleep 2.5
start_sim "$DEVICES/usb" --word Mivra-X2Y
wait "$late"
expect_equal "late handheld: exit code" 0 "$?"
expect_equal "late handheld: message" "$TIMEOUT" "$(cat "$WORK/late.err")"
wait_sim

# A second run while the first holds the link is refused.
fresh_config
setquillet usb
start_sim "$DEVICES/usb" --delay 1500 --send "first run"
timeout 30 "$QUILLET" </dev/null 2>"$WORK/first.err" &
first=$!
wait_until 'grep -qF "host opened the port" "$WORK/sim.err"' 5 "usb first run: never opened the port"
quillet
expect_equal "usb second run: message" "$PORT_FAILED" "$QUILLET_ERR"
wait "$first"
expect_equal "usb first run: message" "$NO_CLIPBOARD" "$(cat "$WORK/first.err")"
wait_sim

finish
