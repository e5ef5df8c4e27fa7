# The tone tests' sound server (sourced after desktop-lib.sh), PulseAudio or PipeWire,
# whichever is installed: the test's own runtime folder, no autospawn, no systemd, none of
# the desktop's session bus or devices, and one null sink named quillet, the default,
# reached as on a desktop: ALSA's default device through Debian's pulse plugin or
# PipeWire's own. Its processes in SOUND_PIDS, its kind in SOUND_SERVER.
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
  export PULSE_RUNTIME_PATH=$XDG_RUNTIME_DIR/pulse
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
