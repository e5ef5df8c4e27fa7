# The shell tests' harness (sourced by every one): a throw-away home and config folder, the
# programs and every client a test starts under a time-out, waits with a bound and a
# message, a simulated handheld on a pty, an X server of the test's own, and byte-exact
# checks. Compositors are compositor-lib.sh's, the sound server sound-lib.sh's.
# Usage in a test: source desktop-lib.sh BIN_DIR; ...; finish. BIN_DIR is the build tree,
# or an installed usr/bin with DESKTOP_PROBE naming the build tree's desktop-probe.
set -uo pipefail

BIN=$1
QUILLET=$BIN/Quillet
SETQUILLET=$BIN/SetQuillet
SIM=$BIN/handheld-sim
PROBE=${DESKTOP_PROBE:-$BIN/desktop-probe}
SCRIPTS=$(cd "$(dirname "$0")" && pwd)  # the test scripts
NOBODY_COPY=""

# CF_TEXT's code page follows the locale: 1252 here unless a test names another.
unset LC_ALL LC_CTYPE
export LANG=C.UTF-8
# No desktop until a test starts one: the clipboard is then unavailable, which a run that
# needs it says in this one line, and messages reach standard error only.
unset DISPLAY WAYLAND_DISPLAY
NO_CLIPBOARD='Quillet: error: no clipboard: no display (WAYLAND_DISPLAY and DISPLAY are not set)'

WORK=$(mktemp -d)
export HOME=$WORK/home XDG_RUNTIME_DIR=$WORK/runtime
mkdir -p "$HOME"
# A runtime folder, as every session has (the compositors' and sound servers' sockets go
# there): without one the sound libraries that ALSA's configuration loads make their own
# in /tmp, and leave it there.
mkdir -m 700 "$XDG_RUNTIME_DIR"
# Tones go nowhere unless a test captures them.
echo 'pcm.!default { type null }' >"$HOME/.asoundrc"
XVFB_PID="" SWAY_PID="" SOUND_PIDS=""
BACKGROUND=""  # what else ends with the test: compositors, session buses, relays

cleanup() {
  # The keepers left behind end with their display; a frozen sound server (sound-lib.sh)
  # must be woken to hear its end.
  [ -z "$SOUND_PIDS" ] || kill -CONT $SOUND_PIDS 2>/dev/null
  stop $XVFB_PID $SWAY_PID $BACKGROUND $SOUND_PIDS
  rm -rf "$WORK" $NOBODY_COPY
}
trap cleanup EXIT

# A failure is said at once and written down, so that one in a subshell counts too; the
# end lists them all (a client's time-out may be said where its output was thrown away).
fail() {
  echo "FAIL: $*" >&2
  echo "${*//$'\n'/ }" >>"$WORK/failed"
}

finish() {
  [ -s "$WORK/failed" ] || { echo "all checks passed"; exit 0; }
  echo "$(wc -l <"$WORK/failed") check(s) failed:" >&2
  sed 's/^/  /' "$WORK/failed" >&2
  exit 1
}

# A test that cannot go on: the logs in "$@", then the end.
abort() { cat "$@" >&2; finish; }

