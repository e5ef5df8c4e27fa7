# Shared by the end-to-end scripts: a fresh per-user folder for every test, the programs
# under test, a simulated handheld on a pty, and checks that name what went wrong.
# The programs come from QUILLET, SETQUILLET and HANDHELD_SIM (set by ctest).
set -u

: "${QUILLET:?}" "${SETQUILLET:?}" "${HANDHELD_SIM:?}"
# No desktop: the clipboard is unavailable and messages reach standard error only. A run
# that needs the clipboard says so in this one line.
unset DISPLAY WAYLAND_DISPLAY
NO_CLIPBOARD='Quillet: error: no clipboard: no display (WAYLAND_DISPLAY and DISPLAY are not set)'

failures=0
scratch=$(mktemp -d)
sims=()
cleanup() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# A new, empty per-user folder.
fresh_config() {
  XDG_CONFIG_HOME=$(mktemp -d -p "$scratch")
  export XDG_CONFIG_HOME
  devices=$XDG_CONFIG_HOME/quillet/devices
}

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_equal WHAT EXPECTED ACTUAL
expect_equal() {
  [ "$2" == "$3" ] || fail "$1: expected [$2], got [$3]"
}

# expect_file_bytes WHAT FILE EXPECTED(printf format)
expect_file_bytes() {
  printf "$3" >"$scratch/expected"
  cmp -s "$scratch/expected" "$2" ||
    fail "$1: expected $(od -An -c "$scratch/expected" | tr -s ' \n' ' ') got $(od -An -c "$2" | tr -s ' \n' ' ')"
}

# start_sim LINK [handheld-sim options...]: a simulated handheld on a pty linked at LINK;
# returns once the link is in place. Its standard error goes to $scratch/sim.err, its
# standard output to $scratch/sim.out; wait_sim gives its exit status.
start_sim() {
  local link=$1
  shift
  rm -f "$scratch/sim.err" "$scratch/sim.out"
  "$HANDHELD_SIM" --pty "$link" "$@" >"$scratch/sim.out" 2>"$scratch/sim.err" &
  sim_pid=$!
  sims+=("$sim_pid")
  for _ in $(seq 100); do
    [ -L "$link" ] && return 0
    sleep 0.05
  done
  fail "handheld-sim never placed $link"
}

wait_sim() {
  wait "$sim_pid"
}

# wait_for_line FILE TEXT: up to 5 s for TEXT to show up in FILE.
wait_for_line() {
  for _ in $(seq 100); do
    grep -qF "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  fail "never saw [$2] in $1"
}

# run_quillet: runs Quillet; its exit status in $status, standard error in $errors.
run_quillet() {
  "$QUILLET" 2>"$scratch/quillet.err"
  status=$?
  errors=$(cat "$scratch/quillet.err")
}

# check_exchanges SETTING ENTRY EXCHANGE...: each exchange is "handheld-sim options;
# Quillet's message". For each: a fresh store set with SetQuillet SETTING, the handheld
# on the device map's ENTRY, one Quillet run, which must end with exit code 0, exactly
# that message (or none) and well before the 10 s read time-out; handheld-sim must end
# with 0.
check_exchanges() {
  local setting=$1 entry=$2 exchange options message started elapsed
  shift 2
  for exchange in "$@"; do
    IFS=';' read -r options message <<<"$exchange"
    read -ra argv <<<"$options"
    read -ra setting_argv <<<"$setting"
    fresh_config
    "$SETQUILLET" "${setting_argv[@]}"
    start_sim "$devices/$entry" "${argv[@]}"
    started=$(date +%s%N)
    run_quillet
    elapsed=$((($(date +%s%N) - started) / 1000000))
    expect_equal "$entry [$options]: exit code" 0 "$status"
    expect_equal "$entry [$options]: message" "$message" "$errors"
    wait_sim
    expect_equal "$entry [$options]: handheld-sim's exit" 0 "$?"
    [ "$elapsed" -lt 5000 ] || fail "$entry [$options]: took $elapsed ms"
  done
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}
