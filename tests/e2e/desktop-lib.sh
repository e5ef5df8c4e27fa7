# Shared by the desktop tests (sourced): an X server of their own, a throw-away home and
# config folder, Quillet against handheld-sim over a pty, and byte-exact checks.
# Usage in a test: source desktop-lib.sh BIN_DIR; ...; finish. BIN_DIR is the build tree,
# or an installed usr/bin with DESKTOP_PROBE naming the build tree's desktop-probe.
set -uo pipefail

BIN=$1
QUILLET=$BIN/Quillet
SETQUILLET=$BIN/SetQuillet
SIM=$BIN/handheld-sim
PROBE=${DESKTOP_PROBE:-$BIN/desktop-probe}

WORK=$(mktemp -d)
export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/config
mkdir -p "$HOME" "$XDG_CONFIG_HOME"
# Tones go nowhere unless a test captures them.
echo 'pcm.!default { type null }' >"$HOME/.asoundrc"
LINK=$XDG_CONFIG_HOME/quillet/devices/com1
FAILURES=0
XVFB_PID=""

cleanup() {
  # The keepers left behind end with their display.
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
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

# The live keepers serving our display (zombies not counted). /proc only: no procps.
keepers() {
  local dir pid
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    [ "$(cat "$dir/comm" 2>/dev/null)" = quillet-keeper ] || continue
    [ "$(proc_field "$pid" 1)" = Z ] && continue
    tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qx "DISPLAY=$DISPLAY" && echo "$pid"
  done
}

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
