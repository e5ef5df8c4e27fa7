#!/usr/bin/env bash
# Prints one table: each of Quillet's costs beside its peer, measured in this same run.
#   bash bench/run.sh [BUILD_DIR]     (default build/linux; built with the linux preset)
# The conversions run on a 64 MiB text of 80-character lines beside memcpy and
# dos2unix/unix2dos; a 10 MiB clipboard text goes to CF_TEXT in 1251 and 932 beside 1252;
# whole runs move 32 KiB each way over a pty with handheld-sim under Xvfb, beside xclip,
# with ALSA's null device and with a PulseAudio server of the bench's own (null sink), and
# time the tone against the text's last byte.
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
row() { rows+=("$(printf '%-58s %10s %10s %7s %8s  %s' "$@")"); }
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

# ---- The settings store: 37,700 keys just under the 1 MiB cap beside one key -----------
echo "bench: the settings store, a large one beside a small one (about 40 s)" >&2
# store_text KEYS: that many keys in the store's own layout, the setting's key last
store_text() { awk -v n="$1" 'BEGIN { printf "REGEDIT4\n"
  for (i = 0; i < n - 3; i++) printf "\n[HKEY_CURRENT_USER\\k%d]\n", i
  printf "\n[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\Dorvane]\n"
  printf "\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n\"Port\"=dword:00000001\n"
  printf "\"Baudrate\"=dword:0001c200\n" }'; }
for keys in 37700 3; do
  mkdir -p "$work/store-$keys/quillet/devices"
  ln -s "$work/no-such-port" "$work/store-$keys/quillet/devices/com1"  # the run ends there
  store_text $keys >"$work/store-$keys/quillet/user.reg"