# wait_until CONDITION SECONDS [MESSAGE]: evaluates CONDITION every 50 ms until it holds;
# once SECONDS have passed, fails with MESSAGE (without one, returns 1 and says nothing).
wait_until() {
  local until_end=$((${EPOCHREALTIME//[!0-9]/} + $2 * 1000000))
  until eval "$1"; do
    if [ "${EPOCHREALTIME//[!0-9]/}" -ge "$until_end" ]; then
      [ -n "${3:-}" ] && fail "$3"
      return 1
    fi
    sleep 0.05
  done
}

# timed COMMAND...: runs COMMAND (a function too) and leaves its wall time in ms in
# ELAPSED; returns its status.
timed() {
  local timed_from=${EPOCHREALTIME//[!0-9]/}
  "$@"
  local timed_status=$?
  ELAPSED=$(((${EPOCHREALTIME//[!0-9]/} - timed_from) / 1000))
  return $timed_status
}

# bounded SECONDS COMMAND...: COMMAND under a time-out; one still running after SECONDS
# is ended, and is a failure that says so.
bounded() {
  local bound=$1
  shift
  timeout -k 2 "$bound" "$@"
  local status=$?
  [ $status -eq 124 ] || [ $status -eq 137 ] && fail "${1##*/} ${*:2}: still running after $bound s"
  return $status
}

# Every client a test runs in the foreground answers within its bound. (One the test ends
# itself, in the background, runs under timeout, so that its pid is the one signalled.)
for client in xclip xdotool xprop wl-copy wl-paste swaymsg pactl; do
  eval "$client() { bounded 10 $client \"\$@\"; }"
done
probe() { bounded 30 "$PROBE" "$@"; }
# The X11 clipboard's text, and the Wayland clipboard's, within 5 s (more arguments go to
# xclip or wl-paste).
x11_text() { bounded 5 xclip -o -selection clipboard "$@"; }
wl_text() { bounded 5 wl-paste -n "$@"; }
setquillet() { bounded 10 "$SETQUILLET" "$@"; }

# stop PID...: ends background processes (SIGTERM, then SIGKILL after 5 s) and reaps them.
stop() {
  [ $# -gt 0 ] || return 0
  kill "$@" 2>/dev/null
  wait_until "! kill -0 $* 2>/dev/null" 5 || kill -KILL "$@" 2>/dev/null
  wait "$@" 2>/dev/null
}

# A new, empty per-user folder; DEVICES is its device map, LINK the map's com1.
fresh_config() {
  XDG_CONFIG_HOME=$(mktemp -d -p "$WORK" config.XXXXXX)
  export XDG_CONFIG_HOME
  DEVICES=$XDG_CONFIG_HOME/quillet/devices
  LINK=$DEVICES/com1
}
fresh_config

# quillet [ENV...]: one run of Quillet (input /dev/null) within 30 s, in the environment
# that env's words ENV make (-u NAME, NAME=VALUE), under the command in WRAP if set: its
# exit code in QUILLET_STATUS, its standard error in $WORK/quillet.err and QUILLET_ERR,
# its time in ELAPSED (ms).
quillet() {
  timed bounded 30 env "$@" ${WRAP:-} "$QUILLET" </dev/null >/dev/null 2>"$WORK/quillet.err"
  QUILLET_STATUS=$?
  QUILLET_ERR=$(cat "$WORK/quillet.err")
  # A run that had to be ended has failed (bounded said so); every later one would most
  # likely wait its 30 s too, so the test ends here, within its own bound.
  [ $QUILLET_STATUS -ne 124 ] && [ $QUILLET_STATUS -ne 137 ] || finish
  return $QUILLET_STATUS
}

# start_sim LINK OPTIONS...: a simulated handheld (within 30 s) on a pty linked at LINK;
# returns once the link is in place. Its standard output goes to $WORK/handheld, its
# standard error to $WORK/sim.err; wait_sim leaves its exit code in SIM_STATUS.
start_sim() {
  local link=$1
  shift
  timeout 30 "$SIM" --pty "$link" "$@" >"$WORK/handheld" 2>"$WORK/sim.err" &
  SIM_PID=$!
  wait_until '[ -L "$link" ]' 10 "handheld-sim never placed $link"
}
wait_sim() { wait "$SIM_PID"; SIM_STATUS=$?; }

# run_quillet OPTIONS...: Quillet on com1 at 115200 bps against handheld-sim, which gets
# OPTIONS; as quillet, and SIM_STATUS, the handheld's text in $WORK/handheld.
run_quillet() {
  setquillet com1 115200 >/dev/null
  start_sim "$LINK" --quiet --timeout 5000 "$@"
  quillet
  wait_sim
}

# A pty pair that outlives the runs (socat, RELAY): Quillet's end at LINK, the handheld's
# at $WORK/handheld.
start_relay() {
  mkdir -p "$DEVICES"
  rm -f "$LINK"
  socat PTY,link="$LINK",raw,echo=0 PTY,link="$WORK/handheld",raw,echo=0 2>/dev/null &
  RELAY=$!
  BACKGROUND="$BACKGROUND $RELAY"
  wait_until '[ -L "$LINK" ] && [ -L "$WORK/handheld" ]' 5 "socat placed no link"
}

# expect_equal WHAT EXPECTED ACTUAL
expect_equal() { [ "$2" == "$3" ] || fail "$1: expected [$2], got [$3]"; }

# expect_file_bytes WHAT FILE EXPECTED(printf format); reads WHAT FILE COMMAND...: COMMAND
# must print exactly the bytes of FILE; same_bytes WHAT FILE EXPECTED-FILE.
expect_file_bytes() { printf "$3" >"$WORK/expected"; same_bytes "$1" "$2" "$WORK/expected"; }
reads() { "${@:3}" >"$WORK/read"; same_bytes "$1" "$WORK/read" "$2"; }

same_bytes() {
  cmp -s "$2" "$3" || fail "$1: got $(head -c 120 "$2" | od -An -c | tr -s ' ' | head -c 300)" \
    "expected $(head -c 120 "$3" | od -An -c | tr -s ' ' | head -c 300)"
}

# euros N FILE: N euro signs as the handheld sends them (1252) in $WORK/sent, as UTF-8 in FILE.
euros() { head -c "$1" /dev/zero | tr '\0' '\200' >"$WORK/sent"; yes '€' | head -n "$1" | tr -d '\n' >"$2"; }

# A session bus of the test's own (BUS_PID), ended with it.
session_bus() {
  { read -r DBUS_SESSION_BUS_ADDRESS; read -r BUS_PID; } < <(timeout 10 dbus-daemon --session \
    --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS
  BACKGROUND="$BACKGROUND $BUS_PID"
}

# An X server of our own on a free display number; the clipboard is X11's alone. It never
# resets, as a desktop's server with its session's clients never does: a bare Xvfb resets
# whenever its last running client leaves (here a test's xdotool or xclip), and drops the
# connection a program is opening at that moment, which then finds no display.
start_x() {
  unset WAYLAND_DISPLAY
  : >"$WORK/display"
  Xvfb -displayfd 9 -nolisten tcp -noreset -screen 0 1024x768x24 9>"$WORK/display" \
    >"$WORK/xvfb.log" 2>&1 &
  XVFB_PID=$!
  wait_until '[ -s "$WORK/display" ]' 5 "Xvfb did not start" || abort "$WORK/xvfb.log"
  export DISPLAY=":$(head -n1 "$WORK/display")"
}

# Runs "$@" as nobody.
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }

# As root, starts the calling script over as nobody (compositors refuse root or need a
# user of their own), in mount and network namespaces of its own: a private
# /tmp/.X11-unix and the namespace's own abstract sockets keep its X display from
# clashing with anyone's, while the rest of /tmp (where the build may be) stays in view;
# the lock files that number displays stay shared. A checkout nobody cannot read (one in
# root's mode-700 home) is run from a copy of the scripts and programs in a folder of /tmp.
restart_as_nobody() {
  if [ "$(id -u)" -eq 0 ]; then
    local status
    # A chroot whose root is no mount point has no mount namespace of its own to give.
    if ! unshare --mount true 2>"$WORK/unshare"; then
      echo "no mount namespace for a compositor as nobody: $(cat "$WORK/unshare")" \
        "(in a chroot: bind-mount its root onto itself first)" >&2
      exit 1
    fi
    for_nobody || exit 1
    rm -rf "$WORK"
    trap - EXIT
    mkdir -p -m 1777 /tmp/.X11-unix
    unshare --mount --net --fork -- bash -c \
      'mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix &&
       exec setpriv --reuid=nobody --regid=nogroup --clear-groups bash "$@"' \
      bash "$SCRIPTS/${0##*/}" "$BIN"
    status=$?
    rm -rf $NOBODY_COPY
    exit $status
  fi
  local program
  for program in "$QUILLET" "$SETQUILLET" "$SIM"; do
    [ -x "$program" ] || { echo "$(id -un) cannot run $program" >&2; exit 1; }
  done
}


# for_nobody: where nobody cannot read the test scripts or run the programs (a checkout in
# root's mode-700 home), copies both to a folder of /tmp that nobody can read (NOBODY_COPY,
# removed with the test) and points SCRIPTS, BIN and the programs' names at the copies.
for_nobody() {
  as_nobody bash -c '[ -r "$1/desktop-lib.sh" ] && [ -r "$2" ] && shift 2 && for f; do
    [ -x "$f" ] || exit 1; done' bash "$SCRIPTS" "$SCRIPTS/${0##*/}" \
    "$QUILLET" "$SETQUILLET" "$SIM" "$PROBE" 2>/dev/null && return 0
  NOBODY_COPY=$(mktemp -d -p /tmp quillet-nobody.XXXXXX)
  chmod 755 "$NOBODY_COPY" && mkdir "$NOBODY_COPY/bin" &&
    cp "$SCRIPTS"/*.sh "$SCRIPTS"/*.py "$NOBODY_COPY/" &&
    cp "$QUILLET" "$SETQUILLET" "$SIM" "$PROBE" "$BIN"/*.so "$NOBODY_COPY/bin/" ||
    { fail "cannot copy the test for nobody to $NOBODY_COPY"; return 1; }
  SCRIPTS=$NOBODY_COPY BIN=$NOBODY_COPY/bin
  QUILLET=$BIN/Quillet SETQUILLET=$BIN/SetQuillet SIM=$BIN/handheld-sim
  export DESKTOP_PROBE=$BIN/${PROBE##*/}
  PROBE=$DESKTOP_PROBE
}

# proc_field PID N: field N after the name in /proc/PID/stat (1 state, 4 session).
proc_field() {
  local line field=$2
  read -r line 2>/dev/null <"/proc/$1/stat" || return 1
  set -- ${line##*") "}
  echo "${!field}"
}

# The live processes named $1 of this test's runs (zombies not counted). /proc only: no
# procps.
servers() {
  local comm dir pid
  # One grep over all the names: a program per process takes seconds on a busy machine.
  for comm in $(grep -slx -- "$1" /proc/[0-9]*/comm); do
    dir=${comm%/comm}
    pid=${dir#/proc/}
    [ "$(proc_field "$pid" 1)" = Z ] && continue
    # grep reads to the end (no -q): tr cut off by SIGPIPE would fail the pipeline.
    tr '\0' '\n' 2>/dev/null <"$dir/environ" |
      grep -x "XDG_CONFIG_HOME=$XDG_CONFIG_HOME" >/dev/null && echo "$pid"
  done
}

# Expects one keeper, detached from the caller: a session of its own, standard streams on
# /dev/null and nothing else but its connections (sockets). NAME in $1; its pid in KEEPER
# (empty when there was not exactly one).
check_keeper() {
  local fd
  KEEPER=$(keepers)
  [ "$(echo "$KEEPER" | wc -w)" -eq 1 ] ||
    { fail "$1: expected one keeper, found: $KEEPER"; KEEPER=""; return 1; }
  [ "$(proc_field "$KEEPER" 4)" = "$KEEPER" ] || fail "$1: keeper shares a session"
  for fd in 0 1 2; do
    [ "$(readlink "/proc/$KEEPER/fd/$fd")" = /dev/null ] || fail "$1: keeper holds fd $fd"
  done
  for fd in "/proc/$KEEPER"/fd/*; do
    case $(readlink "$fd") in
      /dev/null | socket:*) ;;
      *) fail "$1: keeper holds $(readlink "$fd")" ;;
    esac
  done
}

# The keepers serving our display; none left.
keepers() { servers quillet-keeper; }
no_keepers() { [ -z "$(keepers)" ]; }

# hostile_owner NAME COMMAND...: with COMMAND owning the clipboard (it stays, and says
# "ready"; with STOPPED set it is stopped instead once it had half a second), a run from
# the handheld ends within 10 s, within 64 MiB (QUILLET_PEAK_KIB: a build whose allocator
# holds freed memory back, the sanitizers', needs more), with nothing sent.
hostile_owner() {
  local name=$1 owner
  shift
  timeout 60 "$@" <<<stopped >"$WORK/owner.out" 2>&1 &
  owner=$!
  if [ -n "${STOPPED:-}" ]; then
    sleep 0.5
    pkill -STOP -P "$owner"
  else
    wait_until "grep -qx ready $WORK/owner.out" 5 "$name: not ready"
  fi
  WRAP="$PROBE peak $WORK/peak" run_quillet --receive
  pkill -CONT -P "$owner"
  stop "$owner"
  local peak=$(cat "$WORK/peak" 2>/dev/null)
  [ "$QUILLET_STATUS" -eq 0 ] || fail "$name: Quillet ended with $QUILLET_STATUS"
  [ ! -s "$WORK/handheld" ] || fail "$name: the handheld got $(head -c 40 "$WORK/handheld")"
  [ "$ELAPSED" -lt 10000 ] || fail "$name: the run took $ELAPSED ms"
  [ "${peak:-65536}" -lt "${QUILLET_PEAK_KIB:-65536}" ] || fail "$name: Quillet's peak size was ${peak:-unknown} KiB"
  echo "$name: the run took $ELAPSED ms, at most $peak KiB"
}

# A reader that asks for the clipboard's text and does not read it: desktop-probe stall
# with the arguments in "$@", its output in STALL_OUT, its pid in STALL_PID. Waits up to
# 5 s for the line $STALL_SAYS (default: asked).
start_stall() {
  STALL_OUT=$WORK/stall.$#.$RANDOM
  timeout 60 "$PROBE" stall "$@" >"$STALL_OUT" 2>&1 &
  STALL_PID=$!
  wait_until 'grep -qx "${STALL_SAYS:-asked}" "$STALL_OUT"' 5 && return 0
  fail "stall $*: never said ${STALL_SAYS:-asked} ($(cat "$STALL_OUT"))"
  return 1
}

# Behind one, three, and one slow stuck reader on clipboard $1 (x11 or wayland), the
# command in the rest of the arguments reads the whole text, $WORK/long.expected, within
# 2 s. The slow reader, last, is left running (STALL_PID, STALL_OUT).
second_reader_behind_stuck() {
  local clipboard=$1 case count kind
  shift
  for case in "1 stuck" "3 stuck" "1 slow"; do
    read -r count kind <<<"$case"
    start_stall "$clipboard" "$count" "$kind" || continue
    timed "$@" >"$WORK/second"
    same_bytes "$clipboard, behind $case: the second reader" "$WORK/second" "$WORK/long.expected"
    [ "$ELAPSED" -lt 2000 ] || fail "$clipboard, behind $case: the second reader took $ELAPSED ms"
    echo "$clipboard, behind $case: the second reader took $ELAPSED ms"
    [ "$kind" = slow ] || stop "$STALL_PID"
  done
}

# check_exchanges SETTING ENTRY EXCHANGE...: each exchange is "handheld-sim options;
# Quillet's message[;its exit code;handheld-sim's]" (the codes 0 unless given). For each:
# a fresh store set with SetQuillet SETTING (none if empty), the handheld on the device
# map's ENTRY, one Quillet run, which must end with that exit code and exactly that
# message (or none), well before the 10 s read time-out; handheld-sim with its code.
check_exchanges() {
  local setting entry=$2 exchange options message code sim_code
  read -ra setting <<<"$1"
  shift 2
  for exchange in "$@"; do
    IFS=';' read -r options message code sim_code <<<"$exchange"
    read -ra argv <<<"$options"
    fresh_config
    [ ${#setting[@]} -eq 0 ] || setquillet "${setting[@]}" >/dev/null
    start_sim "$DEVICES/$entry" "${argv[@]}"
    quillet
    expect_equal "$1/$entry [$options]: exit code" "${code:-0}" "$QUILLET_STATUS"
    expect_equal "$1/$entry [$options]: message" "$message" "$QUILLET_ERR"
    wait_sim
    expect_equal "$1/$entry [$options]: handheld-sim's exit" "${sim_code:-0}" "$SIM_STATUS"
    [ "$ELAPSED" -lt 5000 ] || fail "$1/$entry [$options]: took $ELAPSED ms"
  done
}
