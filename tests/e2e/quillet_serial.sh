#!/usr/bin/env bash
# Quillet on Linux against the simulated handheld over a pty named by the device map:
# invalid settings, both command words, wrong and cut-off words, the exclusive open, and
# a map entry that leads nowhere. Without a desktop the clipboard is unavailable: a run
# that needs it (a text arrived, or the handheld asks for one) says so in one line, and the
# host has nothing to send.
source "$(dirname "$0")/desktop-lib.sh" "$1"

SETTINGS_UNSET='Quillet: error: Registry values unset. Run SetQuillet from console!'
PORT_FAILED='Quillet: error: Unable open to communication port'
TIMEOUT='Quillet: error: Timeout'

# Invalid settings: message and exit code 5, and the port is never opened.
for args in "" "com3 14400" "com3 -5"; do
  fresh_config
  read -ra argv <<<"$args"
  [ -n "$args" ] && setquillet "${argv[@]}" >/dev/null
  start_sim "$DEVICES/com3" --timeout 1000 --quiet
  quillet
  expect_equal "settings [$args]: exit code" 5 "$QUILLET_STATUS"
  expect_equal "settings [$args]: message" "$SETTINGS_UNSET" "$QUILLET_ERR"
  wait_sim
  expect_equal "settings [$args]: port left unopened (handheld-sim's exit)" 2 "$SIM_STATUS"
done

# What the handheld sends; Quillet's message, if any. Each ends well before the 10 s read
# time-out: a complete or wrong word is answered at once; a pause under the 1 s interval
# is waited out, a longer one ends the read with what arrived.
EXCHANGES=(
  "--send hello;$NO_CLIPBOARD"
  "--send-file /dev/null;"
  "--word Mivra-X2Y;$TIMEOUT"
  "--word mivra-p2h;$TIMEOUT"
  "--raw Mivra;$TIMEOUT"
  "--send hello --pause-at 3:700;$NO_CLIPBOARD"
  "--send hello --pause-at 12:1500;"
  "--send hello --gap 30;$NO_CLIPBOARD"
  "--send hello --vanish-after 15;"
  "--send hello --length 00000099999;"
)
check_exchanges "com3 115200" com3 "${EXCHANGES[@]}"

# The handheld asks for the host's text: with no clipboard the host sends nothing.
fresh_config
setquillet com8 9600
start_sim "$DEVICES/com8" --receive
quillet
expect_equal "H2P: exit code" 0 "$QUILLET_STATUS"
expect_equal "H2P: message" "$NO_CLIPBOARD" "$QUILLET_ERR"
wait_sim
expect_equal "H2P: handheld-sim's exit (no answer)" 3 "$SIM_STATUS"
grep -qF "no answer from the host" "$WORK/sim.err" || fail "H2P: the host answered: $(cat "$WORK/sim.err")"
[ -s "$WORK/handheld" ] && fail "H2P: text arrived: $(cat "$WORK/handheld")"

# A second run while the first holds the port is refused.
fresh_config
setquillet com2 19200
start_sim "$DEVICES/com2" --delay 2000 --send "first run"
timeout 30 "$QUILLET" </dev/null 2>"$WORK/first.err" &
first=$!
wait_until 'grep -qF "host opened the port" "$WORK/sim.err"' 5 "first run: never opened the port"
quillet
expect_equal "second run: exit code" 0 "$QUILLET_STATUS"
expect_equal "second run: message" "$PORT_FAILED" "$QUILLET_ERR"
wait "$first"
expect_equal "first run: exit code" 0 "$?"
expect_equal "first run: message" "$NO_CLIPBOARD" "$(cat "$WORK/first.err")"
wait_sim
expect_equal "first run: handheld-sim's exit" 0 "$SIM_STATUS"

# A map entry that leads nowhere is a missing port, never /dev/ttyS*.
fresh_config
setquillet com1 9600
mkdir -p "$DEVICES"
ln -s "$WORK/no-such-tty" "$LINK"
quillet
expect_equal "dangling map entry: exit code" 0 "$QUILLET_STATUS"
expect_equal "dangling map entry: message" "$PORT_FAILED" "$QUILLET_ERR"

finish
