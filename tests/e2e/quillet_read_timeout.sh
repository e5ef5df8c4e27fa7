#!/usr/bin/env bash
# The one real-time wait: on a serial port, a handheld that says nothing gets "Timeout"
# after the 10 s read time-out (10000 ms + 9 bytes x 1 ms at 115200), not sooner and
# not much later.
source "$(dirname "$0")/lib.sh"

fresh_config
"$SETQUILLET" com4 115200
start_sim "$devices/com4"
started=$(date +%s%N)
run_quillet
elapsed=$((($(date +%s%N) - started) / 1000000))
expect_equal "exit code" 0 "$status"
expect_equal "message" "Quillet: error: Timeout" "$errors"
[ "$elapsed" -ge 10009 ] && [ "$elapsed" -lt 11500 ] || fail "read time-out took $elapsed ms"
echo "read time-out: $elapsed ms"
wait_sim

finish
