# The compositors a desktop test may start (sourced after desktop-lib.sh), each the test's
# own and run as nobody, and both directions through their clipboards.
#
# A headless sway with Xwayland of our own: WAYLAND_DISPLAY and DISPLAY set (with
# SWAY_XWAYLAND=disable: no Xwayland, WAYLAND_DISPLAY alone), run as nobody (sway refuses
# to run as root). No sway is a failure, never a skip.
start_sway() {
  restart_as_nobody
  export WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1
  echo "xwayland ${SWAY_XWAYLAND:-enable}" >"$WORK/sway.config"
  unset DISPLAY WAYLAND_DISPLAY
  sway -c "$WORK/sway.config" >"$WORK/sway.log" 2>&1 &
  SWAY_PID=$!
  wait_until sway_up 10 "sway did not start" || abort "$WORK/sway.log"
}
# Exports SWAYSOCK (swaymsg finds sway through it), and WAYLAND_DISPLAY and DISPLAY once
# sway offers them.
sway_up() {
  local socket x11
  SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock 2>/dev/null | head -n1)
  export SWAYSOCK
  socket=$(cd "$XDG_RUNTIME_DIR" && ls wayland-? 2>/dev/null | head -n1)
  [ -n "$SWAYSOCK" ] && [ -n "$socket" ] || return 1
  if [ "${SWAY_XWAYLAND:-enable}" != disable ]; then
    x11=$(grep -o 'DISPLAY=:[0-9]*' "$WORK/sway.log" | head -n1)
    [ -z "$x11" ] && x11=$(ls /tmp/.X11-unix 2>/dev/null | head -n1 | sed 's/^X/DISPLAY=:/')
    [ -n "$x11" ] || return 1
    export DISPLAY=${x11#DISPLAY=}
  fi
  export WAYLAND_DISPLAY=$socket
}

# Starts compositor NAME ($1) on a session bus of its own (GNOME's and KDE's offer their
# interfaces there), the command being the rest, once the caller runs as nobody
# (restart_as_nobody); its output in $WORK/NAME.log, its pid in COMPOSITOR_PID.
launch_compositor() {
  local name=$1
  shift
  unset WAYLAND_DISPLAY XAUTHORITY
  [ -n "$XVFB_PID" ] || unset DISPLAY  # weston's X11 backend shows on our Xvfb
  session_bus
  "$@" >"$WORK/$name.log" 2>&1 &
  COMPOSITOR_PID=$!
  BACKGROUND="$BACKGROUND $COMPOSITOR_PID"
}

# Waits up to 30 s for compositor NAME ($1) to listen on Wayland socket $2 and for the X
# window manager on its Xwayland to be up; command $3 prints the X display and, where
# there is one, its authority file. Exports WAYLAND_DISPLAY, DISPLAY (and XAUTHORITY). A
# compositor that does not come up (or ends) is a failure, with its log.
await_compositor() {
  wait_until "compositor_up $2 $3 || ! kill -0 $COMPOSITOR_PID 2>/dev/null" 30 &&
    [ -n "${WAYLAND_DISPLAY:-}" ] && return 0
  fail "$1 did not start"
  abort "$WORK/$1.log"
}
compositor_up() {
  local display auth
  read -r display auth <<<"$($2)"
  [ -S "$XDG_RUNTIME_DIR/$1" ] && [ -n "$display" ] &&
    DISPLAY=$display XAUTHORITY=$auth timeout 5 xprop -root _NET_SUPPORTING_WM_CHECK \
      2>/dev/null | grep -q 'window id' || return 1
  export WAYLAND_DISPLAY=$1 DISPLAY=$display
  [ -z "$auth" ] || export XAUTHORITY=$auth
}

# The one X display in our private /tmp/.X11-unix.
private_display() { ls /tmp/.X11-unix 2>/dev/null | head -n1 | sed 's/^X/:/'; }

# GNOME's compositor, headless, with the Xwayland it starts itself; it names the display
# in its log (it also holds one for its own services) and puts its authority file in the
# runtime folder. It offers no data-control: Quillet uses X11 there.
start_mutter() {
  restart_as_nobody
  launch_compositor mutter mutter --headless --wayland --virtual-monitor 1024x768 \
    --wayland-display=quillet-mutter
  await_compositor mutter quillet-mutter mutter_display
}
mutter_display() {
  echo "$(grep -o 'public X11 display :[0-9]*' "$WORK/mutter.log" | grep -o ':[0-9]*$')" \
    "$(ls "$XDG_RUNTIME_DIR"/.mutter-Xwaylandauth.* 2>/dev/null | head -n1)"
}

# KDE's compositor, on its virtual backend, with Xwayland. It offers data-control. A copy
# of the program: /usr/bin's carries a file capability that a container may refuse to
# grant, and then exec fails; KWin runs without it.
start_kwin() {
  restart_as_nobody
  cp /usr/bin/kwin_wayland "$WORK/kwin_wayland"
  launch_compositor kwin "$WORK/kwin_wayland" --virtual --xwayland --socket quillet-kwin
  await_compositor kwin quillet-kwin private_display
}

# weston 10 with Xwayland (started when the first X client comes), no data-control. Its
# headless backend has no seat, and its X11 bridge then crashes at the first X11
# selection; its X11 backend, on an Xvfb of our own, brings one.
start_weston() {
  restart_as_nobody
  start_x
  launch_compositor weston weston --backend=x11-backend.so --use-pixman --xwayland \
    --socket=quillet-weston --idle-time=0 --no-config
  await_compositor weston quillet-weston weston_display
}
weston_display() {
  grep -o 'listening on display :[0-9]*' "$WORK/weston.log" | grep -o ':[0-9]*$'
}

# Handheld to desktop on a compositor, NAME in $1: the handheld's 1252 text must reach
# each reader in the rest (a command, evaluated, that prints the clipboard's text) as
# UTF-8 once Quillet has ended.
p2h_read_by() {
  local name=$1 reader
  shift
  printf 'caf\xe9 \x80\n%s' "$name" >"$WORK/sent"
  printf 'caf\xc3\xa9 \xe2\x82\xac\n%s' "$name" >"$WORK/expected"
  run_quillet --send-file "$WORK/sent"
  [ "$QUILLET_STATUS" -eq 0 ] && [ -z "$QUILLET_ERR" ] ||
    fail "$name: Quillet ended with $QUILLET_STATUS: $QUILLET_ERR"
  sleep 1
  for reader in "$@"; do
    eval "$reader" >"$WORK/read" 2>"$WORK/read.err"
    same_bytes "$name: $reader $(head -c 200 "$WORK/read.err")" "$WORK/read" "$WORK/expected"
  done
}

# Desktop to handheld, NAME in $1: the text that command $2 (evaluated) copies from its
# standard input reaches the handheld in 1252. A copy lands on the compositor's other
# clipboard a while after the copying program returns: command $3 (evaluated) reads the
# clipboard Quillet will read, and Quillet starts once it shows the text (up to 5 s).
h2p_from() {
  printf 'a\nb caf\xc3\xa9 \xe2\x82\xac\xe6\x97\xa5' >"$WORK/copied"
  eval "$2" <"$WORK/copied"
  wait_until "$3 2>/dev/null | cmp -s - \"\$WORK/copied\"" 5
  printf 'a\nb caf\xe9 \x80?' >"$WORK/wire.expected"
  run_quillet --receive
  [ "$SIM_STATUS" -eq 0 ] || fail "$1: handheld-sim ended with $SIM_STATUS"
  same_bytes "$1: to the handheld" "$WORK/handheld" "$WORK/wire.expected"
}
