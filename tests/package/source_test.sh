#!/usr/bin/env bash
# The source tarball: cpack makes it from this tree; it holds exactly the files git knows
# (when the tree is a git checkout) and never build output, .git or test leftovers; and
# unpacked on its own, outside any git checkout, it builds with the README's commands and
# passes the unit tests.
#     source_test.sh BUILD_DIR SOURCE_DIR
set -u
build=$1 source=$2

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! cpack --config "$build/CPackSourceConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  exit 1
fi
tarball=$(echo "$scratch"/out/*.tar.gz)
tar -tzf "$tarball" | grep -v '/$' | cut -d/ -f2- | sort >"$scratch/files"

grep -E '^build/|^build-|(^|/)\.git(/|$)|__pycache__|\.pyc$|(^|/)(crash|leak|timeout|oom)-' \
  "$scratch/files" >"$scratch/leftovers" &&
  fail "in the tarball: $(head -n5 "$scratch/leftovers" | tr '\n' ' ')"
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$source" ls-files --cached --others --exclude-standard |
    while read -r file; do [ -e "$source/$file" ] && echo "$file"; done | sort >"$scratch/git"
  diff "$scratch/git" "$scratch/files" >"$scratch/diff" ||
    fail "tarball (>) and git (<) differ: $(head -n8 "$scratch/diff" | tr '\n' ' ')"
fi

mkdir "$scratch/unpacked"
tar -xzf "$tarball" -C "$scratch/unpacked"
cd "$scratch/unpacked"/* || exit 1
export GIT_CEILING_DIRECTORIES=$scratch
{
  cmake --preset linux && cmake --build --preset linux -j2 && ctest --preset linux -L unit
} >"$scratch/build.log" 2>&1 || fail "the unpacked source: $(tail -n 20 "$scratch/build.log")"
grep -E '^[0-9]+% tests passed' "$scratch/build.log"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all checks passed"
