#!/usr/bin/env bash
# Memcheck over the unit tests and the fuzzers' seed replays: every test must pass with no
# memory error and nothing lost (the Linux platform's handle table shows as still
# reachable). The one suppression (valgrind.supp): glibc's loader reading its own string by
# words as a double-byte code page's converter loads. --track-origins=yes finds an
# uninitialised read's origin, at twice the time.
# Usage: tests/valgrind.sh BUILD_DIR   (a build without sanitizers)
set -uo pipefail
build=${1:?usage: valgrind.sh BUILD_DIR}
source=$(cd "$(dirname "$0")" && pwd)
failures=0
memcheck() {
  local log
  log=$(mktemp)
  if valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible \
      --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 \
      --suppressions="$source/valgrind.supp" \
      --log-file="$log" "$@" >/dev/null 2>&1; then
    echo "memcheck: $(basename "$1"): $(grep -o 'ERROR SUMMARY: [0-9]* errors' "$log"); $(grep -oE 'All heap blocks were freed|in use at exit: [0-9,]+ bytes' "$log" | head -n1)"
  else
    echo "memcheck: $(basename "$1") FAILED:" >&2
    grep -E '^==[0-9]+== ' "$log" | tail -40 >&2
    failures=$((failures + 1))
  fi
  rm -f "$log"
}
memcheck "$build/quillet_unit_tests" --gtest_brief=1
[ -x "$build/quillet_desktop_text_tests" ] && memcheck "$build/quillet_desktop_text_tests" --gtest_brief=1
for fuzzer in link setquillet store; do
  [ -x "$build/fuzz-$fuzzer" ] && memcheck "$build/fuzz-$fuzzer" "$source/fuzz/corpus/$fuzzer"
done
[ "$failures" -eq 0 ]
