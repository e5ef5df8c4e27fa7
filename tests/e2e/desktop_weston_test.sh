#!/usr/bin/env bash
# The clipboard on weston 10 with Xwayland, which offers no data-control: Quillet uses
# X11, and weston's bridge carries the text to Wayland programs, fetching it as soon as
# Quillet takes the selection. After each run the handheld's text must still reach
# Wayland (wl-paste) and X11 (xclip) programs; ten runs, as when that fetch lands
# varies from run to run. Then the other way, from a Wayland and from an X11 program.
source "$(dirname "$0")/desktop-lib.sh" "$1"
start_weston

for run in $(seq 10); do
  p2h_read_by "run $run" "timeout 5 wl-paste -n" "timeout 5 xclip -o -selection clipboard"
done
h2p_from "from Wayland" wl-copy "timeout 5 xclip -o -selection clipboard"
h2p_from "from X11" "xclip -i -selection clipboard" "timeout 5 xclip -o -selection clipboard"

finish
