#!/usr/bin/env bash
# Prints one table: each of Quillet's costs beside its peer, measured in this same run.
#   bash bench/run.sh [BUILD_DIR]     (default build/linux; built with the linux preset)
# The conversions run on a 64 MiB text of 80-character lines beside memcpy and
# dos2unix/unix2dos; a 10 MiB clipboard text goes to CF_TEXT in 1251 and 932 beside 1252;
# whole runs move 32 KiB each way over a pty with handheld-sim under
# Xvfb, beside xclip.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/linux}
if [ "$build" = build/linux ]; then
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j2 >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rows=()
# row MEASURE QUILLET PEER RATIO GOAL MET
row() { rows+=("$(printf '%-52s %12s %12s %8s %8s  %s' "$@")"); }
# met RATIO OP LIMIT: "met" or "MISSED"
met() { awk -v r="$1" -v l="$3" -v op="$2" \
  'BEGIN { ok = op == ">=" ? r >= l : r <= l; print ok ? "met" : "MISSED" }'; }

# ---- The line-end conversions -----------------------------------------------------------
echo "bench: the line-end and code page conversions (about 30 s)" >&2
TMPDIR=$work "$build/quillet-bench" --benchmark_format=csv >"$work/text.csv" 2>"$work/text.err" ||
  { cat "$work/text.err" >&2; exit 1; }
