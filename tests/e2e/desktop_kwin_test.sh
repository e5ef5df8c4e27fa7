#!/usr/bin/env bash
# The clipboard on KDE's compositor (kwin_wayland, virtual backend, with Xwayland), which
# offers data-control, Quillet started with WAYLAND_DISPLAY and DISPLAY set: both
# directions, with no X11 window active and with one. With none active, KWin parks the
# X11 input focus on a 1x1 window of its own, which is no X11 program's: X11 programs
# (xclip, a GTK3 program on X11) must still read the handheld's text.
source "$(dirname "$0")/desktop-lib.sh" "$1"
start_kwin
GTK_X11="GDK_BACKEND=x11 NO_AT_BRIDGE=1 timeout 5 /usr/bin/python3 $(dirname "$0")/gtk-clipboard.py get"

active() { xprop -root _NET_ACTIVE_WINDOW | grep -o '0x[0-9a-f]*$'; }

[ "$(active)" = 0x0 ] || fail "an X11 window is active: $(active)"
p2h_read_by "no X11 window active" "timeout 5 wl-paste -n" \
  "timeout 5 xclip -o -selection clipboard" "$GTK_X11"
check_keeper "no X11 window active"
h2p_from "no X11 window active" wl-copy "timeout 5 wl-paste -n"
wait_until no_keepers 3 "keeper still running after wl-copy"

xmessage -geometry +10+10 focus 2>/dev/null &
message=$!
wait_until '[ "$(active)" != 0x0 ]' 5 "xmessage never became active"
p2h_read_by "X11 window active" "timeout 5 wl-paste -n" \
  "timeout 5 xclip -o -selection clipboard" "$GTK_X11"
h2p_from "X11 window active" wl-copy "timeout 5 wl-paste -n"
stop "$message"

finish
