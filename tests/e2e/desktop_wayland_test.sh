#!/usr/bin/env bash
# The Wayland clipboard on a headless sway with Xwayland (wl-copy and wl-paste the other
# programs, xclip on the X11 side), as an ordinary user: both directions with and without a
# focused X11 window, the keeper's life, long texts, hostile sources and readers, the active
# window's rule, Xwayland and sway going away, and a signal in each phase of a run.
source "$(dirname "$0")/desktop-lib.sh" "$1"
source "$(dirname "$0")/compositor-lib.sh"
start_sway

# Both directions in the present focus state, NAME naming it.
round() {
  local name=$1
  # Handheld to desktop: Windows-1252 from the handheld, UTF-8 on the desktop.
  printf 'caf\xe9 \x80\n%s' "$name" >"$WORK/sent"
  printf 'caf\xc3\xa9 \xe2\x82\xac\n%s' "$name" >"$WORK/expected"
  timed run_quillet --send-file "$WORK/sent"
  [ "$QUILLET_STATUS" -eq 0 ] && [ -z "$QUILLET_ERR" ] ||
    fail "$name: Quillet ended with $QUILLET_STATUS: $QUILLET_ERR"
  # About 0.35 s with the tone; a wait on the manager would add 2 s.
  echo "$name: the handheld's text took $ELAPSED ms from start to end"
  # QUILLET_TIME_SLACK_MS: what a slower build (the sanitizers') adds to every run.
  [ "$ELAPSED" -lt $((1000 + ${QUILLET_TIME_SLACK_MS:-0})) ] || fail "$name: the run took $ELAPSED ms"
  # Served at once: the keeper waits on no clipboard manager first.
  reads "$name: wl-paste at once" "$WORK/expected" timeout 1 wl-paste -n
  sleep 2  # the text must outlive Quillet
  reads "$name: wl-paste" "$WORK/expected" wl_text
  reads "$name: xclip" "$WORK/expected" x11_text
  check_keeper "$name"
  # Another copy replaces the text: the keeper ends, and the copy stays.
  echo other | wl-copy
  wait_until no_keepers 3 "$name: keeper still running after wl-copy"
  expect_equal "$name: the copy that replaced the keeper's text" other "$(wl_text 2>&1)"

  # Desktop to handheld: what the user copied last, whatever the X11 clipboard holds.
  echo stale | xclip -i -selection clipboard
  h2p_from "$name" wl-copy wl_text
}

[ -z "$(timeout 5 xdotool getwindowfocus 2>/dev/null)" ] || fail "an X11 window has the focus"
round "no X11 focus"

# Once a keeper's X11 copy of the text is stale (another program's copy replaced the
# Wayland text), the compositor takes the X11 selection for the new text. Had the keeper
# let its X11 selection go first, CLIPBOARD would have no owner for a moment, and sway
# answers that by clearing the Wayland clipboard: the user's new copy. A race, so ten
# times.
for i in $(seq 10); do
  run_quillet --send "mirrored $i"
  sleep 1.1  # past the moment when a compositor's bridge may answer our taking of it
  echo "copied $i" | wl-copy
  wait_until no_keepers 3 "copy $i: keeper still running after wl-copy"
  expect_equal "copy $i: after the keeper's end" "copied $i" "$(wl_text 2>&1)"
done

# Texts longer than a pipe holds, both ways: the longest from the handheld (98298 bytes
# of UTF-8, all euro signs) and 2 MB from the desktop.
euros 32766 "$WORK/expected"
run_quillet --send-file "$WORK/sent"
reads "longest text" "$WORK/expected" wl_text
head -c 1500000 /dev/urandom | base64 -w 76 | sed 's/+/é/g; s/\//€/g' >"$WORK/big.utf8"
iconv -f UTF-8 -t CP1252 "$WORK/big.utf8" >"$WORK/big.expected"
wl-copy <"$WORK/big.utf8"
run_quillet --receive
same_bytes "2 MB" "$WORK/handheld" "$WORK/big.expected"

# A source that never writes (stopped), and one that never stops: each costs a run from
# the handheld at most 10 s and 64 MiB, with nothing sent.
STOPPED=1 hostile_owner "stopped Wayland source" wl-copy --foreground stalled
hostile_owner "endless Wayland source" "$PROBE" source endless

