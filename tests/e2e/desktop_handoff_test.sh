#!/usr/bin/env bash
# The keeper's hand-off to a clipboard manager: one that takes the text over (a stand-in,
# and xfsettingsd: the keeper ends then), one that says so without taking it (the keeper
# stays), one that never answers (the keeper waits a bounded time, then stays; the run
# never waits), our text read back as CF_TEXT, and the one line of a run that reaches no
# clipboard (no display, a display that refuses us, none answering).
source "$(dirname "$0")/desktop-lib.sh" "$1"
start_x

# manager KIND TEXT: the probe as a clipboard manager that acts KIND (MANAGER its pid,
# $WORK/manager what it says), then a run that sends TEXT, which must not wait for it.
manager() {
  timeout 30 "$PROBE" manager "$1" >"$WORK/manager" &
  MANAGER=$!
  sleep 0.3
  timed run_quillet --send "$2"
  [ "$ELAPSED" -lt 1500 ] || fail "$1 manager: the run took $ELAPSED ms"
}

# A manager that answers: the keeper hands the text over and ends.
manager answer $'saved\ntext \xe9'
wait "$MANAGER" || fail "manager: saved nothing"
expect_file_bytes "manager's copy" "$WORK/manager" 'ready\nsaved\ntext \xc3\xa9'
wait_until no_keepers 3 "manager took the text, yet a keeper runs"

# A real one: Xfce's settings daemon, on a session bus of the test's own, keeps the text
# after the run, and no keeper is needed.
session_bus
xfsettingsd --no-daemon --disable-wm-check >"$WORK/xfsettingsd.log" 2>&1 &
xfsettingsd=$!
wait_until 'probe owned CLIPBOARD_MANAGER' 10 "xfsettingsd never became the clipboard manager"
run_quillet --send $'kept by\nxfsettingsd'
wait_until no_keepers 3 "xfsettingsd took no text: a keeper runs"
[ "$(x11_text)" = $'kept by\nxfsettingsd' ] || fail "xfsettingsd: text lost"
stop "$xfsettingsd" "$BUS_PID"
unset DBUS_SESSION_BUS_ADDRESS

# A manager that says it saved the text without ever asking for it (as some window
# managers' stand-in owners of CLIPBOARD_MANAGER do): its word is hollow, so a keeper
# serves the text, and the answer still ended the wait at once. The manager asks for the
# text along with its answer: that request reaches Quillet with the answer, and the
# keeper must serve it at once, before it sleeps.
manager hollow $'hollow\nhand-off'
wait "$MANAGER"
expect_file_bytes "request beside the manager's answer" "$WORK/manager" 'ready\nhollow\nhand-off'
[ -n "$(keepers)" ] || fail "hollow manager: no keeper"
[ "$(x11_text)" = $'hollow\nhand-off' ] || fail "hollow manager: text lost"
echo taken | xclip -i -selection clipboard 2>/dev/null
wait_until no_keepers 3 "hollow manager: the keeper outlived its clipboard"

# A manager that never answers: the run does not wait for it; the keeper serves the text
# meanwhile, and after its bounded wait carries on.
manager silent kept
[ "$(x11_text)" = kept ] || fail "silent manager: text not served"
sleep 2.5
stop "$MANAGER"
[ -n "$(keepers)" ] || fail "silent manager: no keeper"
[ "$(x11_text)" = kept ] || fail "silent manager: text lost"

# Our own text read back through the clipboard functions comes back as CF_TEXT.
printf 'a\r\nb\rc\x80' | probe set
probe get >"$WORK/get"
expect_file_bytes "set then get" "$WORK/get" 'a\r\nb\rc\x80'

# No clipboard to be had: the run says so in one line (stderr, and the system log), once,
# and ends as it would have. CASE, the environment, and what the line must say.
no_clipboard() {
  local name=$1 expected=$2
  shift 2
  setquillet com1 115200 >/dev/null
  start_sim "$LINK" --quiet --timeout 5000 --send lost
  quillet -u WAYLAND_DISPLAY "$@"
  wait_sim
  [ "$QUILLET_STATUS" -eq 0 ] || fail "$name: Quillet ended with $QUILLET_STATUS"
  expect_file_bytes "$name: standard error" "$WORK/quillet.err" "${expected//%/%%}\n"
  bounded 10 env -u WAYLAND_DISPLAY "$@" "$PROBE" get >/dev/null 2>&1
  [ $? -eq 3 ] || fail "$name: clipboard text offered"
}
# A display that refuses us: the server wants a cookie that our authority file lacks.
touch "$WORK/server.auth" "$WORK/empty.auth"
xauth -f "$WORK/server.auth" add :0 . "$(mcookie)"
: >"$WORK/refusing"
Xvfb -displayfd 9 -auth "$WORK/server.auth" -nolisten tcp 9>"$WORK/refusing" >/dev/null 2>&1 &
refusing=$!
wait_until '[ -s "$WORK/refusing" ]' 5 "the refusing Xvfb did not start"
refused=":$(head -n1 "$WORK/refusing")"
no_clipboard "no display" "$NO_CLIPBOARD" -u DISPLAY
no_clipboard "refused display" \
  "Quillet: error: no clipboard: cannot open display $refused (Authorization required, but no authorization protocol specified)" \
  DISPLAY="$refused" XAUTHORITY="$WORK/empty.auth"
no_clipboard "no server" \
  "Quillet: error: no clipboard: cannot open display :$((${DISPLAY#:} + 1000)) (no X server answers there)" \
  DISPLAY=":$((${DISPLAY#:} + 1000))"
no_clipboard "no compositor" \
  "Quillet: error: no clipboard: cannot connect to Wayland display quillet-none (No such file or directory); DISPLAY is not set" \
  -u DISPLAY WAYLAND_DISPLAY=quillet-none XDG_RUNTIME_DIR="$WORK"
stop "$refusing"

finish
