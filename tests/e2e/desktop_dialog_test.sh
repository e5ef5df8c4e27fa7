#!/usr/bin/env bash
# The message boxes: a dialog with the error or warning icon that keeps the run waiting
# until OK, the line on standard error, and the pause on a terminal without a display.
source "$(dirname "$0")/desktop-lib.sh" "$1"
start_x

SETTINGS_LINE='Quillet: error: Registry values unset. Run SetQuillet from console!'

# Waits up to 5 s for the dialog; sets DIALOG and its X, Y, WIDTH, HEIGHT.
find_dialog() {
  local id
  for _ in $(seq 50); do
    id=$(xdotool search --name '^Quillet$' 2>/dev/null | head -n1)
    if [ -n "$id" ]; then
      DIALOG=$id
      eval "$(xdotool getwindowgeometry --shell "$id")"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# Expects process $2 to end within 3 s with status $3.
ends_with() {
  for _ in $(seq 30); do
    kill -0 "$2" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$2" 2>/dev/null; then
    fail "$1: still running after OK"
    kill "$2"
  fi
  wait "$2"
  local status=$?
  [ "$status" -eq "$3" ] || fail "$1: ended with $status, expected $3"
}

# The icon's colour, left of its centre (clear of the glyph): red disc or yellow sign.
icon_is() {
  local rgb r g b
  rgb=$("$PROBE" pixel $((X + 22)) $((Y + 34)))
  r=$((16#${rgb:0:2})) g=$((16#${rgb:2:2})) b=$((16#${rgb:4:2}))
  case $2 in
    error) [ $r -gt 160 ] && [ $g -lt 128 ] && [ $b -lt 128 ] ;;
    warning) [ $r -gt 192 ] && [ $g -gt 160 ] && [ $b -lt 128 ] ;;
  esac || fail "$1: icon colour $rgb is not the $2 icon's"
}

# No settings stored: the error dialog holds the run until Enter presses OK.
"$QUILLET" </dev/null 2>"$WORK/err" &
quillet=$!
if find_dialog; then
  sleep 1
  kill -0 "$quillet" 2>/dev/null || fail "settings dialog: the run did not wait for OK"
  icon_is "settings dialog" error
  [ "$(cat "$WORK/err")" = "$SETTINGS_LINE" ] || fail "settings dialog: stderr '$(cat "$WORK/err")'"
  xdotool windowfocus --sync "$DIALOG" key Return 2>/dev/null
else
  fail "settings dialog: no window"
fi
ends_with "settings dialog" "$quillet" 5

# A warning, dismissed with the mouse on its OK button.
"$PROBE" message warning "HotSync in progress" </dev/null 2>"$WORK/err" &
probe=$!
if find_dialog; then
  sleep 0.5
  icon_is "warning dialog" warning
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 28)) click 1
else
  fail "warning dialog: no window"
fi
ends_with "warning dialog" "$probe" 0
[ "$(cat "$WORK/err")" = "Quillet: warning: HotSync in progress" ] ||
  fail "warning dialog: stderr '$(cat "$WORK/err")'"

# No display, input not a terminal: the line alone, no wait.
start=$(date +%s%N)
env -u DISPLAY "$QUILLET" </dev/null 2>"$WORK/err"
status=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
[ "$status" -eq 5 ] || fail "no display: ended with $status"
[ "$(cat "$WORK/err")" = "$SETTINGS_LINE" ] || fail "no display: stderr '$(cat "$WORK/err")'"
[ "$elapsed" -lt 2000 ] || fail "no display: took $elapsed ms"

# No display, input a terminal: "Press Enter to continue" and a wait for it.
start=$(date +%s%N)
(sleep 1.5; printf '\n') | script -qec "env -u DISPLAY '$QUILLET'" /dev/null >"$WORK/tty"
status=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
[ "$status" -eq 5 ] || fail "terminal: ended with $status"
grep -q "Press Enter to continue" "$WORK/tty" || fail "terminal: no prompt in '$(cat "$WORK/tty")'"
[ "$elapsed" -ge 1400 ] || fail "terminal: did not wait for Enter ($elapsed ms)"

finish