# Readers that never read cost only themselves: with 72,000 bytes of UTF-8 (more than a
# pipe holds), a second reader gets the whole text at once behind them.
euros 24000 "$WORK/long.expected"
run_quillet --send-file "$WORK/sent"
second_reader_behind_stuck wayland wl_text
# The slow one (a page every 4 s) is given up at its deadline, about 5 s after it asked,
# however often it reads: by then it has not had the whole text.
wait_until 'grep -q "^ended" "$STALL_OUT"' 12
stop "$STALL_PID"
read -r ms bytes < <(sed -n 's/^ended after \([0-9]*\) ms with \([0-9]*\) bytes$/\1 \2/p' \
  "$STALL_OUT")
[ -n "$ms" ] && [ "$ms" -ge 4000 ] && [ "$ms" -lt 7000 ] && [ "$bytes" -lt 72000 ] ||
  fail "slow reader: $(cat "$STALL_OUT")"
echo "slow reader: $(grep '^ended' "$STALL_OUT")"

# A reader stuck from the moment the text (more than its pipe holds) is offered adds
# nothing to the run. Before each run the selection offers no text, so that the reader
# knows Quillet's when it comes.
offer_no_text() {
  printf x | wl-copy -t image/png
  wait_until '[ "$(wl-paste -l 2>/dev/null)" = image/png ]' 3 "wl-copy offered no image"
}
offer_no_text
timed run_quillet --send-file "$WORK/sent"
alone=$ELAPSED
offer_no_text
if STALL_SAYS=watching start_stall wayland 1 next; then
  timed run_quillet --send-file "$WORK/sent"
  [ "$QUILLET_STATUS" -eq 0 ] || fail "stuck reader in the run: Quillet ended with $QUILLET_STATUS"
  wait_until 'grep -qx asked "$STALL_OUT"' 3 "stuck reader in the run never asked"
  [ "$ELAPSED" -lt $((alone + 1000)) ] || fail "a stuck reader made the run take $ELAPSED ms, not $alone"
  echo "the run took $alone ms alone and $ELAPSED ms with a stuck reader"
  reads "stuck reader in the run: the text" "$WORK/long.expected" wl_text
  stop "$STALL_PID"
fi

# Whether an X11 window is active is what the desktop names in _NET_ACTIVE_WINDOW, not
# where the X11 input focus is: KWin parks the focus on a 1x1 window of its own while no
# X11 window is active, and X11 programs must then still get the text. On an X display of
# its own that no compositor bridges, only Quillet can have put the text there.
WL_DISPLAY_X11=$DISPLAY WL_WAYLAND=$WAYLAND_DISPLAY
start_x
export WAYLAND_DISPLAY=$WL_WAYLAND
mkfifo "$WORK/focus"
for kind in parked active; do
  echo before | timeout 5 xclip -i -selection clipboard
  timeout 30 "$PROBE" focus "$kind" >"$WORK/focus" &
  focus=$!
  read -r -t 10 ready <"$WORK/focus"
  [ "$ready" = ready ] || fail "focus $kind: the probe did not start"
  run_quillet --send "focus $kind"
  got=$(x11_text 2>/dev/null)
  stop "$focus"
  [ "$kind" = parked ] && expected="focus parked" || expected=before
  [ "$got" = "$expected" ] || fail "focus $kind: X11 programs read [$got], expected [$expected]"
done
stop "$XVFB_PID"
XVFB_PID=""
export DISPLAY=$WL_DISPLAY_X11

xmessage -geometry +10+10 focus &
message=$!
# Whether a new window gets the focus is sway's own policy, and Debian 13's sway 1.10 now
# and then left this one without it: the window is given the focus through sway's IPC, as
# a user clicking it would.
wait_until 'swaymsg "[class=\"^Xmessage$\"] focus" >/dev/null 2>&1 &&
  [ -n "$(timeout 5 xdotool getwindowfocus 2>/dev/null)" ]' 5 ||
  fail "xmessage never got the focus: $(timeout 5 xdotool getwindowfocus 2>&1 | head -c 300)"
round "X11 focus"
stop "$message"

