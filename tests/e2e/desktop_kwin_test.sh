#!/usr/bin/env bash
# The clipboard on KDE's compositor (kwin_wayland, virtual, Xwayland, data-control): both
# directions with no X11 window active (KWin then parks the X11 focus on a 1x1 window of
# its own) and with one; X11 programs (xclip, GTK3 on X11) must read the text either way.
source "$(dirname "$0")/desktop-lib.sh" "$1"
source "$(dirname "$0")/compositor-lib.sh"
start_kwin
GTK_X11="GDK_BACKEND=x11 NO_AT_BRIDGE=1 timeout 5 /usr/bin/python3 $(dirname "$0")/gtk-clipboard.py get"

active() { xprop -root _NET_ACTIVE_WINDOW | grep -o '0x[0-9a-f]*$'; }

[ "$(active)" = 0x0 ] || fail "an X11 window is active: $(active)"
p2h_read_by "no X11 window active" wl_text x11_text "$GTK_X11"
check_keeper "no X11 window active"
h2p_from "no X11 window active" wl-copy wl_text
wait_until no_keepers 3 "keeper still running after wl-copy"

xmessage -geometry +10+10 focus 2>/dev/null &
message=$!
wait_until '[ "$(active)" != 0x0 ]' 5 "xmessage never became active"
p2h_read_by "X11 window active" wl_text x11_text "$GTK_X11"
h2p_from "X11 window active" wl-copy wl_text
stop "$message"

finish
