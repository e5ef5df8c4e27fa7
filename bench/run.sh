#!/usr/bin/env bash
# Prints one table: each of Quillet's costs beside its peer, measured in this same run.
#   bash bench/run.sh [BUILD_DIR]     (default build/linux; built with the linux preset)
# The conversions run on a 64 MiB text of 80-character lines beside memcpy and
# dos2unix/unix2dos; whole runs move 32 KiB each way over a pty with handheld-sim under
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
row() { rows+=("$(printf '%-44s %14s %16s %9s %8s  %s' "$@")"); }
# met RATIO OP LIMIT: "met" or "MISSED"
met() { awk -v r="$1" -v l="$3" -v op="$2" \
  'BEGIN { ok = op == ">=" ? r >= l : r <= l; print ok ? "met" : "MISSED" }'; }

# ---- The line-end conversions -----------------------------------------------------------
echo "bench: the line-end conversions (about 20 s)" >&2
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

r=$(ratio "$ours" "$tools")
row "both conversions vs dos2unix+unix2dos" "$(gbs "$ours")" "$(gbs "$tools")" "${r}x" ">=10x" \
  "$(met "$r" ">=" 10)"
r=$(ratio "$strip" "$dos2unix")
row "StripCarriageReturns vs dos2unix" "$(gbs "$strip")" "$(gbs "$dos2unix")" "${r}x" ">=10x" \
  "$(met "$r" ">=" 10)"
r=$(ratio "$expand" "$unix2dos")
row "ExpandLineFeeds vs unix2dos" "$(gbs "$expand")" "$(gbs "$unix2dos")" "${r}x" ">=10x" \
  "$(met "$r" ">=" 10)"
r=$(ratio "$strip" "$memcpyCrlf")
row "StripCarriageReturns vs memcpy" "$(gbs "$strip")" "$(gbs "$memcpyCrlf")" "${r}x" ">=0.33x" \
  "$(met "$r" ">=" 0.333)"
r=$(ratio "$expand" "$memcpyLf")
row "ExpandLineFeeds vs memcpy" "$(gbs "$expand")" "$(gbs "$memcpyLf")" "${r}x" ">=0.33x" \
  "$(met "$r" ">=" 0.333)"
r=$(ratio "$expandFresh" "$memcpyFresh")
row "ExpandLineFeeds vs memcpy, fresh pages" "$(gbs "$expandFresh")" "$(gbs "$memcpyFresh")" \
  "${r}x" "-" "(first touch of the new block)"

# ---- Whole runs: Quillet over a pty beside xclip ---------------------------------------
echo "bench: whole runs under Xvfb (about 30 s)" >&2
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

# 80-character lines: the longest text the handheld may send, and 32 KiB for it to ask for.
lines() { awk -v n="$1" 'BEGIN { while (n > 0) { l = n < 81 ? n : 81;
  s = substr("The quick brown fox jumps over the lazy dog, then the lazy dog jumps over the quick", 1, l - 1);
  printf "%s\n", s; n -= l } }'; }
lines 32766 >"$work/p2h.txt"
lines 32768 >"$work/h2p.txt"

sim() { "$build/handheld-sim" --quiet --timeout 5000 --pty "$link" "$@"; }
wait_link() { for _ in $(seq 200); do [ -L "$link" ] && return 0; sleep 0.01; done; return 1; }
# median_max FILE: median of column 1, largest of column 2
median_max() { sort -n "$1" | awk '{ w[NR] = $1; if ($2 > r) r = $2 } END { print w[int((NR + 1) / 2)], r }'; }

: >"$work/p2h" ; : >"$work/xclip-i" ; : >"$work/h2p" ; : >"$work/xclip-o"
for _ in $(seq "$RUNS"); do
  sim --send-file "$work/p2h.txt" & pid=$!
  wait_link
  "$build/peak-run" "$build/Quillet" >>"$work/p2h"
  wait $pid
  "$build/peak-run" xclip -i -selection clipboard "$work/p2h.txt" >>"$work/xclip-i"
done
# The text the handheld sent is on the clipboard, CR LF and all, as X11 programs see it.
xclip -o -selection clipboard | cmp -s - "$work/p2h.txt" ||
  { echo "bench: the clipboard does not hold the handheld's text" >&2; exit 1; }
xclip -i -selection clipboard "$work/h2p.txt"
for _ in $(seq "$RUNS"); do
  sim --receive >"$work/got" & pid=$!
  wait_link
  "$build/peak-run" "$build/Quillet" >>"$work/h2p"
  wait $pid || { echo "bench: the handheld got no text" >&2; exit 1; }
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
# wire TRACE: "read write writes largest-write" on the port's descriptor
wire() { awk -v link="$link" '
  /openat\(/ && index($0, link) { split($0, a, "= "); fd = a[2] + 0 }
  fd && $0 ~ "(read|write)\\(" fd "," { split($0, a, "= "); n = a[2] + 0
    if ($0 ~ "write\\(") { w += n; ws++; if (n > big) big = n } else r += n }
  END { print r + 0, w + 0, ws + 0, big + 0 }' "$1"; }
for direction in p2h h2p; do
  if [ $direction = p2h ]; then
    sim --send-file "$work/p2h.txt" & pid=$!; length=$(wc -c <"$work/p2h.txt")
  else
    xclip -i -selection clipboard "$work/h2p.txt"
    sim --receive >/dev/null & pid=$!; length=$(wc -c <"$work/h2p.txt")
  fi
  wait_link
  strace -f -qq -e trace=openat,read,write -o "$work/trace" "$build/Quillet"
  wait $pid
  read -r got sent writes largest < <(wire "$work/trace")
  total=$((got + sent))
  label=$([ $direction = p2h ] && echo "handheld to clipboard" || echo "clipboard to handheld")
  verdict=$([ $total -eq $((20 + length)) ] && echo met || echo MISSED)
  if [ $direction = h2p ] && [ "$largest" -ne "$length" ]; then verdict="MISSED (text in pieces)"; fi
  row "bytes on the wire, $label (L=$length)" "$total" "20 + L" "-" "= 20+L" "$verdict"
  [ $direction = h2p ] && row "  Quillet's writes: length field, text" "$writes" "2" "-" "= 2" \
    "$([ "$writes" -eq 2 ] && [ "$largest" -eq "$length" ] && echo met || echo MISSED)"
done

# ---- Print ------------------------------------------------------------------------------
printf '%-44s %14s %16s %9s %8s  %s\n' measure Quillet peer ratio goal ""
printf '%s\n' "${rows[@]}"
