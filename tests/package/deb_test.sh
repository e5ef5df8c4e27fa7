#!/usr/bin/env bash
# The .deb as a reviewer and a user get it: cpack builds it from this tree; lintian finds no
# tag at any level (the tags left on purpose are listed in LINTIAN_ACCEPTED, each with its
# reason in the README); hardening-check finds PIE, the stack protector, fortified calls,
# RELRO and immediate binding in every ELF file; the package's version and its changelog's
# newest entry are the project's; the copyright file carries LICENSE's text; and the
# installed programs show their dialog from the installed plugin (desktop_dialog_test).
#     deb_test.sh BUILD_DIR SOURCE_DIR VERSION
set -u
build=$1 source=$2 version=$3
LINTIAN_ACCEPTED=()

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  exit 1
fi
deb=$(echo "$scratch"/out/*.deb)
dpkg-deb -x "$deb" "$scratch/root" || exit 1
root=$scratch/root

lintian --display-info --pedantic --fail-on none "$deb" 2>"$scratch/lintian.err" >"$scratch/lintian" ||
  fail "lintian did not run: $(cat "$scratch/lintian.err")"
while read -r line; do
  tag=$(cut -d' ' -f3 <<<"$line")
  [[ " ${LINTIAN_ACCEPTED[*]} " == *" $tag "* ]] || fail "lintian: $line"
done <"$scratch/lintian"

elves=()
for file in "$root"/usr/bin/* "$root"/usr/lib/quillet/*; do
  [ "$(head -c4 "$file" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] && elves+=("$file")
done
[ ${#elves[@]} -eq 4 ] || fail "want 4 ELF files (3 programs, the plugin), found ${#elves[@]}"
# Control-flow protection is not among Debian 12's default flags.
hardening-check --nocfprotection "${elves[@]}" >"$scratch/hardening" ||
  fail "hardening-check: $(grep -e ":$" -e ": no" "$scratch/hardening" | tr -s " \n" " ")"

changes=$scratch/changelog
zcat "$root/usr/share/doc/quillet/changelog.gz" >"$changes"
for what in "package:$(dpkg-deb -f "$deb" Version)" \
  "changelog.gz:$(dpkg-parsechangelog -l "$changes" -S Version)" \
  "CHANGELOG.md:$(sed -n 's/^## \([^ ]*\) .*/\1/p' "$source/CHANGELOG.md" | head -n1)"; do
  [ "${what#*:}" = "$version" ] || fail "version of the ${what%%:*}: ${what#*:}, project: $version"
done

# The copyright's licence paragraph, unfolded, is LICENSE from its first paragraph on.
sed -n '/^License: /,$p' "$root/usr/share/doc/quillet/copyright" | tail -n +2 |
  sed 's/^ \.$//; s/^ //' >"$scratch/licence"
sed -n '/^Permission/,$p' "$source/LICENSE" | cmp -s - "$scratch/licence" ||
  fail "copyright: the licence text is not LICENSE's"
grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$source/LICENSE")" \
  "$root/usr/share/doc/quillet/copyright" || fail "copyright: not LICENSE's holder"

DESKTOP_PROBE=$build/desktop-probe \
  bash "$source/tests/e2e/desktop_dialog_test.sh" "$root/usr/bin" ||
  fail "the installed programs fail desktop_dialog_test"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all checks passed"
