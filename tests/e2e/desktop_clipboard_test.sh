#!/usr/bin/env bash
# Both directions through the X11 clipboard, xclip being the other program: line ends
# and the code pages (1252; 1251 and 932 named by LANG) as the desktop sees them,
# piecewise (INCR) answers, the text outliving Quillet in a detached keeper, readers
# that never read, and a 10 MB clipboard going to the handheld.
source "$(dirname "$0")/desktop-lib.sh" "$1"
start_x

# Handheld to desktop: NAME, the handheld's bytes, what UTF8_STRING and STRING then give.
p2h() {
  printf "$2" >"$WORK/sent"
  run_quillet --send-file "$WORK/sent"
  [ "$QUILLET_STATUS" -eq 0 ] || fail "$1: Quillet ended with $QUILLET_STATUS"
  x11_text >"$WORK/utf8"
  expect_file_bytes "$1 (UTF8_STRING)" "$WORK/utf8" "$3"
  x11_text -t STRING >"$WORK/latin1"
  expect_file_bytes "$1 (STRING)" "$WORK/latin1" "$4"
}
# Each line end as the handheld wrote it (a CR before its LF gives CR CR LF, as CF_TEXT);
# a NUL ends the text.
p2h line-ends 'a\nb c\nx\r\ny 1\r2\0c\n' 'a\nb c\nx\r\ny 1\r2' 'a\nb c\nx\r\ny 1\r2'
p2h windows-1252 'caf\xe9 \x80 \x93q\x94 \x81' \
  'caf\xc3\xa9 \xe2\x82\xac \xe2\x80\x9cq\xe2\x80\x9d \xc2\x81' 'caf\xe9 ? ?q? \x81'
# The locale names the code page, here and from the desktop; neither need be installed.
LANG=ja_JP.UTF-8 p2h cp932-lead-cut-off '\x93\xfa\x96\x7b\x8c\xea\n\xb6\xc5\x82' \
  '日本語\nｶﾅ・' '???\n???'

# The longest text, all euro signs: 98298 bytes of UTF-8 go in pieces.
euros 32766 "$WORK/utf8.expected"
run_quillet --send-file "$WORK/sent"
reads "longest text (INCR)" "$WORK/utf8.expected" x11_text

# Quillet has ended; its text is served by a keeper that holds nothing of the caller's.
if check_keeper "X11"; then
  [ "$(ls "/proc/$KEEPER/fd" | wc -l)" -eq 4 ] || fail "keeper holds more than its display"
  kill -HUP "$KEEPER"
  sleep 0.2
  reads "after SIGHUP" "$WORK/utf8.expected" x11_text
fi

# The same where close_range fails (a kernel before 5.9, a container's filter; the filter
# passes to the keeper): it still closes what it does not keep.
WRAP="$PROBE without close_range" run_quillet --send "no close_range"
[ "$(x11_text)" = "no close_range" ] || fail "no close_range: text not kept"
if check_keeper "X11, no close_range"; then
  [ "$(ls "/proc/$KEEPER/fd" | wc -l)" -eq 4 ] ||
    fail "keeper without close_range holds more than its display: $(ls -l "/proc/$KEEPER/fd")"
fi

# What the selection lists: a program that picks its type from TARGETS must find UTF-8.
x11_text -t TARGETS >"$WORK/targets"
for target in TARGETS UTF8_STRING STRING TEXT; do
  grep -qx "$target" "$WORK/targets" || fail "TARGETS lacks $target: $(tr '\n' ' ' <"$WORK/targets")"
done

# Where no process can be made, the text cannot outlive the run: the run says so. (The
# sanitizers' leak check needs a thread of its own at exit, which cannot be made either.)
ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" WRAP="$PROBE without fork" run_quillet --send "no fork"
expect_equal "no fork" "Quillet: error: clipboard: no keeper process (Resource temporarily unavailable): the text lasts only until Quillet ends" "$QUILLET_ERR"

