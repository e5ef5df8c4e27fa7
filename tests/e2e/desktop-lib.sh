# Shared by the desktop tests (sourced): an X server of their own, a throw-away home and
# config folder, Quillet against handheld-sim over a pty, and byte-exact checks.
# Usage in a test: source desktop-lib.sh BUILD_DIR; ...; finish
set -uo pipefail

BIN=$1
QUILLET=$BIN/Quillet
SETQUILLET=$BIN/SetQuillet
SIM=$BIN/handheld-sim
PROBE=$BIN/desktop-probe

WORK=$(mktemp -d)
export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/config
mkdir -p "$HOME" "$XDG_CONFIG_HOME"
# Tones go nowhere unless a test captures them.
echo 'pcm.!default { type null }' >"$HOME/.asoundrc"
LINK=$XDG_CONFIG_HOME/quillet/devices/com1
FAILURES=0
XVFB_PID=""
PULSE_PID=""

cleanup() {
  # The keepers left behind end with their display.
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  # A frozen server must be woken to hear its end.
  [ -n "$PULSE_PID" ] && kill -CONT "$PULSE_PID" 2>/dev/null && kill "$PULSE_PID" 2>/dev/null &&
    wait "$PULSE_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  FAILURES=$((FAILURES + 1))
}

finish() {
  [ "$FAILURES" -eq 0 ] && echo "all passed" && exit 0
  echo "$FAILURES failed" >&2
  exit 1
}

# An X server of our own on a free display number.
start_x() {
  : >"$WORK/display"
  Xvfb -displayfd 9 -nolisten tcp -screen 0 1024x768x24 9>"$WORK/display" \
    >"$WORK/xvfb.log" 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do
    if [ -s "$WORK/display" ]; then
      export DISPLAY=":$(head -n1 "$WORK/display")"
      return 0
    fi
    sleep 0.05
  done
  echo "Xvfb did not start" >&2
  cat "$WORK/xvfb.log" >&2
  exit 1
}

# A PulseAudio server of our own (private runtime folder, no autospawn) with one null sink,
# reached as on a desktop: ALSA's default device through Debian's pulse plugin. Root
# needs no flag for a per-user server, only the warning it prints.
start_pulse() {
  export XDG_RUNTIME_DIR=$WORK/runtime PULSE_RUNTIME_PATH=$WORK/runtime/pulse
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
  mkdir -p "$XDG_CONFIG_HOME/pulse"
  echo "autospawn = no" >"$XDG_CONFIG_HOME/pulse/client.conf"
  rm -f "$HOME/.asoundrc"
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    --load="module-null-sink sink_name=quillet" --load=module-native-protocol-unix \
    >"$WORK/pulse.log" 2>&1 &
  PULSE_PID=$!
  for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "PulseAudio did not start" >&2
  cat "$WORK/pulse.log" >&2
  exit 1
}

# Records what the null sink plays (16-bit mono, 48 kHz) to file $1 until stopped
# (RECORDER_PID). Its low latency is what lets the sink play in real time, once a first
# sound (100 ms of silence here) has woken the sink: from then on the recording runs on
# without a gap, so a sample's offset tells its time.
record_monitor() {
  pacat --record --raw --format=s16le --rate=48000 --channels=1 --latency-msec=2 \
    -d quillet.monitor >"$1" 2>/dev/null &
  RECORDER_PID=$!
  sleep 0.2
  head -c 9600 /dev/zero | pacat --raw --format=s16le --rate=48000 --channels=1 -d quillet
}

# Expects file $2 to hold exactly the bytes of file $3.
same_bytes() {
  if ! cmp -s "$2" "$3"; then
    fail "$1: got $(head -c 120 "$2" | od -An -c | tr -s ' ' | head -c 300)" \
      "expected $(head -c 120 "$3" | od -An -c | tr -s ' ' | head -c 300)"
  fi
}

# proc_field PID N: field N after the name in /proc/PID/stat (1 state, 4 session).
proc_field() {
  local line field=$2
  read -r line <"/proc/$1/stat" 2>/dev/null || return 1
  set -- ${line##*") "}
  echo "${!field}"
}

# The live processes named $1 on our display (zombies not counted). /proc only: no procps.
servers() {
  local dir pid
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    [ "$(cat "$dir/comm" 2>/dev/null)" = "$1" ] || continue
    [ "$(proc_field "$pid" 1)" = Z ] && continue
    tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qx "DISPLAY=$DISPLAY" && echo "$pid"
  done
}

# The keepers serving our display.
keepers() { servers quillet-keeper; }

# Waits up to $1 seconds for our keepers to be gone.
keepers_gone_within() {
  local tries=$(($1 * 10))
  for _ in $(seq "$tries"); do
    [ -z "$(keepers)" ] && return 0
    sleep 0.1
  done
  return 1
}

wait_link() {
  for _ in $(seq 200); do
    [ -L "$LINK" ] && return 0
    sleep 0.05
  done
  return 1
}

# Quillet against handheld-sim, which gets the options in "$@". The sim's stdout lands
# in $WORK/handheld, Quillet's stderr in $WORK/quillet.err; Quillet's exit code in
# QUILLET_STATUS.
run_quillet() {
  "$SETQUILLET" com1 115200 >/dev/null
  "$SIM" --quiet --timeout 5000 --pty "$LINK" "$@" >"$WORK/handheld" 2>"$WORK/sim.err" &
  local sim=$!
  wait_link || fail "handheld-sim placed no link"
  "$QUILLET" </dev/null >/dev/null 2>"$WORK/quillet.err"
  QUILLET_STATUS=$?
  wait "$sim"
  SIM_STATUS=$?
}
