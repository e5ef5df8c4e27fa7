#!/usr/bin/env bash
# The Wayland clipboard on a headless sway with Xwayland, wl-copy and wl-paste being the
# other programs (xclip on the X11 side): both directions with no X11 window focused (sway
# then bridges nothing between the two clipboards) and with one focused (its bridge
# carries the text across, fetching from Quillet's keeper); the text outliving Quillet,
# and the keeper ending once another copy replaces it; long texts; a source that never
# writes.
source "$(dirname "$0")/desktop-lib.sh" "$1"
start_sway

# Both directions in the present focus state, NAME naming it.
round() {
  local name=$1
  # Handheld to desktop: Windows-1252 from the handheld, UTF-8 on the desktop.
  printf 'caf\xe9 \x80\n%s' "$name" >"$WORK/sent"
  printf 'caf\xc3\xa9 \xe2\x82\xac\n%s' "$name" >"$WORK/expected"
  run_quillet --send-file "$WORK/sent"
  [ "$QUILLET_STATUS" -eq 0 ] && [ ! -s "$WORK/quillet.err" ] ||
    fail "$name: Quillet ended with $QUILLET_STATUS: $(cat "$WORK/quillet.err")"
  sleep 2  # the text must outlive Quillet
  timeout 5 wl-paste -n >"$WORK/wayland"
  same_bytes "$name: wl-paste" "$WORK/wayland" "$WORK/expected"
  timeout 5 xclip -o -selection clipboard >"$WORK/x11"
  same_bytes "$name: xclip" "$WORK/x11" "$WORK/expected"
  check_keeper "$name"
  # Another copy replaces the text: the keeper ends.
  echo other | wl-copy
  keepers_gone_within 3 || fail "$name: keeper still running after wl-copy"

  # Desktop to handheld: what the user copied last, whatever the X11 clipboard holds.
  echo stale | timeout 5 xclip -i -selection clipboard
  printf 'a\nb caf\xc3\xa9 \xe2\x82\xac\xe6\x97\xa5' | wl-copy
  printf 'a\nb caf\xe9 \x80?' >"$WORK/wire.expected"
  run_quillet --receive
  [ "$SIM_STATUS" -eq 0 ] || fail "$name: handheld-sim ended with $SIM_STATUS"
  same_bytes "$name: to the handheld" "$WORK/handheld" "$WORK/wire.expected"
}

[ -z "$(timeout 5 xdotool getwindowfocus 2>/dev/null)" ] || fail "an X11 window has the focus"
round "no X11 focus"

# Texts longer than a pipe holds, both ways: the longest from the handheld (98298 bytes
# of UTF-8, all euro signs) and 2 MB from the desktop.
head -c 32766 /dev/zero | tr '\0' '\200' >"$WORK/sent"
yes '€' | head -n 32766 | tr -d '\n' >"$WORK/expected"
run_quillet --send-file "$WORK/sent"
timeout 5 wl-paste -n >"$WORK/wayland"
same_bytes "longest text" "$WORK/wayland" "$WORK/expected"
head -c 1500000 /dev/urandom | base64 -w 76 | sed 's/+/é/g; s/\//€/g' >"$WORK/big.utf8"
iconv -f UTF-8 -t CP1252 "$WORK/big.utf8" >"$WORK/big.expected"
wl-copy <"$WORK/big.utf8"
run_quillet --receive
same_bytes "2 MB" "$WORK/handheld" "$WORK/big.expected"

# A source that never writes (stopped): Quillet gives up after WL_READ_STEP_TIMEOUT, the
# handheld gets nothing, and the run ends as usual.
wl-copy --foreground stalled &
source=$!
sleep 0.5
kill -STOP "$source"
started=$(date +%s%N)
run_quillet --receive
elapsed=$((($(date +%s%N) - started) / 1000000))
kill -CONT "$source"
kill "$source" 2>/dev/null
wait "$source" 2>/dev/null
[ "$QUILLET_STATUS" -eq 0 ] || fail "stalled source: Quillet ended with $QUILLET_STATUS"
[ -s "$WORK/handheld" ] && fail "stalled source: the handheld got $(cat "$WORK/handheld")"
[ "$elapsed" -ge 4900 ] && [ "$elapsed" -lt 8000 ] || fail "stalled source: took $elapsed ms"
echo "stalled source: the run ended after $elapsed ms"

xmessage -geometry +10+10 focus &
message=$!
for _ in $(seq 100); do
  [ -n "$(timeout 5 xdotool getwindowfocus 2>/dev/null)" ] && break
  sleep 0.05
done
[ -n "$(timeout 5 xdotool getwindowfocus 2>/dev/null)" ] || fail "xmessage never got the focus"
round "X11 focus"
kill "$message"

finish
