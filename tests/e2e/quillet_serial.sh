#!/usr/bin/env bash
# Quillet on Linux against the simulated handheld over a pty named by the device map:
# invalid settings, both command words, wrong and cut-off words, the exclusive open, a
# map entry that leads nowhere, and the read time-out. Without a desktop the clipboard is
# unavailable: a run that needs it (a text arrived, or the handheld asks for one) says so
# in one line, and the host has nothing to send.
source "$(dirname "$0")/desktop-lib.sh" "$1"

SETTINGS_UNSET='Quillet: error: Registry values unset. Run SetQuillet from console!'
TIMEOUT='Quillet: error: Timeout'

# Invalid settings: message and exit code 5, and the port is never opened (handheld-sim
# ends with 2).
for setting in "" "com3 14400" "com3 -5"; do
  check_exchanges "$setting" com3 "--timeout 1000 --quiet;$SETTINGS_UNSET;5;2"
done

# What the handheld sends; Quillet's message, if any. Each ends well before the 10 s read
# time-out: a complete or wrong word is answered at once; a pause under the 1 s interval
# is waited out. (Longer stalls are link_faults'; the words and fields the rules refuse,
# the unit tests'.)
EXCHANGES=(
  "--send hello;$NO_CLIPBOARD"
  "--word Mivra-X2Y;$TIMEOUT"
  "--raw Mivra;$TIMEOUT"
  "--send hello --pause-at 3:700;$NO_CLIPBOARD"
  "--send hello --gap 30;$NO_CLIPBOARD"
  "--send hello --vanish-after 15;"
)
check_exchanges "com3 115200" com3 "${EXCHANGES[@]}"

# The handheld asks for the host's text: with no clipboard the host sends nothing, and
# handheld-sim ends with 3, no answer.
check_exchanges "com8 9600" com8 "--receive;$NO_CLIPBOARD;0;3"
grep -qF "no answer from the host" "$WORK/sim.err" || fail "H2P: the host answered: $(cat "$WORK/sim.err")"
[ -s "$WORK/handheld" ] && fail "H2P: text arrived: $(cat "$WORK/handheld")"

# A second run while the first holds the port is refused.
second_run_refused "com2 19200" com2

# A map entry that leads nowhere is a missing port, never /dev/ttyS*.
fresh_config
setquillet com1 9600
mkdir -p "$DEVICES"
ln -s "$WORK/no-such-tty" "$LINK"
quillet
expect_equal "dangling map entry: exit code" 0 "$QUILLET_STATUS"
expect_equal "dangling map entry: message" "Quillet: error: Unable open to communication port" "$QUILLET_ERR"

# The one real-time wait: a handheld that says nothing gets "Timeout" after the 10 s read
# time-out (10000 ms + 9 bytes x 1 ms at 115200), not sooner and not much later.
fresh_config
setquillet com4 115200
start_sim "$DEVICES/com4"
quillet
expect_equal "silence: exit code and message" "0 $TIMEOUT" "$QUILLET_STATUS $QUILLET_ERR"
[ "$ELAPSED" -ge 10009 ] && [ "$ELAPSED" -lt 11500 ] || fail "read time-out took $ELAPSED ms"
echo "read time-out: $ELAPSED ms"
wait_sim

finish
