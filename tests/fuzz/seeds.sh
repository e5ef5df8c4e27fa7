#!/usr/bin/env bash
# Writes the fuzzers' seed corpora under corpus/: a few inputs of each shape to start from,
# each in its fuzzer's input form (see the comment at the top of each fuzzer). The rules'
# edge cases (length fields, arguments) are the unit tests' tables.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")"

byte() { printf "\\x$(printf %02x "$1")"; }
# chunk PAUSE TEXT: the handheld sends TEXT after PAUSE x 50 ms (TEXT given as for printf %b)
chunk() {
  byte "$1"
  byte "$(printf '%b' "$2" | wc -c)"
  printf '%b' "$2"
}
# clip TEXT: the clipboard's text (as for printf %b); clip - : no text
clip() {
  if [ "$1" = - ]; then byte 0; return; fi
  byte $(($(printf '%b' "$1" | wc -c) + 1))
  printf '%b' "$1"
}

# ---- link: port byte (bit 0 USB, bits 1-3 com-1, bits 4-6 rate index), HotSync byte
# (bit 0 absent, bit 1 syncing, bit 2 slow OK, bits 3-4 USB found at query n), capacity,
# read failure, code, Nth call, code, clipboard, chunks.
mkdir -p corpus/link
L=corpus/link
COM1=$((6 << 4)) USB=$((1)) USB_SOON=$((1 << 3))
# link PORT HOTSYNC CAPACITY [READ-FAILURE CODE NTH CODE]
link() { for b in "$1" "$2" "$3" "${4:-0}" "${5:-0}" "${6:-0}" "${7:-0}"; do byte "$b"; done; }
{ link $COM1 0 0; clip -; chunk 0 'Mivra-P2H00000000005a\nbc\n'; } >$L/receive-lf
{ link $COM1 0 0; clip 'old'; chunk 0 'Mivra-P2H00000000010abcd'; } >$L/receive-short
{ link $COM1 0 0; clip 'old'; chunk 0 'Mivra-P2H00000000006ab'; chunk 25 'cdef'; } >$L/receive-text-stall
{ link $COM1 0 0; clip 'a\r\nb\rc\n'; chunk 0 'Mivra-H2P'; } >$L/send-crlf
{ link $COM1 0 0; clip -; chunk 0 'Mivra-H2P'; } >$L/send-no-text
{ link $COM1 0 $((0x80 | 15)); clip 'hello world\r\n'; chunk 0 'Mivra-H2P'; } >$L/send-short-write
{ link $COM1 0 0; clip 'hello'; } >$L/command-none
{ link $COM1 0 0; clip 'hello'; chunk 0 'Mivra'; chunk 25 '-H2P'; } >$L/command-stall
{ link $((3 | 7 << 4)) 0 0; clip 'a'; chunk 0 'Mivra-H2P'; } >$L/settings-invalid
{ link $COM1 2 0; clip 'a'; chunk 0 'Mivra-H2P'; } >$L/hotsync-busy
{ link $COM1 4 0; clip -; chunk 0 'Mivra-P2H00000000002ab'; } >$L/hotsync-slow-ok
{ link $USB $USB_SOON 0; clip -; chunk 0 'Mivra-P2H00000000003a\nb'; } >$L/usb-receive
{ link $USB $USB_SOON 0; clip 'x\r\ny'; chunk 0 'Mivra-H2P'; } >$L/usb-send
{ link $USB $((3 << 3)) 0; clip 'x'; chunk 0 'Mivra-H2P'; } >$L/usb-third-query
# read failures: the command, the length field, the text
for n in 1 2 3; do
  { link $COM1 0 0 $n; clip 'old'; chunk 0 'Mivra-P2H00000000003abc'; } >$L/read-error-$n
done
{ link $COM1 0 0 0 0 12 1; clip 'old'; chunk 0 'Mivra-P2H00000000003abc'; } >$L/call-fails

# ---- setquillet: registry byte (bit 0 key path, bit 1 Port, bit 2 Baudrate, bits 3-4 and
# 5-6 value forms: DWORD, 2 bytes, 8 bytes, string), Port, Baudrate, Nth call, code, then
# the arguments separated by NULs.
mkdir -p corpus/setquillet
S=corpus/setquillet
dword() { byte $(($1 & 255)); byte $(($1 >> 8 & 255)); byte $(($1 >> 16 & 255)); byte $(($1 >> 24 & 255)); }
stored() { byte "$1"; dword "$2"; dword "$3"; byte "${4:-0}"; byte 0; }
args() { printf '%b' "$1"; }
{ stored 0 0 0; args 'com5\0009600'; } >$S/com5-9600
{ stored 0 0 0; args 'usb'; } >$S/usb
{ stored 7 9 0; args 'com3\0001234'; } >$S/rate-illegal
{ stored 7 3 1234; } >$S/show-illegal
{ stored 0 0 0; } >$S/nothing-stored
{ stored 1 0 0; } >$S/key-without-values
{ stored $((7 | 1 << 3)) 4 9600; } >$S/port-two-bytes
{ stored $((7 | 2 << 5)) 4 9600; } >$S/rate-eight-bytes
{ stored 7 5 9600 1; } >$S/root-fails
{ stored 7 5 9600 9; args 'com2\00019200'; } >$S/write-fails

# ---- store: the whole store file
mkdir -p corpus/store
T=corpus/store
printf '' >$T/empty
printf 'REGEDIT4\n' >$T/header-only
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n"Port"=dword:00000005\n"Baudrate"=dword:00002580\n' >$T/com5-9600
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\r\n"Port"=dword:00000009\r\n"Baudrate"=dword:00000000\r\n' >$T/usb-crlf
printf 'REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n"Port"=dword:3\n"Baudrate"=dword:fffffffb\n' >$T/rate-negative
printf 'REGEDIT4\n[hkey_current_user\\SOFTWARE\\dorvane\\QUILLET]\n"PORT"=dword:00000001\n"baudrate"=dword:0001c200\n' >$T/other-case
printf 'REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n"Port"=hex:05,00\n"Baudrate"=hex(b):80,25,00,00,00,00,00,00\n' >$T/odd-widths
printf 'REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n"Port"="5"\n@="default"\n"a\\\\b\\"c"=dword:1\n' >$T/strings-escapes
printf 'REGEDIT4\n; a comment\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet\\Deeper]\n"Port"=dword:2\n' >$T/only-deeper
printf 'REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Dorvane]\n"Port"=dword:2\n' >$T/key-missing
printf 'REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n"Port"=dword:00000005\n"Port"=dword:00000006\n' >$T/repeated-value
printf 'REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n"Port"=dword:00000005\n"Baudrate"=dword:0000' >$T/cut-short
printf 'REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet\n"Port"=dword:5\n' >$T/damaged-key
printf 'REGEDIT5\n' >$T/damaged-header
printf 'REGEDIT4\n"Port"=dword:5\n' >$T/value-before-key
printf 'REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n"Port"=dword:123456789\n' >$T/dword-too-long
printf 'REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Dorvane\\Quillet]\n"Port"=dword:5\0\n' >$T/nul-byte
