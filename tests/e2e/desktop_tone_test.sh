#!/usr/bin/env bash
# The tone: ALSA's default device is a WAV file here (~/.asoundrc in the test's home), so
# the success tone of a real run can be measured; without a device, the terminal bell.
source "$(dirname "$0")/desktop-lib.sh" "$1"
start_x

capture_to() {
  cat >"$HOME/.asoundrc" <<EOF
pcm.!default {
  type file
  slave.pcm "null"
  file "$1"
  format "wav"
}
EOF
}

# Expects WAV $2 to hold $3 Hz for $4 s (frequency within 2 %, length within 5 ms).
tone_is() {
  if [ ! -s "$2" ]; then
    fail "$1: nothing played"
    return
  fi
  local stat length frequency
  stat=$(sox "$2" -n stat 2>&1)
  length=$(echo "$stat" | awk '/^Length/ {print $3}')
  frequency=$(echo "$stat" | awk '/^Rough +frequency/ {print $3}')
  awk -v l="$length" -v f="$frequency" -v L="$4" -v F="$3" \
    'BEGIN { exit !(l >= L - 0.005 && l <= L + 0.005 && f >= F * 0.98 && f <= F * 1.02) }' ||
    fail "$1: played $frequency Hz for $length s, expected $3 Hz for $4 s"
}

# A successful transfer ends with the tone: 250 Hz, 300 ms.
capture_to "$WORK/run.wav"
run_quillet --send tone
[ "$QUILLET_STATUS" -eq 0 ] || fail "run: Quillet ended with $QUILLET_STATUS"
tone_is "transfer run" "$WORK/run.wav" 250 0.300

# Beep plays what it is asked for, and refuses what Windows refuses.
capture_to "$WORK/a.wav"
"$PROBE" beep 440 100 || fail "Beep(440, 100) reported failure"
tone_is "Beep(440, 100)" "$WORK/a.wav" 440 0.100
capture_to "$WORK/low.wav"
"$PROBE" beep 36 300 && fail "Beep(36, 300) reported success"
[ -e "$WORK/low.wav" ] && fail "Beep(36, 300) played"

# No sound device: the bell on a terminal, and nothing (not even ALSA's complaints) else.
cat >"$HOME/.asoundrc" <<EOF
pcm.!default { type hw card 31 }
EOF
script -qec "'$PROBE' beep 250 300" /dev/null >"$WORK/tty"
grep -q $'\a' "$WORK/tty" || fail "no device: no bell on the terminal"
"$PROBE" beep 250 300 2>"$WORK/err" && fail "no device, no terminal: reported success"
[ -s "$WORK/err" ] && fail "no device: wrote '$(cat "$WORK/err")'"

finish
