#!/usr/bin/env bash
# The clipboard on GNOME's compositor (mutter, headless, with its Xwayland), which offers no
# data-control: Quillet uses X11, and mutter bridges the text to a focused GTK3 window (the
# focus comes once the seat has a keyboard), keeping a copy of its own once the keeper is
# gone. The tone takes its real time, on a sound server of our own.
source "$(dirname "$0")/desktop-lib.sh" "$1"
source "$(dirname "$0")/compositor-lib.sh"
source "$(dirname "$0")/sound-lib.sh"
start_mutter
start_sound_server

mkfifo "$WORK/gtk.in" "$WORK/gtk.out"
GDK_BACKEND=wayland NO_AT_BRIDGE=1 /usr/bin/python3 "$(dirname "$0")/gtk-clipboard.py" \
  --keyboard window <"$WORK/gtk.in" >"$WORK/gtk.out" 2>"$WORK/gtk.err" &
exec {TO_GTK}>"$WORK/gtk.in" {FROM_GTK}<"$WORK/gtk.out"
read -r -t 20 ready <&$FROM_GTK
[ "${ready:-}" = ready ] || { fail "the GTK window never got the focus: $(cat "$WORK/gtk.err")"; finish; }
# The GTK window pastes, or (gtk_copy) copies its standard input.
gtk() {
  echo "$1 $WORK/gtk" >&$TO_GTK
  read -r -t 10 _ <&$FROM_GTK || echo "(the GTK window did not answer)"
}
gtk_paste() { rm -f "$WORK/gtk"; gtk get && cat "$WORK/gtk"; }
gtk_copy() { cat >"$WORK/gtk"; gtk set; }

p2h_read_by "GNOME" gtk_paste x11_text
h2p_from "from Wayland" gtk_copy x11_text
h2p_from "from X11" "xclip -i -selection clipboard" x11_text

# Pasted first by the Wayland program, then again once the keeper was killed, and by an
# X11 program then: mutter's copy.
stale=0 lost=0 started=$SECONDS
for run in $(seq 20); do
  run_quillet --send "text $run"
  sleep 1
  pasted=$(gtk_paste)
  [ "$pasted" = "text $run" ] || { stale=$((stale + 1)); echo "run $run: pasted [$pasted]"; }
  keeper=$(keepers)
  [ -n "$keeper" ] && kill -KILL $keeper
  sleep 0.3
  pasted=$(gtk_paste)
  copied=$(x11_text 2>&1)
  [ "$pasted" = "text $run" ] && [ "$copied" = "text $run" ] ||
    { lost=$((lost + 1)); echo "run $run, keeper killed: pasted [$pasted], X11 [$copied]"; }
done
echo "20 runs in $((SECONDS - started)) s"
[ "$stale" -eq 0 ] || fail "$stale of 20 runs: the Wayland program pasted another text"
[ "$lost" -eq 0 ] || fail "$lost of 20 runs: the text did not outlive the keeper"

exec {TO_GTK}>&-
finish
