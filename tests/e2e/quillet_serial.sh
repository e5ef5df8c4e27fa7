#!/usr/bin/env bash
# Quillet on Linux against the simulated handheld over a pty named by the device map:
# invalid settings, both command words, a wrong word, a pause, the exclusive open. Without
# a desktop the clipboard is unavailable: a run that needs it (a text arrived, or the
# handheld asks for one) says so in one line, and the host has nothing to send. (A map
# entry that leads nowhere is posix_port_test's; the read time-out, on the real clock, the
# contract's, and the values the program sets, port_test's.)
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
# is waited out. (Cut words, stalls and vanishing are link_faults'; the words and fields
# the rules refuse, the unit tests'.)
EXCHANGES=(
  "--send hello;$NO_CLIPBOARD"
  "--word Mivra-X2Y;$TIMEOUT"
  "--send hello --pause-at 3:700;$NO_CLIPBOARD"
)
check_exchanges "com3 115200" com3 "${EXCHANGES[@]}"

# The handheld asks for the host's text: with no clipboard the host sends nothing, and
# handheld-sim ends with 3, no answer.
check_exchanges "com8 9600" com8 "--receive;$NO_CLIPBOARD;0;3"
grep -qF "no answer from the host" "$WORK/sim.err" || fail "H2P: the host answered: $(cat "$WORK/sim.err")"
[ -s "$WORK/handheld" ] && fail "H2P: text arrived: $(cat "$WORK/handheld")"

# A second run while the first holds the port (the handheld answers it 2 s after the
# open) is refused; the first then ends as usual.
fresh_config
setquillet com2 19200 >/dev/null
start_sim "$DEVICES/com2" --delay 2000 --send "first run"
timeout 30 "$QUILLET" </dev/null 2>"$WORK/first.err" &
first=$!
wait_until 'grep -qF "host opened the port" "$WORK/sim.err"' 5 "the first run never opened the port"
quillet
expect_equal "second run: exit code and message" \
  "0 Quillet: error: Unable open to communication port" "$QUILLET_STATUS $QUILLET_ERR"
wait "$first"
expect_equal "first run: exit code" 0 "$?"
expect_equal "first run: message" "$NO_CLIPBOARD" "$(cat "$WORK/first.err")"
wait_sim
expect_equal "first run: handheld-sim's exit" 0 "$SIM_STATUS"

finish