done
storeBytes=$(wc -c <"$work/store-37700/quillet/user.reg")
# A store changed just before a run (100 ms, or 2 s where times are whole seconds) is read
# at every call: aged as a user's store is.
sleep 3
mid() { sort -g "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for keys in 37700 3; do
  export XDG_CONFIG_HOME=$work/store-$keys
  # Quillet's wall time with a missing port: its time to the port, then one message.
  env -u DISPLAY -u WAYLAND_DISPLAY "$build/peak-run" -n 9 "$build/Quillet" 2>/dev/null |
    awk '{ print $1 }' >"$work/quillet-$keys"
  : >"$work/setquillet-$keys"
  for _ in 1 2 3 4 5; do  # each run writes the store: aged again before the next
    sleep 3
    "$build/peak-run" "$build/SetQuillet" com1 115200 | awk '{ print $1 }' >>"$work/setquillet-$keys"
  done
  unset XDG_CONFIG_HOME
done
for program in quillet setquillet; do
  what=$([ $program = quillet ] && echo "Quillet to the port" || echo "SetQuillet com1 115200")
  a=$(mid "$work/$program-37700") b=$(mid "$work/$program-3")
  row "$what, 37,700 keys ($storeBytes B) vs 1 key" "$a ms" "$b ms" "$(ratio "$a" "$b")x" \
    "<=100ms" "$(met "$a" "<=" 100)"
done

# ---- Whole runs: Quillet beside xclip, on ALSA's null device and on PulseAudio ----------
echo "bench: whole runs under Xvfb, null device then PulseAudio (about 60 s)" >&2
RUNS=${RUNS:-15}
HANDHELD_DELAY=200  # ms the handheld takes to answer once the port is open
source tests/e2e/desktop-lib.sh "$build"  # its own Xvfb and throw-away home
source tests/e2e/sound-lib.sh         # and its own PulseAudio
trap 'rm -rf "$work"; cleanup' EXIT
start_x
"$build/SetQuillet" com1 115200 >/dev/null

# 80-character lines: the longest text the handheld may send, and 32 KiB for it to ask for.
lines() { awk -v c="$1" -v n="$2" 'BEGIN { for (i = 0; i < 80; i++) l = l c; l = l "\n"
  for (; n > 0; n -= length(s)) { s = substr(l, 1, n < 81 ? n : 81); printf "%s", s } }'; }
lines p 32766 >"$work/p2h.txt"
lines h 32768 >"$work/h2p.txt"

# median FILE COLUMN, largest FILE COLUMN
median() { sort -g -k"$2","$2" "$1" |
  awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'; }
largest() { sort -g -k"$2","$2" "$1" | awk -v c="$2" 'END { print $c }'; }

# One run of Quillet under the tap (bench/tone_tap.cpp) against a handheld on a fresh pty
# that answers HANDHELD_DELAY ms after the open, as a person would. Appends to file $1:
#   own rss helperRss firstWrite ready lastByte afterSet
# own: the wall time less the wait for the handheld's first byte (port open to command
# word) and less the tone's playing (first write to the drain's return), both as stamped
# in this run; firstWrite: the text's last byte to the tone's first write; ready: port
# open to the device set up; lastByte: its CLOCK_REALTIME ns; afterSet: the clipboard
# set (handheld to clipboard) or the port write done (clipboard to handheld) to the
# first write.
quillet_run() {
  local out=$1
  shift
  "$SIM" --quiet --timeout 5000 --pty "$LINK" --delay "$HANDHELD_DELAY" "$@" >"$work/got" &
  local sim=$!
  wait_until '[ -L "$LINK" ]' 10 "handheld-sim placed no link"
  rm -f "$work/tap"
  read -r wall rss < <(TONE_TAP=$work/tap LD_PRELOAD=$build/tone-tap.so \
    "$build/peak-run" "$QUILLET")
  wait "$sim" || { echo "bench: the handheld failed" >&2; exit 1; }
  awk -v wall="$wall" -v rss="$rss" '
    $1 == "O" { o = $2 } $1 == "F" { first = $2 } $1 == "L" { last = $2 } $1 == "S" { s = $2 }
    $1 == "R" { r = $2 } $1 == "W" { w = $2 } $1 == "D" { d = $2; hr = $3 }
    END { printf "%.2f %d %d %.2f %.2f %s %.2f\n", wall - (first - o) / 1e6 - (d - w) / 1e6, rss,
          hr, (w - last) / 1e6, (r - o) / 1e6, last, (w - (s > last ? s : last)) / 1e6 }' \
    "$work/tap" >>"$out"
}

for stack in null pulse; do
  if [ $stack = null ]; then
    echo 'pcm.!default { type null }' >"$HOME/.asoundrc"
  else
    start_pulse  # ALSA's default device through the pulse plugin from here on
    mkfifo "$work/monitor"
    "$build/sound-onsets" <"$work/monitor" >"$work/onsets" &
    record_monitor "$work/monitor"
  fi
  for direction in p2h h2p; do
    : >"$work/$stack-$direction"
    : >"$work/$stack-xclip-$direction"
    [ $direction = h2p ] && xclip -i -selection clipboard "$work/h2p.txt" 2>/dev/null
    for _ in $(seq "$RUNS"); do
      if [ $direction = p2h ]; then
        quillet_run "$work/$stack-$direction" --send-file "$work/p2h.txt"
        cmp -s "$work/got" /dev/null || { echo "bench: the handheld said something" >&2; exit 1; }
        "$build/peak-run" xclip -i -selection clipboard "$work/p2h.txt" \
          >>"$work/$stack-xclip-$direction" 2>/dev/null
      else
        quillet_run "$work/$stack-$direction" --receive
        cmp -s "$work/got" "$work/h2p.txt" ||
          { echo "bench: the handheld got other text" >&2; exit 1; }
        "$build/peak-run" sh -c 'exec xclip -o -selection clipboard >/dev/null' \
          >>"$work/$stack-xclip-$direction"
      fi
    done
  done
  # The text the handheld sent reached the clipboard, as X11 programs see it.
  quillet_run "$work/last" --send-file "$work/p2h.txt"
  xclip -o -selection clipboard | cmp -s - "$work/p2h.txt" ||
    { echo "bench: the clipboard does not hold the handheld's text" >&2; exit 1; }
done

# Peak RSS of what serves the text after the program ended: Quillet's keeper (left by the
# run above, on PulseAudio) and the process xclip -i leaves, each after one paste.
hwm() { awk '/^VmHWM/ { print $2 }' "/proc/$1/status"; }
xclip -o -selection clipboard >/dev/null
keeper=$(keepers)
keeperRss=$(hwm "$keeper")
xclip -i -selection clipboard "$work/p2h.txt" 2>/dev/null
xclip -o -selection clipboard >/dev/null
xclipRss=$(hwm "$(servers xclip)")

for stack in null pulse; do
  name=$([ $stack = null ] && echo "null device" || echo "PulseAudio")
  rssGoal=1.5
  for direction in p2h h2p; do
    peer=$([ $direction = p2h ] && echo xclip-i || echo xclip-o)
    label=$([ $direction = p2h ] && echo "handheld to clipboard" || echo "clipboard to handheld")
    ours=$work/$stack-$direction theirs=$work/$stack-xclip-$direction
    a=$(median "$ours" 1) b=$(median "$theirs" 1) r=$(ratio "$(median "$ours" 1)" "$b")
    row "32 KiB $label, $name: time* vs $peer" "$a ms" "$b ms" "${r}x" "<=1.2x" \
      "$(met "$r" "<=" 1.2)"
    a=$(largest "$ours" 2) b=$(largest "$theirs" 2) r=$(ratio "$a" "$b")
    row "  peak RSS, Quillet vs $peer" "$a KiB" "$b KiB" "${r}x" "<=${rssGoal}x" \
      "$(met "$r" "<=" "$rssGoal")"
    a=$(largest "$ours" 3) r=$(ratio "$a" "$b")
    row "  peak RSS, tone helper vs $peer" "$a KiB" "$b KiB" "${r}x" "-"
  done
  cat "$work/$stack-p2h" "$work/$stack-h2p" >"$work/$stack-all"
  a=$(median "$work/$stack-all" 4)
  row "tone, $name: text's last byte to first write" "$a ms" "-" "-" "-"
  a=$(median "$work/$stack-all" 7)
  row "tone, $name: text delivered to first write" "$a ms" "-" "-" "<=2ms" \
    "$(awk -v a="$a" 'BEGIN { print a <= 2 ? "met" : "MISSED" }')"
  row "tone, $name: port open to device ready" "$(median "$work/$stack-all" 5) ms" "-" "-" \
    "<${HANDHELD_DELAY}ms" "$(awk -v a="$(largest "$work/$stack-all" 5)" -v d=$HANDHELD_DELAY \
      'BEGIN { print a < d ? "met" : "MISSED" }')"
done
# The monitor hears each tone some time after the last byte: the first onset after it.
while read -r _ _ _ _ _ last _; do
  awk -v l="$last" '$1 > l { printf "%.2f\n", ($1 - l) / 1e6; exit }' "$work/onsets"
done <"$work/pulse-all" >"$work/heard"
row "tone, PulseAudio: text's last byte to first sample heard" "$(median "$work/heard" 1) ms" \
  "-" "-" "-"
r=$(ratio "$keeperRss" "$xclipRss")
row "keeper serving 32 KiB: peak RSS vs xclip -i's" "$keeperRss KiB" "$xclipRss KiB" "${r}x" \
  "<=2x" "$(met "$r" "<=" 2)"
kill "$RECORDER_PID"

# ---- What the user waits for: from the text's last byte on the line (the handheld answering
# HANDHELD_DELAY ms after the open, Quillet connected meanwhile) until the clipboard is
# ours with the text, as a program watching CLIPBOARD sees it; beside xclip -i from its
# start until it owns the clipboard. Median of 7. From here on ALSA's null device, and no
# sound server that ALSA's configuration would route the default device to regardless.
stop_sound_server
echo 'pcm.!default { type null }' >"$HOME/.asoundrc"
"$build/selection-watch" >"$work/owners" &
watch=$!
for _ in $(seq 100); do grep -qx ready "$work/owners" && break; sleep 0.05; done
: >"$work/user-quillet"
: >"$work/user-xclip"
for _ in 1 2 3 4 5 6 7; do
  quillet_run "$work/user-runs" --send-file "$work/p2h.txt"
  sleep 0.1  # the watcher's line
  last=$(tail -n1 "$work/user-runs" | awk '{ print $6 }')
  awk -v l="$last" '$1 ~ /^[0-9]+$/ && $1 > l { o = $1 } END { printf "%.2f\n", (o - l) / 1e6 }' \
    "$work/owners" >>"$work/user-quillet"
  rm -f "$work/starts"
  PEAK_RUN_STARTS=$work/starts "$build/peak-run" xclip -i -selection clipboard "$work/p2h.txt" \
    >/dev/null 2>&1
  sleep 0.1
  awk -v s="$(cat "$work/starts")" '$1 ~ /^[0-9]+$/ && $1 > s { printf "%.2f\n", ($1 - s) / 1e6; exit }' \
    "$work/owners" >>"$work/user-xclip"
done
kill $watch
a=$(median "$work/user-quillet" 1) b=$(median "$work/user-xclip" 1) r=$(ratio "$a" "$b")
row "handheld to clipboard: last byte to ours vs xclip-i start" "$a ms" "$b ms" "${r}x" \
  "<=1.0x" "$(met "$r" "<=" 1.0)"

# ---- Bytes on the wire: what Quillet reads from and writes to the port ------------------
echo 'pcm.!default { type null }' >"$HOME/.asoundrc"
# The handheld sits on the far end of a pty pair and speaks before Quillet opens the port.
socat PTY,link="$LINK",raw,echo=0 PTY,link="$work/handheld",raw,echo=0 2>/dev/null &
relay=$!
trap 'kill $relay 2>/dev/null; rm -rf "$work"; cleanup' EXIT
for _ in $(seq 100); do [ -L "$work/handheld" ] && break; sleep 0.05; done
# handheld OPTIONS...: the handheld's side, started and given time to speak
handheld() { "$SIM" --quiet --timeout 3000 "$work/handheld" "$@" & sim=$!; sleep 0.05; }
# A handheld that sent its text lingers on the line: sent away once the run is over.
dismiss() { kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true; }
# wire TRACE: "bytes-read bytes-written write-calls largest-write" on the port's descriptor.
# A write the kernel took in part is finished by further write()s of the rest: one call.
wire() { awk -v link="$LINK" '
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

# ---- Whole runs with the handheld's bytes already in the line: Quillet's own time -------
# Median of 7 whole processes each way, ALSA's null device, beside xclip doing its half.
for direction in p2h h2p; do
  : >"$work/waiting-$direction"
  : >"$work/waiting-xclip-$direction"
  [ $direction = h2p ] && xclip -i -selection clipboard "$work/h2p.txt" 2>/dev/null
  for _ in 1 2 3 4 5 6 7; do
    if [ $direction = p2h ]; then
      handheld --send-file "$work/p2h.txt"
      "$build/peak-run" "$QUILLET" >>"$work/waiting-$direction"
      dismiss
      "$build/peak-run" xclip -i -selection clipboard "$work/p2h.txt" \
        >>"$work/waiting-xclip-$direction" 2>/dev/null
    else
      handheld --receive >/dev/null
      "$build/peak-run" "$QUILLET" >>"$work/waiting-$direction"
      dismiss
      "$build/peak-run" sh -c 'exec xclip -o -selection clipboard >/dev/null' \
        >>"$work/waiting-xclip-$direction"
    fi
  done
  peer=$([ $direction = p2h ] && echo xclip-i || echo xclip-o)
  label=$([ $direction = p2h ] && echo "handheld to clipboard" || echo "clipboard to handheld")
  a=$(median "$work/waiting-$direction" 1) b=$(median "$work/waiting-xclip-$direction" 1)
  r=$(ratio "$a" "$b")
  row "32 KiB $label, bytes waiting: run vs $peer" "$a ms" "$b ms" "${r}x" "<=1.2x" \
    "$(met "$r" "<=" 1.2)"
done

# ---- Print ------------------------------------------------------------------------------
printf '%-58s %10s %10s %7s %8s  %s\n' measure Quillet peer ratio goal ""
printf '%s\n' "${rows[@]}"
