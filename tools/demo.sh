#!/usr/bin/env bash
# Builds the Linux programs alone (the demo preset, build/demo) and shows Quillet talking
# to the simulated handheld over a pty, in a throw-away settings folder: no handheld, no
# serial port and no desktop needed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo -j2 >/dev/null
bin=$PWD/build/demo

XDG_CONFIG_HOME=$(mktemp -d)
export XDG_CONFIG_HOME
trap 'rm -rf "$XDG_CONFIG_HOME"' EXIT
# Without a desktop the clipboard is unavailable and messages go to standard error.
desktop_display=${DISPLAY:-}
unset DISPLAY WAYLAND_DISPLAY
# CF_TEXT's code page follows the locale; the demo pins Windows-1252, which its notes explain.
export LC_ALL=C.UTF-8
link=$XDG_CONFIG_HOME/quillet/devices/com1

step() { printf '\n== %s\n' "$*"; }
# handheld-sim ARGS...: the simulated handheld in the background, once its link is there.
handheld() {
  rm -f "$link"
  "$bin/handheld-sim" --pty "$link" "$@" &
  sim=$!
  until [ -L "$link" ]; do sleep 0.05; done
}

step "SetQuillet with no setting stored yet"
"$bin/SetQuillet" || true
echo

step "SetQuillet com1 115200; com1 leads to a pty through the device map ($link)"
"$bin/SetQuillet" com1 115200
"$bin/SetQuillet" || true

step "The handheld sends a text (Mivra-P2H); Quillet takes it"
handheld --send $'Hello from the handheld\nsecond line'
"$bin/Quillet" && echo "Quillet exit code: $?"
wait "$sim"

step "The handheld asks for the clipboard's text (Mivra-H2P); there is no clipboard here"
handheld --receive
"$bin/Quillet"
wait "$sim" || echo "handheld-sim exit code: $? (no answer)"

step "The handheld sends a wrong command word"
handheld --word Mivra-XYZ
"$bin/Quillet"
wait "$sim"

step "Two runs at once: the second cannot have the port"
handheld --delay 1000 --send "for the first run" --quiet
"$bin/Quillet" &
first=$!
sleep 0.5
"$bin/Quillet"
wait "$first" "$sim"

# ---- The same two directions through the desktop's clipboard ------------------------------
# The desktop's own display when there is one, else an X server of the demo's own.
xvfb=""
trap '[ -z "$xvfb" ] || kill "$xvfb"; rm -rf "$XDG_CONFIG_HOME"' EXIT
if [ -n "$desktop_display" ]; then
  export DISPLAY=$desktop_display
  step "The desktop: display $DISPLAY (its clipboard is used as it is)"
else
  Xvfb -displayfd 9 -nolisten tcp -noreset 9>"$XDG_CONFIG_HOME/display" >/dev/null 2>&1 &
  xvfb=$!
  until [ -s "$XDG_CONFIG_HOME/display" ]; do sleep 0.05; done
  export DISPLAY=":$(cat "$XDG_CONFIG_HOME/display")"
  step "The desktop: no display here, so Xvfb on $DISPLAY"
fi

# escaped FILE: the bytes, printable ASCII as it is, \n and \r, the rest as \xHH.
escaped() {
  od -An -v -tu1 "$1" | tr -s ' ' '\n' | awk 'NF {
    b = $1 + 0
    if (b == 10) printf "\\n"; else if (b == 13) printf "\\r"
    else if (b >= 32 && b < 127 && b != 92) printf "%c", b; else printf "\\x%02X", b
  } END { print "" }'
}
clipboard() {
  printf '  the clipboard holds (UTF-8):   '
  if xclip -o -selection clipboard >"$XDG_CONFIG_HOME/clip" 2>/dev/null; then
    escaped "$XDG_CONFIG_HOME/clip"
  else
    echo "(nothing)"
  fi
}

step "The handheld sends a Windows-1252 text with LF line ends (Mivra-P2H)"
clipboard
printf 'Gr\xfc\xdfe vom Handheld\nPreis: 5 \x80\n' >"$XDG_CONFIG_HOME/sent"
printf '  the handheld sends:            '
escaped "$XDG_CONFIG_HOME/sent"
handheld --send-file "$XDG_CONFIG_HOME/sent" --quiet
"$bin/Quillet"
wait "$sim"
clipboard
echo "  pasted:"
xclip -o -selection clipboard | sed 's/^/    | /'
keeper=""
for dir in /proc/[0-9]*; do
  if [ "$(cat "$dir/comm" 2>/dev/null)" = quillet-keeper ] &&
    tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qx "DISPLAY=$DISPLAY"; then
    keeper=${dir#/proc/}
  fi
done
if [ -n "$keeper" ]; then
  echo "  Quillet has ended; its text is served by quillet-keeper (pid $keeper)"
else
  echo "  Quillet has ended; the desktop's clipboard manager keeps its text"
fi

step "The desktop copies a text; the handheld asks for it (Mivra-H2P)"
printf 'From the desktop: caf\xc3\xa9, 10 \xe2\x82\xac\r\n\xe2\x80\x94 and \xe6\x97\xa5\xe6\x9c\xac\n' |
  xclip -i -selection clipboard >/dev/null 2>&1
clipboard
handheld --receive --quiet >"$XDG_CONFIG_HOME/received"
"$bin/Quillet"
wait "$sim"
printf '  the handheld received:         '
escaped "$XDG_CONFIG_HOME/received"
echo "  (Windows-1252 with LF line ends: e9 is é, 80 is €, 97 is the dash; ? stands for"
echo "   what Windows-1252 lacks)"
