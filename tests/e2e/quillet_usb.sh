#!/usr/bin/env bash
# Quillet's USB path on Linux through the device map's devices/usb link: the handheld is
# found and spoken to like a serial port, also when it turns up only after the search
# began. (Its open is the serial port's, whose exclusion and refused words are
# quillet_serial's.)
source "$(dirname "$0")/desktop-lib.sh" "$1"

TIMEOUT='Quillet: error: Timeout'

# The second: the handheld asks for the host's text, and with no clipboard that is said,
# and nothing sent (handheld-sim ends with 3, no answer).
check_exchanges usb usb "--send hello;$NO_CLIPBOARD" "--receive;$NO_CLIPBOARD;0;3"

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

finish
