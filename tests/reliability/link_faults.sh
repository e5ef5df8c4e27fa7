#!/usr/bin/env bash
# Link faults end to end, where the port's timing decides: the handheld vanishing, stalling
# past the interval time-out, a command word or length field cut short, two malformed fields
# (the table is the unit tests'). Each run ends as the rules say (exit code, message, time),
# leaving the clipboard as they give and the port to the next run.
# Usage: link_faults.sh BUILD_DIR [same-tty]
source "$(dirname "$0")/../e2e/desktop-lib.sh" "$1"
start_x

TIMEOUT_MESSAGE='Quillet: error: Timeout'
OPEN_MESSAGE='Quillet: error: Unable open to communication port'
TEXT='hello\nworld'  # 11 bytes, as handheld-sim's escapes write it
BEFORE=before
MESSAGE_BOX_MS=${QUILLET_MESSAGE_BOX_MS:-2000}

setquillet com1 115200 >/dev/null

# Presses OK on every message Quillet shows (only a mapped window: the toolkit's hidden
# leader window bears the same name); in the background, until stopped or the test ends.
press_ok() {
  local id
  while kill -0 $$ 2>/dev/null; do
    id=$(xdotool search --onlyvisible --name '^Quillet$' 2>/dev/null | head -n1)
    [ -n "$id" ] && xdotool windowfocus --sync "$id" key Return 2>/dev/null
    sleep 0.05
  done
}

# quillet_against OPTIONS...: Quillet against handheld-sim with those options; as quillet
# (Quillet's own time in ELAPSED).
quillet_against() {
  start_sim "$LINK" --quiet --timeout 5000 "$@"
  press_ok &
  local user=$!
  # The handheld goes away VANISH_MS after the start, taking the pty with it.
  [ -n "${VANISH_MS:-}" ] && (sleep "$(awk -v ms="$VANISH_MS" 'BEGIN { print ms / 1000 }')"; kill -TERM "$SIM_PID" 2>/dev/null) &
  quillet
  stop "$user" "$SIM_PID"
}

# fault NAME EXPECTED-CLIPBOARD MESSAGE MIN-MS MAX-MS handheld-sim options...: one faulted
# run with the clipboard holding BEFORE, then a good run on the same port entry.
# EXPECTED-CLIPBOARD is printf text, or "-" for unchanged.
fault() {
  local name=$1 expected=$2 message=$3 least=$4 most=$5
  shift 5
  printf %s "$BEFORE" | xclip -i -selection clipboard
  quillet_against "$@"
  [ "$QUILLET_STATUS" -eq 0 ] || fail "$name: exit code $QUILLET_STATUS"
  # MESSAGE may list the outcomes a race allows, separated by "|".
  [[ "|$message|" == *"|$QUILLET_ERR|"* ]] || fail "$name: message [$QUILLET_ERR], expected [$message]"
  # QUILLET_TIME_SLACK_MS: what a slower build (the sanitizers') adds to every run. A run
  # that showed a message also spent the box's own time: its toolkit starting in a
  # process of its own (the first box on a display longest), and the answer.
  most=$((most + ${QUILLET_TIME_SLACK_MS:-0}))
  [ -n "$QUILLET_ERR" ] && most=$((most + MESSAGE_BOX_MS))
  [ "$ELAPSED" -ge "$least" ] && [ "$ELAPSED" -le "$most" ] ||
    fail "$name: took $ELAPSED ms, expected $least to $most"
  x11_text >"$WORK/clipboard"
  [ "$expected" = - ] && expected=$BEFORE
  expect_file_bytes "$name: clipboard" "$WORK/clipboard" "$expected"
  # The next run opens the same port entry and moves a text.
  VANISH_MS="" quillet_against --send next
  [ "$QUILLET_STATUS" -eq 0 ] && [ "$(x11_text)" = next ] ||
    fail "$name: the next run did not get through ($QUILLET_STATUS: $QUILLET_ERR)"
}

# The faults; with same-tty, the same tty run after run (the end).
if [ "${2:-}" != same-tty ]; then