# ---- Signals: Ctrl-C, kill, a closed terminal, in each phase of a run -----------------
# The handheld speaks from the far end of a pty pair that outlives the runs (socat): a run
# ended by a signal must give the port back (its TIOCEXCL binds everyone but root), keep
# a text that had arrived on the clipboard, and end with the signal's status. The tone
# stalls (ALSA's default device is a FIFO nobody reads, as a frozen sound server would):
# the run spends 1.3 s in it.
start_relay
mkfifo "$WORK/stalled-sound"
STALLED="pcm.!default { type file slave.pcm null file \"$WORK/stalled-sound\" format raw }"
# Quillet in the background, taking SIGINT as a foreground program does.
start_quillet() {
  timeout 30 env --default-signal=INT "$QUILLET" </dev/null >/dev/null 2>"$WORK/quillet.err" &
  quillet=$!
  sleep 0.3  # it opens the port and waits for the word
}
# signal_run SIGNAL PHASE: one run ended by SIGNAL in PHASE (word, text, tone).
signal_run() {
  local signal=$1 phase=$2 name="$1 $2" sim="" expected=before status
  echo before | wl-copy
  echo "$STALLED" >"$HOME/.asoundrc"
  start_quillet
  # In the text: the length field and three bytes of it, then silence, and the read waits.
  # In the tone: the text arrives at once; the run's tone then takes 1.3 s.
  if [ "$phase" != word ]; then
    [ "$phase" = text ] && cut=(--stop-after 23) || cut=() expected=$name
    timeout 30 "$SIM" --quiet --timeout 1500 "$WORK/handheld" --send "$name" "${cut[@]}" \
      >/dev/null 2>&1 &
    sim=$!
    sleep "$([ "$phase" = text ] && echo 0.3 || echo 0.6)"
  fi
  kill -"$signal" "$quillet"
  wait "$quillet"
  status=$?
  [ -n "$sim" ] && stop "$sim"
  [ "$status" -eq $((128 + $(kill -l "$signal"))) ] ||
    fail "$name: Quillet ended with $status; $(cat "$WORK/quillet.err")"
  expect_equal "$name: the clipboard" "$expected" "$(wl_text 2>/dev/null)"
  [ "$phase" != tone ] ||
    expect_equal "$name: X11's clipboard" "$expected" "$(x11_text)"
  # The next run, as the same user on the same pty, opens the port and moves a text (no
  # X display: a refused port is then said on standard error, not in a dialog that waits).
  echo 'pcm.!default { type null }' >"$HOME/.asoundrc"
  # A copy within KEEPER_BRIDGE_WAIT (1 s) of a keeper's taking of the X11 selection
  # passes for the compositor's bridge, and that keeper carries on. (The next run's own
  # keeper holds no X11 selection: it is the last run that needs this.)
  [ "$phase" = tone ] && sleep 1.1
  DISPLAY= start_quillet
  bounded 30 "$SIM" --quiet --timeout 1500 "$WORK/handheld" --send "after $name" >/dev/null 2>&1
  wait "$quillet"
  status=$?
  local pasted
  pasted=$(wl_text 2>&1)
  [ "$status" -eq 0 ] && [ ! -s "$WORK/quillet.err" ] && [ "$pasted" = "after $name" ] ||
    fail "$name: the next run failed ($status: $(cat "$WORK/quillet.err"); pasted [$pasted])"
}
for signal in INT TERM HUP; do
  for phase in word text tone; do
    signal_run "$signal" "$phase"
  done
done
stop "$RELAY"

# Xwayland ends (a crash, a restart) while the keeper serves both clipboards: the
# Wayland text stays.
run_quillet --send 'Xwayland gone'
expect_equal "Xwayland gone: the X11 selection" 'Xwayland gone' "$(x11_text)"
xwayland=$(servers Xwayland)
[ -n "$xwayland" ] || fail "Xwayland gone: no Xwayland found"
kill -KILL $xwayland
sleep 0.5
expect_equal "Xwayland gone: the Wayland text" 'Xwayland gone' "$(wl_text)"
[ -n "$(keepers)" ] || fail "Xwayland gone: no keeper"
echo other | wl-copy
wait_until no_keepers 3 "Xwayland gone: keeper still running after wl-copy"

# The compositor goes away while the keeper also serves an X display of its own (an Xvfb
# here, which outlives it): the X11 text stays, until another program takes it.
wayland=$WAYLAND_DISPLAY
start_x
export WAYLAND_DISPLAY=$wayland
run_quillet --send 'compositor gone'
expect_equal "compositor gone: the X11 selection" 'compositor gone' "$(x11_text)"
sleep 1.5  # past the moment when a compositor's bridge may answer our taking of it
stop "$SWAY_PID"
sleep 0.3
[ -n "$(keepers)" ] || fail "compositor gone: the keeper ended with it"
expect_equal "compositor gone: the X11 text" 'compositor gone' "$(x11_text)"
echo other | xclip -i -selection clipboard 2>/dev/null
wait_until no_keepers 3 "compositor gone: keeper still running after xclip"

finish