# Readers that never read cost only themselves: with 72,000 bytes of UTF-8 (answered in
# pieces), a second reader gets the whole text at once behind them, and a new request
# still gets UTF-8 when stalled answers fill every slot.
euros 24000 "$WORK/long.expected"
run_quillet --send-file "$WORK/sent"
second_reader_behind_stuck x11 x11_text
# The slow one (a piece every 4 s) is given up at its deadline, about 5 s after it asked,
# however often it read: its second piece never comes.
wait_until "grep -q '^ended' $STALL_OUT" 12 "the slow X11 reader never ended"
grep -qx 'ended after [0-9]* ms with 65536 bytes' "$STALL_OUT" ||
  fail "slow X11 reader: $(cat "$STALL_OUT")"
stop "$STALL_PID"
# Every slot taken, by 15 stalled answers and one reader that reads: a new request takes
# the slot of a stalled one, silent longest, never the reader's.
if start_stall x11 15 stuck; then
  stalled=$STALL_PID
  if start_stall x11 1 slow 700; then
    sleep 1
    reads "the 17th request" "$WORK/long.expected" x11_text
    wait_until "grep -q '^ended' $STALL_OUT" 10 "the reading reader never ended"
    grep -q ' whole$' "$STALL_OUT" || fail "the 17th request evicted the reader: $(cat "$STALL_OUT")"
    stop "$STALL_PID"
  fi
  stop "$stalled"
fi

# Owners that misbehave: a run from the handheld asks them for their text, and each costs
# it at most 10 s and 64 MiB, with nothing sent.
for kind in endless drip format32; do
  hostile_owner "X11 owner $kind" "$PROBE" owner "$kind"
done
STOPPED=1 hostile_owner "stopped X11 owner" xclip -i -quiet -selection clipboard

# A caller reading Quillet's output through a pipe is not kept waiting by the keeper.
start_sim "$LINK" --quiet --timeout 5000 --send piped
timeout 10 bash -c "'$QUILLET' 2>&1 </dev/null | cat >/dev/null"
[ $? -ne 124 ] || fail "the keeper kept Quillet's pipe open"
wait_sim
[ "$(x11_text)" = piped ] || fail "piped run's text not on the clipboard"

# Desktop to handheld: NAME, the desktop's text, what reaches the handheld [, xclip target].
h2p() {
  printf "$2" | xclip -i -selection clipboard ${4:+-t "$4"} 2>/dev/null
  run_quillet --receive
  [ "$SIM_STATUS" -eq 0 ] || fail "$1: handheld-sim ended with $SIM_STATUS"
  expect_file_bytes "$1" "$WORK/handheld" "$3"
}
h2p desktop-line-ends 'a\r\nb\rc\ntwo\n\n' 'a\nb\rc\ntwo\n\n'
h2p utf8-to-1252 'caf\xc3\xa9 \xe2\x82\xac \xe6\x97\xa5\xf0\x9f\x98\x80' 'caf\xe9 \x80 ??'
h2p string-only-owner 'caf\xe9\n\x80' 'caf\xe9\n?' STRING
LANG=ru_RU.UTF-8 h2p utf8-to-1251 'Привет\r\nмир 日 €\n' \
  '\xcf\xf0\xe8\xe2\xe5\xf2\n\xec\xe8\xf0 ? \x88\n'

# An empty clipboard text sends nothing: the handheld hears no answer.
printf '' | probe set
run_quillet --receive
[ "$SIM_STATUS" -ne 0 ] || fail "empty clipboard: the handheld got an answer"
[ -s "$WORK/handheld" ] && fail "empty clipboard: the handheld got text"

# Over 10 MB from the desktop, some of it outside ASCII, read in pieces.
head -c 7800000 /dev/urandom | base64 -w 76 | sed 's/+/é/g; s/\//€/g' >"$WORK/big.utf8"
iconv -f UTF-8 -t CP1252 "$WORK/big.utf8" >"$WORK/big.expected"
xclip -i -selection clipboard <"$WORK/big.utf8" 2>/dev/null
run_quillet --receive
same_bytes "10 MB" "$WORK/handheld" "$WORK/big.expected"

finish
