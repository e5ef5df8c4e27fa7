# The shell tests' harness (sourced by every one): a throw-away home and config folder, the
# programs and every client a test starts under a time-out, waits with a bound and a
# message, a simulated handheld on a pty, an X server (or a headless sway with Xwayland,
# or another compositor) and a sound server of the test's own, and byte-exact checks.
# Usage in a test: source desktop-lib.sh BIN_DIR; ...; finish. BIN_DIR is the build tree,
# or an installed usr/bin with DESKTOP_PROBE naming the build tree's desktop-probe.
set -uo pipefail

BIN=$1
QUILLET=$BIN/Quillet
SETQUILLET=$BIN/SetQuillet
SIM=$BIN/handheld-sim
PROBE=${DESKTOP_PROBE:-$BIN/desktop-probe}

# CF_TEXT's code page follows the locale: 1252 here unless a test names another.
unset LC_ALL LC_CTYPE
export LANG=C.UTF-8
# No desktop until a test starts one: the clipboard is then unavailable, which a run that
# needs it says in this one line, and messages reach standard error only.
unset DISPLAY WAYLAND_DISPLAY
NO_CLIPBOARD='Quillet: error: no clipboard: no display (WAYLAND_DISPLAY and DISPLAY are not set)'

WORK=$(mktemp -d)
export HOME=$WORK/home
mkdir -p "$HOME"
# Tones go nowhere unless a test captures them.
echo 'pcm.!default { type null }' >"$HOME/.asoundrc"
XVFB_PID=""
SWAY_PID=""
SOUND_PIDS=""
BACKGROUND=""  # what else ends with the test: compositors, session buses, relays

cleanup() {
  # The keepers left behind end with their display.
  stop $XVFB_PID $SWAY_PID $BACKGROUND
  stop_sound_server
  rm -rf "$WORK"
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
# must print exactly the bytes of FILE.
expect_file_bytes() { printf "$3" >"$WORK/expected"; same_bytes "$1" "$2" "$WORK/expected"; }
reads() { "${@:3}" >"$WORK/read"; same_bytes "$1" "$WORK/read" "$2"; }

# Expects file $2 to hold exactly the bytes of file $3.
same_bytes() {
  if ! cmp -s "$2" "$3"; then
    fail "$1: got $(head -c 120 "$2" | od -An -c | tr -s ' ' | head -c 300)" \
      "expected $(head -c 120 "$3" | od -An -c | tr -s ' ' | head -c 300)"
  fi
}

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
    local script=$0 bin=$BIN copy="" status
    if ! as_nobody bash -c '[ -r "$1" ] && [ -r "$2" ] && shift 2 && for f; do
        [ -x "$f" ] || exit 1; done' bash "$0" "$(dirname "$0")/desktop-lib.sh" \
        "$QUILLET" "$SETQUILLET" "$SIM" "$PROBE" 2>/dev/null; then
      copy=$(mktemp -d -p /tmp quillet-nobody.XXXXXX)
      chmod 755 "$copy"
      mkdir "$copy/bin"
      cp "$(dirname "$0")"/*.sh "$(dirname "$0")"/*.py "$copy/" &&
        cp "$QUILLET" "$SETQUILLET" "$SIM" "$PROBE" "$BIN"/*.so "$copy/bin/" ||
        { echo "cannot copy the test for nobody to $copy" >&2; rm -rf "$copy" "$WORK"; exit 1; }
      script=$copy/${0##*/} bin=$copy/bin
      export DESKTOP_PROBE=$bin/${PROBE##*/}
    fi
    # A chroot whose root is no mount point has no mount namespace of its own to give.
    if ! unshare --mount true 2>"$WORK/unshare"; then
      echo "no mount namespace for a compositor as nobody: $(cat "$WORK/unshare")" \
        "(in a chroot: bind-mount its root onto itself first)" >&2
      [ -n "$copy" ] && rm -rf "$copy"
      exit 1
    fi
    rm -rf "$WORK"
    trap - EXIT
    mkdir -p -m 1777 /tmp/.X11-unix
    unshare --mount --net --fork -- bash -c \
      'mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix &&
       exec setpriv --reuid=nobody --regid=nogroup --clear-groups bash "$@"' \
      bash "$script" "$bin"
    status=$?
    [ -n "$copy" ] && rm -rf "$copy"
    exit $status
  fi
  local program
  for program in "$QUILLET" "$SETQUILLET" "$SIM"; do
    [ -x "$program" ] || { echo "$(id -un) cannot run $program" >&2; exit 1; }
  done
}

