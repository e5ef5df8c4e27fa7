#!/usr/bin/env bash
# The clipboard on weston 10 with Xwayland, which offers no data-control: weston's bridge
# fetches the text the moment Quillet takes the X11 selection, so each of ten runs must
# still reach Wayland and X11 programs; then the other way, from either.
source "$(dirname "$0")/desktop-lib.sh" "$1"
source "$(dirname "$0")/compositor-lib.sh"
start_weston

for run in $(seq 10); do
  p2h_read_by "run $run" wl_text x11_text
done
h2p_from "from Wayland" wl-copy x11_text
h2p_from "from X11" "xclip -i -selection clipboard" x11_text

finish
