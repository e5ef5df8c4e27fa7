#!/usr/bin/env bash
# The message boxes: a dialog with the error or warning icon that keeps the run waiting
# until OK, the line on standard error, and the pause on a terminal without a display.
# DIALOG_SESSION picks the desktop: x11 (Xvfb, the default) or wayland (sway without
# Xwayland). DIALOG_STRESS=N instead shows N messages in a row while busy loops load every
# core, each one answered and each run ending with its own exit code.
source "$(dirname "$0")/desktop-lib.sh" "$1"
source "$(dirname "$0")/compositor-lib.sh"
SESSION=${DIALOG_SESSION:-x11}
STRESS=${DIALOG_STRESS:-0}
# The desktop's scale and theme are the test's to choose.
unset GDK_SCALE GDK_DPI_SCALE GTK_THEME NO_AT_BRIDGE

SETTINGS_LINE='Quillet: error: Registry values unset. Run SetQuillet from console!'
SETTINGS_STATUS=5

# Waits up to 10 s for the dialog on X11; sets DIALOG and its X, Y, WIDTH, HEIGHT. Only a
# mapped window counts: GTK's hidden leader window bears the program's name too.
find_dialog() {
  wait_until 'DIALOG=$(xdotool search --onlyvisible --name "^Quillet$" 2>/dev/null | head -n1)
    [ -n "$DIALOG" ]' 10 && eval "$(xdotool getwindowgeometry --shell "$DIALOG")"
}

# Waits up to 10 s for a native Wayland window titled "Quillet" in sway's tree; sets
# DIALOG_PID to the process showing it.
find_sway_dialog() { wait_until sway_dialog 10; }
sway_dialog() {
  DIALOG_PID=$(swaymsg -t get_tree 2>/dev/null | jq -r '.. | objects |
    select(.name? == "Quillet" and .shell? == "xdg_shell" and .app_id? == "quillet") | .pid' |
    head -n1)
  [ -n "$DIALOG_PID" ]
}

# Expects process $2 to end within 5 s (else it is ended) with status $3.
ends_with() {
  wait_until "! kill -0 $2 2>/dev/null" 5 "$1: still running after OK"
  stop "$2"
  local status=$?
  [ "$status" -eq "$3" ] || fail "$1: ended with $status, expected $3"
}

# The icon's colour: the most frequent strong colour in the box's top left corner, where
# the icon sits (text and frames are grey), told by its hue: red for an error; orange to
# yellow for a warning (a full-colour sign, or the one-colour form in the theme's warning
# colour).
icon_is() {
  local rgb r g b min hue
  rgb=$(probe pixel "$X" "$Y" 80 80)
  [ "$rgb" != none ] || { fail "$1: no coloured icon"; return; }
  r=$((16#${rgb:0:2})) g=$((16#${rgb:2:2})) b=$((16#${rgb:4:2}))
  min=$((g < b ? g : b))
  hue=$((r >= g && r >= b ? 60 * (g - b) / (r - min) : 999))
  case $2 in
    error) [ $hue -ge -15 ] && [ $hue -lt 15 ] ;;
    warning) [ $hue -ge 20 ] && [ $hue -le 65 ] ;;
  esac || fail "$1: icon colour $rgb is not the $2 icon's"
}

# On a private session bus, where the accessibility bus is started on demand as on a
# desktop: a screen reader's view of the box shows its text and a push button "OK", and
# that button's action answers it.
accessible_dialog() {
  session_bus
  "$PROBE" message error "Port in use" </dev/null 2>/dev/null &
  local probe=$!
  timeout 20 /usr/bin/python3 - 2>"$WORK/a11y.err" <<"EOF" || fail "accessibility: $(tr '\n' ' ' <"$WORK/a11y.err")"
import sys, time
import gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi

def nodes(node, depth=0):
    if node is not None and depth <= 12:
        yield node
        for i in range(node.get_child_count()):
            yield from nodes(node.get_child_at_index(i), depth + 1)

deadline, found = time.monotonic() + 15, "no application named quillet"
while time.monotonic() < deadline:
    desktop = Atspi.get_desktop(0)
    for app in (desktop.get_child_at_index(i) for i in range(desktop.get_child_count())):
        if app is None or app.get_name() != "quillet":
            continue
        seen = {(n.get_role(), n.get_name()): n for n in nodes(app)}
        text = seen.get((Atspi.Role.LABEL, "Port in use"))
        button = seen.get((Atspi.Role.PUSH_BUTTON, "OK"))
        found = "text %s, OK button %s" % (text is not None, button is not None)
        if text is not None and button is not None:
            button.get_action_iface().do_action(0)
            sys.exit(0)
    time.sleep(0.2)
sys.exit(found)
EOF
  ends_with "accessibility: OK pressed by the screen reader" "$probe" 0
  stop "$BUS_PID"
  unset DBUS_SESSION_BUS_ADDRESS
}