# ---- The handheld vanishes: what arrived before counts, as after a time-out ------------
# (It stops sending, then goes 300 ms later: a pty drops what its reader has not read yet
# when the other side closes, so the bytes are given time to arrive first.)
vanish() { VANISH_MS=300 fault "$@"; }
vanish "vanish before the command word" - "" 200 900 --send "$(printf "$TEXT")" --stop-after 0
vanish "vanish in the command word" - "$TIMEOUT_MESSAGE" 200 900 --send "$(printf "$TEXT")" --stop-after 5
vanish "vanish in the length field" - "" 200 900 --send "$(printf "$TEXT")" --stop-after 15
vanish "vanish after the length field" - "" 200 900 --send "$(printf "$TEXT")" --stop-after 20
vanish "vanish in the text" 'hello\nw' "" 200 900 --send "$(printf "$TEXT")" --stop-after 27
# Gone the moment the port opens: the line's set-up may still have caught it, or not.
fault "vanish at once" - "|$OPEN_MESSAGE" 0 900 --send "$(printf "$TEXT")" --vanish-after 0

# ---- A stall longer than the interval time-out ends the read with what arrived ---------
fault "stall in the command word" - "$TIMEOUT_MESSAGE" 950 1600 --send "$(printf "$TEXT")" --pause-at 4:1800
fault "stall in the length field" - "" 950 1600 --send "$(printf "$TEXT")" --pause-at 14:1800
fault "stall in the text" 'hel' "" 950 1600 --send "$(printf "$TEXT")" --pause-at 23:1800
fault "pause under the interval" "$TEXT" "" 500 1400 --send "$(printf "$TEXT")" --pause-at 23:600

# ---- A command word cut short --------------------------------------------------------------
fault "word cut, then silence" - "$TIMEOUT_MESSAGE" 950 1600 --raw 'Mivra-P2' --stop-after 8
fault "word cut, then the length" - "$TIMEOUT_MESSAGE" 0 900 --raw 'Mivra-P200000000011hello'

# ---- Length fields: one cut short (the interval time-out ends the read), one refused,
# one read in part ----------------------------------------------------------------------
fault "field cut short" - "" 950 1600 --raw 'Mivra-P2H 5'
fault "field [-0000000005]" - "" 0 900 --raw "Mivra-P2H-0000000005$TEXT"
fault "field [0000000003z]" 'hel' "" 0 900 --raw "Mivra-P2H0000000003z$TEXT"

# The longest text the rules accept goes through whole.
yes "$(printf 'q%.0s' $(seq 80))" | head -c 32766 >"$WORK/sent"
fault "length 32766" "$(sed -z 's/\n/\\n/g' "$WORK/sent")" "" 0 900 --send-file "$WORK/sent"

else
# ---- The same tty, run after run ----------------------------------------------------
# A pty pair that outlives the runs (socat): after each faulted run the next one opens the
# very same device, so nothing of the faulted run may still hold it. (The handheld falls
# silent in these faults: what it sent after a run had given up would wait in the relay
# for the next run, as it would in any serial line redirector.)
start_relay
# on_same_tty NAME EXPECTED-CLIPBOARD handheld-sim options...: Quillet waits on the port,
# then the handheld speaks on the other end of the pair.
on_same_tty() {
  local name=$1 expected=$2 quillet
  shift 2
  printf %s "$BEFORE" | xclip -i -selection clipboard
  press_ok &
  local user=$!
  timeout 30 "$QUILLET" </dev/null >/dev/null 2>"$WORK/quillet.err" &
  quillet=$!
  sleep 0.2
  bounded 30 "$SIM" --quiet --timeout 1500 "$WORK/handheld" "$@" >/dev/null 2>&1
  wait "$quillet" || fail "$name (same tty): exit code $?"
  stop "$user"
  [ "$(x11_text)" = "$expected" ] ||
    fail "$name (same tty): clipboard [$(x11_text)], expected [$expected]; $(cat "$WORK/quillet.err")"
}
for round in 1 2; do
  on_same_tty "stall in the text, round $round" hel --send "$(printf "$TEXT")" --stop-after 23
  on_same_tty "good run after a stall, round $round" next --send next
  on_same_tty "malformed field, round $round" "$BEFORE" --raw "Mivra-P2H-0000000005"
  on_same_tty "good run after a malformed field, round $round" next --send next
  on_same_tty "cut word, round $round" "$BEFORE" --raw 'Mivra-P2'
  on_same_tty "good run after a cut word, round $round" next --send next
done
stop "$RELAY"
fi

finish
