#!/usr/bin/env bash
# The tone: a real run's, measured in the WAV file ALSA's default device writes, and the
# terminal bell without a device; then on a sound server of our own (a null sink), the tone
# heard at its monitor, and runs that a frozen or missing server cannot hold up.
source "$(dirname "$0")/desktop-lib.sh" "$1"
source "$(dirname "$0")/sound-lib.sh"
start_x

capture_to() { echo "pcm.!default { type file slave.pcm null file \"$1\" format wav }" >"$HOME/.asoundrc"; }

# Expects WAV $2 to hold $3 Hz for $4 s (frequency within 2 %, length within 5 ms), once
# the tone helpers have ended (up to 2 s): one closes its device (completing a WAV file)
# after the tone has sounded and Beep has returned.
tone_is() {
  wait_until '[ -z "$(servers quillet-tone)" ]' 2
  [ -s "$2" ] || { fail "$1: nothing played"; return; }
  local length frequency
  read -r length frequency < <(sox "$2" -n stat 2>&1 |
    awk '/^Length/ { l = $3 } /^Rough +frequency/ { f = $3 } END { print l, f }')
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
probe beep 440 100 || fail "Beep(440, 100) reported failure"
tone_is "Beep(440, 100)" "$WORK/a.wav" 440 0.100
capture_to "$WORK/low.wav"
probe beep 36 300 && fail "Beep(36, 300) reported success"
[ -e "$WORK/low.wav" ] && fail "Beep(36, 300) played"

# No sound device: the bell on a terminal, and nothing (not even ALSA's complaints) else.
echo 'pcm.!default { type hw card 31 }' >"$HOME/.asoundrc"
bounded 10 script -qec "'$PROBE' beep 250 300" /dev/null >"$WORK/tty"
grep -q $'\a' "$WORK/tty" || fail "no device: no bell on the terminal"
probe beep 250 300 2>"$WORK/err" && fail "no device, no terminal: reported success"
[ -s "$WORK/err" ] && fail "no device: wrote '$(cat "$WORK/err")'"

# ---- On a desktop sound server ----------------------------------------------------------
start_sound_server
echo "sound server: $SOUND_SERVER"
# The handheld speaks from the far end of a pty pair that outlives the runs, so a run that
# left the port held (a helper that kept it) would stop the next one.
setquillet com1 115200 >/dev/null
start_relay
sleep 0.1

# line_run TEXT: Quillet while the handheld sends TEXT. QUILLET_STATUS, ELAPSED (ms).
line_run() {
  timeout 30 "$SIM" --quiet --timeout 5000 "$WORK/handheld" --send "$1" >/dev/null 2>&1 &
  local sim=$!
  sleep 0.05
  quillet
  stop "$sim"
}

# Expects run $1 to have ended with exit 0, within $2 ms (and QUILLET_TIME_SLACK_MS, what a
# slower build adds), leaving text $3 on the clipboard.
run_ended() {
  [ "$QUILLET_STATUS" -eq 0 ] || fail "$1: Quillet ended with $QUILLET_STATUS"
  [ "$ELAPSED" -lt $(($2 + ${QUILLET_TIME_SLACK_MS:-0})) ] || fail "$1: the run took $ELAPSED ms"
  [ -n "$QUILLET_ERR" ] && fail "$1: Quillet said '$QUILLET_ERR'"
  [ "$(x11_text)" = "$3" ] || fail "$1: the clipboard lost the text"
}

# Index of the first and the last loud sample of recording $1, if any.
loud_span() {
  od -An -v -td2 -w2 "$1" |
    awk '$1 > 1000 || $1 < -1000 { if (!n) first = NR - 1; n = 1; last = NR - 1 }
         END { if (n) print first, last }'
}

# The tone of a run, heard at the monitor: 250 Hz for 300 ms, and all of it heard by the
# time Quillet ended (the recorder's own latency aside).
record_monitor "$WORK/monitor.raw"
line_run heard
heardAtExit=$(stat -c %s "$WORK/monitor.raw")
sleep 0.3
run_ended "played" 1500 heard
read -r first last < <(loud_span "$WORK/monitor.raw")
if [ -z "${last:-}" ]; then
  fail "played: nothing reached the monitor"
else
  sox -t raw -r 48000 -e signed -b 16 -c 1 "$WORK/monitor.raw" "$WORK/heard.wav" \
    trim "${first}s" "=$((last + 1))s"
  tone_is "played" "$WORK/heard.wav" 250 0.300
  [ $((last * 2)) -le $((heardAtExit + 4800)) ] ||
    fail "played: the tone ran on $(((last * 2 - heardAtExit) / 96)) ms after Quillet ended"
fi
# The keeper left serving the text holds nothing of the sound: no libasound, and no socket
# but its display connection. (The keeper of an earlier run ends once this one took over.)
wait_until 'keeper=$(keepers); [ "$(echo "$keeper" | wc -w)" -le 1 ]' 2
[ -n "$keeper" ] || fail "played: no keeper serves the text"
grep -q asound "/proc/$keeper/maps" 2>/dev/null && fail "keeper: libasound is mapped"
sockets=$(find "/proc/$keeper/fd" -lname 'socket:*' 2>/dev/null | wc -l)
[ -z "$keeper" ] || [ "$sockets" -eq 1 ] || fail "keeper: $sockets sockets open"

# A frozen server, before the run or half-way through the tone: the tone is abandoned
# within its time and 1 s, the run ends as usual, and the next run (the server still
# frozen) gets the port.
for when in before halfway; do
  sleep 0.2  # the last tone's end leaves the recording
  if [ $when = before ]; then
    freeze_sound_server
    # A Beep with nothing prepared keeps the same deadline.
    timed probe beep 250 300 || fail "frozen: Beep reported failure"
    [ "$ELAPSED" -lt $((1800 + ${QUILLET_TIME_SLACK_MS:-0})) ] || fail "frozen: Beep took $ELAPSED ms"
  fi
  (line_run "frozen $when"; echo "$QUILLET_STATUS $ELAPSED" >"$WORK/frozen.result") &
  run=$!
  if [ $when = halfway ]; then
    wait_until 'tail -c 4800 "$WORK/monitor.raw" | od -An -v -td2 -w2 |
      awk "\$1 > 1000 || \$1 < -1000 { found = 1; exit } END { exit !found }"' 5 \
      "frozen halfway: the tone never started"
    sleep 0.1
    freeze_sound_server
  fi
  wait "$run"
  read -r QUILLET_STATUS ELAPSED <"$WORK/frozen.result"
  run_ended "frozen $when" 1800 "frozen $when"
  line_run "still frozen $when"
  run_ended "still frozen $when" 1800 "still frozen $when"
  thaw_sound_server
done
stop "$RECORDER_PID"

# Neither SetQuillet nor a run without a valid setting starts the tone helper.
for command in "$QUILLET" "$SETQUILLET com1 115200"; do  # in this order: no setting yet
  XDG_CONFIG_HOME=$WORK/unset bounded 30 strace -f -qq -s 32 -e trace=prctl -o "$WORK/forks" \
    env -u DISPLAY $command </dev/null >/dev/null 2>&1
  grep -q quillet-tone "$WORK/forks" && fail "${command##*/}: started the tone helper"
done

# No server at all is no slower than ALSA's null device (a generous margin: a run held
# up by the missing server would take a second more).
stop_sound_server
for device in none null none null none null; do
  rm -f "$HOME/.asoundrc"
  [ $device = none ] || echo 'pcm.!default { type null }' >"$HOME/.asoundrc"
  line_run "$device"
  run_ended "no server ($device)" 1500 "$device"
  echo "$ELAPSED" >>"$WORK/$device.ms"
done
median() { sort -n "$1" | sed -n 2p; }
[ "$(median "$WORK/none.ms")" -le $(($(median "$WORK/null.ms") + 250)) ] ||
  fail "no server: runs took $(median "$WORK/none.ms") ms," \
    "$(median "$WORK/null.ms") ms with the null device"

finish