# rate NAME-PREFIX: bytes per second of the first benchmark whose name begins so
rate() { awk -F, -v n="\"$1" 'index($0, n) == 1 { print $6; exit }' "$work/text.csv"; }
gbs() { awk -v b="$1" 'BEGIN { printf "%.2f GB/s", b / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# pair rate: both conversions one after the other over the same bytes
pair() { awk -v a="$1" -v b="$2" 'BEGIN { print 2 / (1 / a + 1 / b) }'; }

strip=$(rate BM_StripCarriageReturns/) expand=$(rate BM_ExpandLineFeeds/0/)
expandFresh=$(rate BM_ExpandLineFeeds/1/) memcpyCrlf=$(rate BM_Memcpy/0/)
memcpyLf=$(rate BM_Memcpy/1/) memcpyFresh=$(rate BM_MemcpyFresh/)
dos2unix=$(rate BM_Tool/0/) unix2dos=$(rate BM_Tool/1/)
ours=$(pair "$strip" "$expand") tools=$(pair "$dos2unix" "$unix2dos")

# throughput NAME OURS PEER [OP LIMIT]: two rates, their ratio, and the goal when given
throughput() {
  local r
  r=$(ratio "$2" "$3")
  if [ $# -gt 3 ]; then
    row "$1" "$(gbs "$2")" "$(gbs "$3")" "${r}x" "$4${5}x" "$(met "$r" "$4" "$5")"
  else
    row "$1" "$(gbs "$2")" "$(gbs "$3")" "${r}x" "-" "(first touch of the new block)"
  fi
}
throughput "both conversions vs dos2unix+unix2dos" "$ours" "$tools" ">=" 10
throughput "StripCarriageReturns vs dos2unix" "$strip" "$dos2unix" ">=" 10
throughput "ExpandLineFeeds vs unix2dos" "$expand" "$unix2dos" ">=" 10
throughput "StripCarriageReturns vs memcpy" "$strip" "$memcpyCrlf" ">=" 0.333
throughput "ExpandLineFeeds vs memcpy" "$expand" "$memcpyLf" ">=" 0.333
throughput "ExpandLineFeeds vs memcpy, fresh pages" "$expandFresh" "$memcpyFresh"

# ---- Code pages: a 10 MiB clipboard text to the handheld (count, then write) -------------
# ms NAME-PREFIX: real time in ms of the first benchmark whose name begins so
ms() { awk -F, -v n="\"$1" 'index($0, n) == 1 { printf "%.1f", $3; exit }' "$work/text.csv"; }
cp1252=$(ms BM_ToHandheld/0/)
for pick in 1:1251 2:932; do
  t=$(ms "BM_ToHandheld/${pick%%:*}/") r=$(ratio "$t" "$cp1252")
  row "10 MiB clipboard to CF_TEXT: ${pick##*:} vs 1252" "$t ms" "$cp1252 ms" "${r}x" "<=1.5x" \
    "$(met "$r" "<=" 1.5)"
done

# ---- Whole runs: Quillet over a pty beside xclip ---------------------------------------
echo "bench: whole runs under Xvfb (about 20 s)" >&2
RUNS=${RUNS:-15}
export HOME=$work/home XDG_CONFIG_HOME=$work/config
mkdir -p "$HOME" "$XDG_CONFIG_HOME"
echo 'pcm.!default { type null }' >"$HOME/.asoundrc"  # the tone goes nowhere
Xvfb -displayfd 9 -nolisten tcp -screen 0 640x480x24 9>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=":$(head -n1 "$work/display")"
"$build/SetQuillet" com1 115200
link=$XDG_CONFIG_HOME/quillet/devices/com1
mkdir -p "$(dirname "$link")"
# The handheld sits on the far end of a pty pair that outlives the runs, and speaks before
# Quillet opens the port: its bytes wait in the line, so a run's time is Quillet's own.
socat PTY,link="$link",raw,echo=0 PTY,link="$work/handheld",raw,echo=0 2>/dev/null &
relay=$!
trap 'kill $relay $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -L "$work/handheld" ] && break; sleep 0.05; done

# 80-character lines: the longest text the handheld may send, and 32 KiB for it to ask for.
lines() { awk -v c="$1" -v n="$2" 'BEGIN { for (i = 0; i < 80; i++) l = l c; l = l "\n"
  for (; n > 0; n -= length(s)) { s = substr(l, 1, n < 81 ? n : 81); printf "%s", s } }'; }
lines p 32766 >"$work/p2h.txt"
lines h 32768 >"$work/h2p.txt"

# handheld OPTIONS...: the handheld's side, started and given time to speak
handheld() { "$build/handheld-sim" --quiet --timeout 3000 "$work/handheld" "$@" & sim=$!; sleep 0.05; }
# A handheld that sent its text lingers on the line: sent away once the run is over.
dismiss() { kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true; }
# median_max FILE: median of column 1, largest of column 2
median_max() { sort -n "$1" | awk '{ w[NR] = $1; if ($2 > r) r = $2 } END { print w[int((NR + 1) / 2)], r }'; }

: >"$work/p2h"; : >"$work/xclip-i"; : >"$work/h2p"; : >"$work/xclip-o"
for _ in $(seq "$RUNS"); do
  handheld --send-file "$work/p2h.txt"
  "$build/peak-run" "$build/Quillet" >>"$work/p2h"
  dismiss
  "$build/peak-run" xclip -i -selection clipboard "$work/p2h.txt" >>"$work/xclip-i" 2>/dev/null
done
# The text the handheld sent is on the clipboard, as X11 programs see it.
xclip -o -selection clipboard | cmp -s - "$work/p2h.txt" ||
  { echo "bench: the clipboard does not hold the handheld's text" >&2; exit 1; }
xclip -i -selection clipboard "$work/h2p.txt" 2>/dev/null
for _ in $(seq "$RUNS"); do
  handheld --receive >"$work/got"
  "$build/peak-run" "$build/Quillet" >>"$work/h2p"
  wait $sim || { echo "bench: the handheld got no text" >&2; exit 1; }
  cmp -s "$work/got" "$work/h2p.txt" || { echo "bench: the handheld got other text" >&2; exit 1; }
  "$build/peak-run" sh -c 'exec xclip -o -selection clipboard >/dev/null' >>"$work/xclip-o"
done
for direction in p2h:xclip-i h2p:xclip-o; do
  ours=${direction%%:*} peer=${direction##*:}
  read -r oursWall oursRss < <(median_max "$work/$ours")
  read -r peerWall peerRss < <(median_max "$work/$peer")
  label=$([ "$ours" = p2h ] && echo "handheld to clipboard" || echo "clipboard to handheld")
  r=$(ratio "$oursWall" "$peerWall")
  row "32 KiB $label: wall vs $peer" "${oursWall} ms" "${peerWall} ms" "${r}x" "<=1.2x" \
    "$(met "$r" "<=" 1.2)"
  r=$(ratio "$oursRss" "$peerRss")
  row "32 KiB $label: peak RSS vs $peer" "${oursRss} KiB" "${peerRss} KiB" "${r}x" "<=1.5x" \
    "$(met "$r" "<=" 1.5)"
done

# ---- Bytes on the wire: what Quillet reads from and writes to the port ------------------
# wire TRACE: "bytes-read bytes-written write-calls largest-write" on the port's descriptor.
# A write the kernel took in part is finished by further write()s of the rest: one call.
wire() { awk -v link="$link" '
  /^openat\(/ && index($0, link) { split($0, a, "= "); fd = a[2] + 0; next }
  !fd || $0 !~ "^(read|write)\\(" fd "," { next }
  { n = $NF + 0; if (n <= 0) next }
  /^read/ { r += n; next }
  { match($0, /, [0-9]+\) +=/); asked = substr($0, RSTART + 2, RLENGTH - 5) + 0
    if (asked != rest) { calls++; size = 0 }
    size += n; w += n; rest = asked - n; if (size > big) big = size }
  END { print r + 0, w + 0, calls + 0, big + 0 }' "$1"; }
for direction in p2h h2p; do
  if [ $direction = p2h ]; then
    handheld --send-file "$work/p2h.txt"; length=$(wc -c <"$work/p2h.txt")
  else
    xclip -i -selection clipboard "$work/h2p.txt" 2>/dev/null
    handheld --receive >/dev/null; length=$(wc -c <"$work/h2p.txt")
  fi
  strace -qq -e trace=openat,read,write -o "$work/trace" "$build/Quillet"
  dismiss
  read -r got sent calls largest < <(wire "$work/trace")
  total=$((got + sent))
  label=$([ $direction = p2h ] && echo "handheld to clipboard" || echo "clipboard to handheld")
  row "bytes on the wire, $label (L=$length)" "$total" "20 + L" "-" "= 20+L" \
    "$([ $total -eq $((20 + length)) ] && echo met || echo MISSED)"
  [ $direction = h2p ] && row "  Quillet's writes (length field, text)" "$calls" "2" "-" "= 2" \
    "$([ "$calls" -eq 2 ] && [ "$largest" -eq "$length" ] && echo met || echo MISSED)"
done

# ---- Print ------------------------------------------------------------------------------
printf '%-52s %12s %12s %8s %8s  %s\n' measure Quillet peer ratio goal ""
printf '%s\n' "${rows[@]}"