# A headless sway with Xwayland of our own: WAYLAND_DISPLAY and DISPLAY set (with
# SWAY_XWAYLAND=disable: no Xwayland, WAYLAND_DISPLAY alone), run as nobody (sway refuses
# to run as root). No sway is a failure, never a skip.
start_sway() {
  restart_as_nobody
  export XDG_RUNTIME_DIR=$WORK/runtime WLR_BACKENDS=headless WLR_RENDERER=pixman \
    WLR_LIBINPUT_NO_DEVICES=1
  mkdir -m 700 "$XDG_RUNTIME_DIR"
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
  export XDG_RUNTIME_DIR=$WORK/runtime
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
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

# A sound server of our own, PulseAudio or PipeWire, whichever is installed: a private
# runtime folder, no autospawn, no systemd, none of the desktop's session bus or devices,
# and one null sink named quillet, the default. It is reached as on a desktop: ALSA's
# default device through Debian's pulse plugin or PipeWire's own. Its processes in
# SOUND_PIDS, its kind in SOUND_SERVER.
start_sound_server() {
  if ! command -v pactl >/dev/null || ! command -v pacat >/dev/null; then
    SOUND_SERVER=missing
  elif command -v pulseaudio >/dev/null; then
    start_pulse
  elif command -v pipewire >/dev/null && command -v wireplumber >/dev/null &&
    [ -e /usr/share/pipewire/pipewire-pulse.conf ] &&
    [ -e /etc/alsa/conf.d/99-pipewire-default.conf ]; then
    start_pipewire
  else
    SOUND_SERVER=missing
  fi
  if [ "$SOUND_SERVER" = missing ]; then
    echo "no sound server to test the tone on: install pulseaudio-utils and pulseaudio, or" \
      "pipewire with pipewire-pulse, pipewire-alsa and wireplumber" >&2
    exit 1
  fi
  pactl set-default-sink quillet
  wait_until 'pactl info 2>/dev/null | grep -qx "Default Sink: quillet"' 5 \
    "$SOUND_SERVER made no null sink the default" || abort "$WORK"/sound-*.log
}

# The environment of a private sound server and its clients.
sound_runtime() {
  unset PULSE_SERVER PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR
  export XDG_RUNTIME_DIR=$WORK/runtime PULSE_RUNTIME_PATH=$WORK/runtime/pulse
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
  mkdir -p "$XDG_CONFIG_HOME/pulse"
  echo "autospawn = no" >"$XDG_CONFIG_HOME/pulse/client.conf"
  rm -f "$HOME/.asoundrc"
}

# Waits up to 5 s for the PulseAudio protocol to answer.
wait_pactl() {
  wait_until 'pactl info >/dev/null 2>&1' 5 "$SOUND_SERVER did not start" ||
    abort "$WORK"/sound-*.log
}

# PulseAudio with the null sink. Root needs no flag for a per-user server, only the
# warning it prints.
start_pulse() {
  SOUND_SERVER=PulseAudio
  sound_runtime
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    --load="module-null-sink sink_name=quillet" --load=module-native-protocol-unix \
    >"$WORK/sound-pulseaudio.log" 2>&1 &
  SOUND_PIDS=$!
  wait_pactl
}

# PipeWire, its session manager WirePlumber and its PulseAudio server, which makes the null
# sink. WirePlumber is kept off the machine's devices and D-Bus (a session bus it cannot
# reach, which it would otherwise start through X11): 0.4 reads Lua, 0.5 SPA-JSON.
start_pipewire() {
  SOUND_SERVER=PipeWire
  sound_runtime
  local config=$XDG_CONFIG_HOME/wireplumber program
  mkdir -p "$config/main.lua.d" "$config/bluetooth.lua.d" "$config/wireplumber.conf.d"
  cat >"$config/main.lua.d/80-quillet.lua" <<'EOF'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
default_access.properties["enable-flatpak-portal"] = false
EOF
  echo 'bluez_monitor.enabled = false' >"$config/bluetooth.lua.d/80-quillet.lua"
  cat >"$config/wireplumber.conf.d/80-quillet.conf" <<'EOF'
wireplumber.profiles = {
  main = {
    monitor.alsa = disabled
    monitor.alsa-midi = disabled
    monitor.bluez = disabled
    monitor.bluez-midi = disabled
    monitor.v4l2 = disabled
    monitor.libcamera = disabled
    support.dbus = disabled
    support.portal-permissionstore = disabled
    support.logind = disabled
    support.reserve-device = disabled
  }
}
EOF
  for program in pipewire wireplumber "pipewire -c pipewire-pulse.conf"; do
    DBUS_SESSION_BUS_ADDRESS=unix:path=$WORK/no-bus $program \
      >"$WORK/sound-${program##* }.log" 2>&1 &
    SOUND_PIDS="$SOUND_PIDS $!"
    [ "$program" = pipewire ] && sleep 0.2  # its socket, before the clients come
  done
  wait_pactl
  pactl load-module module-null-sink sink_name=quillet >/dev/null
}

# SIGSTOP / SIGCONT to every process of the sound server.
freeze_sound_server() { kill -STOP $SOUND_PIDS; }
thaw_sound_server() { kill -CONT $SOUND_PIDS; }

# Ends the sound server; a frozen one must be woken to hear its end.
stop_sound_server() {
  [ -n "$SOUND_PIDS" ] || return 0
  kill -CONT $SOUND_PIDS 2>/dev/null
  stop $SOUND_PIDS
  SOUND_PIDS=""
}

# Records what the null sink plays (16-bit mono, 48 kHz) to file $1 until stopped
# (RECORDER_PID). Its low latency is what lets the sink play in real time, once a first
# sound (100 ms of silence here) has woken the sink: from then on the recording runs on
# without a gap, so a sample's offset tells its time.
record_monitor() {
  pacat --record --raw --format=s16le --rate=48000 --channels=1 --latency-msec=2 \
    -d quillet.monitor >"$1" 2>/dev/null &
  RECORDER_PID=$!
  BACKGROUND="$BACKGROUND $RECORDER_PID"
  sleep 0.2
  head -c 9600 /dev/zero | bounded 10 pacat --raw --format=s16le --rate=48000 --channels=1 \
    -d quillet
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
  if [ "$(echo "$KEEPER" | wc -w)" -ne 1 ]; then
    fail "$1: expected one keeper, found: $KEEPER"
    KEEPER=""
    return 1
  fi
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
# the handheld ends within 10 s, within 64 MiB, with nothing sent.
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
  local peak
  peak=$(cat "$WORK/peak" 2>/dev/null)
  [ "$QUILLET_STATUS" -eq 0 ] || fail "$name: Quillet ended with $QUILLET_STATUS"
  [ ! -s "$WORK/handheld" ] || fail "$name: the handheld got $(head -c 40 "$WORK/handheld")"
  [ "$ELAPSED" -lt 10000 ] || fail "$name: the run took $ELAPSED ms"
  [ "${peak:-65536}" -lt 65536 ] || fail "$name: Quillet's peak size was ${peak:-unknown} KiB"
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

# second_run_refused SETTING ENTRY: while a first run holds the device map's ENTRY (the
# handheld answers it 2 s after the open), a second is refused; the first then ends as
# usual.
second_run_refused() {
  local first
  fresh_config
  setquillet $1 >/dev/null
  start_sim "$DEVICES/$2" --delay 2000 --send "first run"
  timeout 30 "$QUILLET" </dev/null 2>"$WORK/first.err" &
  first=$!
  wait_until 'grep -qF "host opened the port" "$WORK/sim.err"' 5 \
    "$2: the first run never opened the port"
  quillet
  expect_equal "$2, second run: exit code" 0 "$QUILLET_STATUS"
  expect_equal "$2, second run: message" "Quillet: error: Unable open to communication port" \
    "$QUILLET_ERR"
  wait "$first"
  expect_equal "$2, first run: exit code" 0 "$?"
  expect_equal "$2, first run: message" "$NO_CLIPBOARD" "$(cat "$WORK/first.err")"
  wait_sim
  expect_equal "$2, first run: handheld-sim's exit" 0 "$SIM_STATUS"
}
