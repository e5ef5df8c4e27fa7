#!/usr/bin/env bash
# The one real-time wait: on a serial port, a handheld that says nothing gets "Timeout"
# after the 10 s read time-out (10000 ms + 9 bytes x 1 ms at 115200), not sooner and
# not much later.
source "$(dirname "$0")/desktop-lib.sh" "$1"

setquillet com4 115200
start_sim "$DEVICES/com4"
quillet
expect_equal "exit code" 0 "$QUILLET_STATUS"
expect_equal "message" "Quillet: error: Timeout" "$QUILLET_ERR"
[ "$ELAPSED" -ge 10009 ] && [ "$ELAPSED" -lt 11500 ] || fail "read time-out took $ELAPSED ms"
echo "read time-out: $ELAPSED ms"
wait_sim

finish