# The X11 checks, from the build tree and from the installed package alike.
x11_checks() {
  # No settings stored: the error dialog holds the run until Enter presses OK.
  "$QUILLET" </dev/null 2>"$WORK/err" &
  local quillet=$!
  if find_dialog; then
    sleep 1
    kill -0 "$quillet" 2>/dev/null || fail "settings dialog: the run did not wait for OK"
    # GTK lives in the box's own process: Quillet keeps one thread and its own SIGPIPE,
    # so the keeper or tone helper it forks later inherits nothing of GTK.
    [ "$(ls "/proc/$quillet/task" | wc -l)" -eq 1 ] ||
      fail "settings dialog: Quillet runs $(ls "/proc/$quillet/task" | wc -l) threads"
    grep -q libgtk-3 "/proc/$quillet/maps" && fail "settings dialog: GTK loaded into Quillet"
    local ignored
    ignored=$(sed -n 's/^SigIgn:\t//p' "/proc/$quillet/status")
    (((16#$ignored & 0x1000) == 0)) || fail "settings dialog: Quillet ignores SIGPIPE"
    icon_is "settings dialog" error
    # Centred on start_x's 1024x768 screen.
    [ $(((1024 - WIDTH) / 2 - X)) -ge -1 ] && [ $(((1024 - WIDTH) / 2 - X)) -le 1 ] &&
      [ $(((768 - HEIGHT) / 2 - Y)) -ge -1 ] && [ $(((768 - HEIGHT) / 2 - Y)) -le 1 ] ||
      fail "settings dialog: ${WIDTH}x$HEIGHT at $X,$Y is not centred"
    [ "$(cat "$WORK/err")" = "$SETTINGS_LINE" ] || fail "settings dialog: stderr '$(cat "$WORK/err")'"
    xdotool windowfocus --sync "$DIALOG" key Return 2>/dev/null
  else
    fail "settings dialog: no window"
  fi
  ends_with "settings dialog" "$quillet" $SETTINGS_STATUS

  # A warning, dismissed with the mouse on its OK button, then one closed with Escape.
  "$PROBE" message warning "HotSync in progress" </dev/null 2>"$WORK/err" &
  local probe=$!
  if find_dialog; then
    sleep 0.5
    icon_is "warning dialog" warning
    eval "$(xdotool search --onlyvisible --name '^Quillet$' getwindowgeometry --shell)"
    xdotool mousemove $((X + WIDTH - 30)) $((Y + HEIGHT - 20)) click 1
  else
    fail "warning dialog: no window"
  fi
  ends_with "warning dialog" "$probe" 0
  [ "$(cat "$WORK/err")" = "Quillet: warning: HotSync in progress" ] ||
    fail "warning dialog: stderr '$(cat "$WORK/err")'"

  "$PROBE" message error "Escape" </dev/null 2>/dev/null &
  probe=$!
  find_dialog && xdotool windowfocus --sync "$DIALOG" key Escape 2>/dev/null ||
    fail "escape: no window"
  ends_with "escape" "$probe" 0

  # No display, input not a terminal: the line alone, no wait.
  quillet -u DISPLAY -u WAYLAND_DISPLAY
  [ "$QUILLET_STATUS" -eq $SETTINGS_STATUS ] || fail "no display: ended with $QUILLET_STATUS"
  [ "$QUILLET_ERR" = "$SETTINGS_LINE" ] || fail "no display: stderr '$QUILLET_ERR'"
  [ "$ELAPSED" -lt 2000 ] || fail "no display: took $ELAPSED ms"

  # No display, input a terminal: "Press Enter to continue" and a wait for it. A display
  # that cannot be reached is no display: the prompt, not a silent end.
  local display status
  for display in "-u DISPLAY" DISPLAY=:65000; do
    timed bounded 20 script -qec "env -u WAYLAND_DISPLAY $display '$QUILLET'" /dev/null \
      < <(sleep 1.5; printf '\n') >"$WORK/tty"
    status=$?
    [ "$status" -eq $SETTINGS_STATUS ] || fail "terminal, $display: ended with $status"
    grep -q "Press Enter to continue" "$WORK/tty" ||
      fail "terminal, $display: no prompt in '$(cat "$WORK/tty")'"
    [ "$ELAPSED" -ge 1400 ] || fail "terminal, $display: did not wait for Enter ($ELAPSED ms)"
  done
}

# The box follows the desktop's scale: twice the size at GDK_SCALE=2.
scale_check() {
  local scale size=() probe
  for scale in 1 2; do
    GDK_SCALE=$scale "$PROBE" message error "Port in use" </dev/null 2>/dev/null &
    probe=$!
    find_dialog && size[scale]=${WIDTH}x$HEIGHT &&
      xdotool windowfocus --sync "$DIALOG" key Return 2>/dev/null
    ends_with "scale $scale" "$probe" 0
  done
  [ -n "${size[1]:-}" ] && [ "${size[2]:-}" = "$((${size[1]%x*} * 2))x$((${size[1]#*x} * 2))" ] ||
    fail "scale: ${size[1]:-no window} at 1, ${size[2]:-no window} at 2"
}

# Wayland alone: the box is a native window that waits, and closing it ends the run.
wayland_checks() {
  "$QUILLET" </dev/null 2>"$WORK/err" &
  local quillet=$!
  if find_sway_dialog; then
    sleep 2
    kill -0 "$quillet" 2>/dev/null || fail "wayland: the run did not wait for OK"
    swaymsg '[title="^Quillet$"] kill' >/dev/null || fail "wayland: sway could not close it"
  else
    fail "wayland: no window in $(swaymsg -t get_tree | jq -c '[.. | objects | .name?]')"
  fi
  ends_with "wayland" "$quillet" $SETTINGS_STATUS
  [ "$(cat "$WORK/err")" = "$SETTINGS_LINE" ] || fail "wayland: stderr '$(cat "$WORK/err")'"
}

# STRESS runs of Quillet without settings while busy loops load every core: each shows
# its box, is still running once the box is there, and ends with its exit code once
# answered (Enter on X11, sway's close on Wayland).
stress() {
  local loads=() i quillet start=$SECONDS
  for _ in $(seq "$(nproc)"); do sh -c 'while :; do :; done' & loads+=($!); done
  BACKGROUND="$BACKGROUND ${loads[*]}"
  for i in $(seq "$STRESS"); do
    "$QUILLET" </dev/null 2>/dev/null &
    quillet=$!
    if { [ "$SESSION" = wayland ] && find_sway_dialog; } ||
      { [ "$SESSION" = x11 ] && find_dialog; }; then
      if ! kill -0 "$quillet" 2>/dev/null; then
        fail "stress $i: ended before it was answered"
      elif [ "$SESSION" = wayland ]; then
        swaymsg '[title="^Quillet$"] kill' >/dev/null
      else
        xdotool windowfocus --sync "$DIALOG" key Return 2>/dev/null
      fi
    else
      fail "stress $i: no window"
    fi
    ends_with "stress $i" "$quillet" $SETTINGS_STATUS
  done
  stop "${loads[@]}"
  echo "stress: $STRESS messages on $SESSION in $((SECONDS - start)) s"
}

if [ "$SESSION" = wayland ]; then SWAY_XWAYLAND=disable start_sway; else start_x; fi
if [ "$STRESS" -gt 0 ]; then
  stress
elif [ "$SESSION" = wayland ]; then
  wayland_checks
else
  x11_checks
  scale_check
  accessible_dialog
fi
finish
