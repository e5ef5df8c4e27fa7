#!/usr/bin/env bash
# The clipboard's rules and its hand-off at exit: a clipboard manager that takes the text
# The clipboard's rules and its hand-off at exit: a clipboard manager that takes the text
# over (a stand-in, and xfsettingsd: no keeper then), one that says so without taking it
# (a keeper all the same), one that never answers (bounded wait, then a keeper), the
# clipboard functions' refusals, and the one line of a run that reaches no clipboard (no
# display, a display that refuses us, none answering).
source "$(dirname "$0")/desktop-lib.sh" "$1"
start_x

milliseconds() { echo $(($(date +%s%N) / 1000000)); }

# A manager that answers: Quillet hands the text over and leaves no keeper.
"$PROBE" manager answer >"$WORK/manager" &
manager=$!
sleep 0.3
start=$(milliseconds)
run_quillet --send $'saved\ntext \xe9'
elapsed=$(($(milliseconds) - start))
wait "$manager" || fail "manager: saved nothing"
printf 'ready\nsaved\ntext \xc3\xa9' >"$WORK/manager.expected"
same_bytes "manager's copy" "$WORK/manager" "$WORK/manager.expected"
[ -z "$(keepers)" ] || fail "manager took the text, yet a keeper runs"
[ "$elapsed" -lt 1500 ] || fail "manager: the run took $elapsed ms"

# A real one: Xfce's settings daemon, on a session bus of the test's own, keeps the text
# after the run, and no keeper is needed.
{ read -r DBUS_SESSION_BUS_ADDRESS; read -r bus; } < <(dbus-daemon --session --fork \
  --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS
xfsettingsd --no-daemon --disable-wm-check >"$WORK/xfsettingsd.log" 2>&1 &
xfsettingsd=$!
for _ in $(seq 100); do
  "$PROBE" owned CLIPBOARD_MANAGER && break
  sleep 0.1
done
"$PROBE" owned CLIPBOARD_MANAGER || fail "xfsettingsd never became the clipboard manager"
run_quillet --send $'kept by\nxfsettingsd'
[ -z "$(keepers)" ] || fail "xfsettingsd took no text: a keeper runs"
[ "$(xclip -o -selection clipboard)" = $'kept by\nxfsettingsd' ] || fail "xfsettingsd: text lost"
kill "$xfsettingsd" "$bus"
wait "$xfsettingsd" 2>/dev/null
unset DBUS_SESSION_BUS_ADDRESS

# A manager that says it saved the text without ever asking for it (as some window
# managers' stand-in owners of CLIPBOARD_MANAGER do): its word is hollow, so a keeper
# serves the text, and the answer still ended the wait at once. The manager asks for the
# text along with its answer: that request reaches Quillet with the answer, and the
# keeper must serve it at once, before it sleeps.
"$PROBE" manager hollow >"$WORK/manager" &
manager=$!
sleep 0.3
start=$(milliseconds)
run_quillet --send $'hollow\nhand-off'
elapsed=$(($(milliseconds) - start))
wait "$manager"
printf 'ready\nhollow\nhand-off' >"$WORK/manager.expected"
same_bytes "request beside the manager's answer" "$WORK/manager" "$WORK/manager.expected"
[ -n "$(keepers)" ] || fail "hollow manager: no keeper"
[ "$(xclip -o -selection clipboard)" = $'hollow\nhand-off' ] || fail "hollow manager: text lost"
[ "$elapsed" -lt 1500 ] || fail "hollow manager: the run took $elapsed ms"
echo taken | xclip -i -selection clipboard 2>/dev/null
keepers_gone_within 3 || fail "hollow manager: the keeper outlived its clipboard"

# A manager that never answers: Quillet waits a bounded time, then leaves a keeper.
"$PROBE" manager silent >/dev/null &
manager=$!
sleep 0.3
start=$(milliseconds)
run_quillet --send kept
elapsed=$(($(milliseconds) - start))
kill "$manager"
[ "$elapsed" -ge 1800 ] && [ "$elapsed" -lt 5000 ] || fail "silent manager: waited $elapsed ms"
[ -n "$(keepers)" ] || fail "silent manager: no keeper"
[ "$(xclip -o -selection clipboard)" = kept ] || fail "silent manager: text lost"

# The functions that need an open clipboard refuse without one, as Windows does.
"$PROBE" rules >"$WORK/rules" || fail "clipboard rules: $(grep ALLOWED "$WORK/rules")"

# Our own text read back through the clipboard functions comes back as CF_TEXT.
printf 'a\r\nb\rc\x80' | "$PROBE" set
"$PROBE" get >"$WORK/get"
printf 'a\r\nb\rc\x80' >"$WORK/get.expected"
same_bytes "set then get" "$WORK/get" "$WORK/get.expected"

# No clipboard to be had: the run says so in one line (stderr, and the system log), once,
# and ends as it would have. CASE, the environment, and what the line must say.
no_clipboard() {
  local name=$1 expected=$2
  shift 2
  "$SETQUILLET" com1 115200 >/dev/null
  "$SIM" --quiet --timeout 5000 --pty "$LINK" --send lost >/dev/null 2>&1 &
  local sim=$!
  wait_link
  env -u WAYLAND_DISPLAY "$@" "$QUILLET" </dev/null 2>"$WORK/err"
  local status=$?
  wait "$sim"
  [ "$status" -eq 0 ] || fail "$name: Quillet ended with $status"
  printf '%s\n' "$expected" >"$WORK/err.expected"
  same_bytes "$name: standard error" "$WORK/err" "$WORK/err.expected"
  env -u WAYLAND_DISPLAY "$@" "$PROBE" get >/dev/null 2>&1
  [ $? -eq 3 ] || fail "$name: clipboard text offered"
}
# A display that refuses us: the server wants a cookie that our authority file lacks.
touch "$WORK/server.auth" "$WORK/empty.auth"
xauth -f "$WORK/server.auth" add :0 . "$(mcookie)"
: >"$WORK/refusing"
Xvfb -displayfd 9 -auth "$WORK/server.auth" -nolisten tcp 9>"$WORK/refusing" >/dev/null 2>&1 &
refusing=$!
for _ in $(seq 100); do [ -s "$WORK/refusing" ] && break; sleep 0.05; done
refused=":$(head -n1 "$WORK/refusing")"
no_clipboard "no display" \
  'Quillet: error: no clipboard: no display (WAYLAND_DISPLAY and DISPLAY are not set)' \
  -u DISPLAY
no_clipboard "refused display" \
  "Quillet: error: no clipboard: cannot open display $refused (Authorization required, but no authorization protocol specified)" \
  DISPLAY="$refused" XAUTHORITY="$WORK/empty.auth"
no_clipboard "no server" \
  "Quillet: error: no clipboard: cannot open display :$((${DISPLAY#:} + 1000)) (no X server answers there)" \
  DISPLAY=":$((${DISPLAY#:} + 1000))"
no_clipboard "no compositor" \
  "Quillet: error: no clipboard: cannot connect to Wayland display quillet-none (No such file or directory); DISPLAY is not set" \
  -u DISPLAY WAYLAND_DISPLAY=quillet-none XDG_RUNTIME_DIR="$WORK"
kill "$refusing"
wait "$refusing" 2>/dev/null

finish
