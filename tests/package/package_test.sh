#!/usr/bin/env bash
# The release artefacts as their users get them, each made afresh by cpack from this tree.
#   deb: no lintian tag but those in LINTIAN_ACCEPTED (docs/packaging.md says why), the
#     hardening every ELF file needs, the project's version throughout, LICENSE's text as
#     the copyright, and the installed programs' dialog (desktop_dialog_test).
#   source: exactly the files git knows, never build output; unpacked alone it builds and
#     passes the unit tests (source-full: everything, by docs/packaging.md, and memcheck).
#     package_test.sh deb|source|source-full BUILD_DIR SOURCE_DIR VERSION
kind=$1 build=$2 source=$3 version=$4
source "$source/tests/e2e/desktop-lib.sh" "$build"
set +o pipefail  # some checks read only the start of a program's output
LINTIAN_ACCEPTED=()

# make_package CONFIG: cpack with BUILD_DIR's CONFIG, the package in $WORK/out.
make_package() {
  cpack --config "$build/$1" -B "$WORK/out" >"$WORK/cpack.log" 2>&1 && return 0
  cat "$WORK/cpack.log" >&2
  exit 1
}

check_deb() {
  make_package CPackConfig.cmake
  deb=$(echo "$WORK"/out/*.deb)
  dpkg-deb -x "$deb" "$WORK/root" || exit 1
  root=$WORK/root

  lintian --display-info --pedantic --fail-on none "$deb" 2>"$WORK/lintian.err" >"$WORK/lintian" ||
    fail "lintian did not run: $(cat "$WORK/lintian.err")"
  while read -r line; do
    tag=$(cut -d' ' -f3 <<<"$line")
    [[ " ${LINTIAN_ACCEPTED[*]} " == *" $tag "* ]] || fail "lintian: $line"
  done <"$WORK/lintian"

  elves=()
  for file in "$root"/usr/bin/* "$root"/usr/lib/quillet/*; do
    [ "$(head -c4 "$file" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] && elves+=("$file")
  done
  [ ${#elves[@]} -eq 4 ] || fail "want 4 ELF files (3 programs, the plugin), found ${#elves[@]}"
  # Control-flow protection cannot show in a linked program: Debian 12 has no such flag,
  # and Debian 13's C runtime start files lack the IBT and SHSTK marks, so the linker drops
  # them (a bare main() fails this check there too). Branch protection (AArch64; only
  # Debian 13's hardening-check knows it) is asked for where the build has it.
  flags=$(sed -n 's/^QUILLET_HARDEN_FLAGS:INTERNAL=//p' "$build/CMakeCache.txt")
  skipped=(--nocfprotection)
  hardening-check --help 2>&1 | grep -q -- --nobranchprotection &&
    [[ "$flags" != *-mbranch-protection* ]] && skipped+=(--nobranchprotection)
  hardening-check "${skipped[@]}" "${elves[@]}" >"$WORK/hardening" ||
    fail "hardening-check: $(grep -e ":$" -e ": no" "$WORK/hardening" | tr -s " \n" " ")"

  # No binary links libasound (the tone helper loads it), so dpkg-shlibdeps cannot see it.
  dpkg-deb -f "$deb" Depends | grep -q '\blibasound2\b' ||
    fail "Depends lacks libasound2: $(dpkg-deb -f "$deb" Depends)"
  # The dialog plugin's toolkit comes from the plugin itself, through dpkg-shlibdeps
  # (libgtk-3-0t64 on Debian 13, after its 64-bit time_t rename).
  dpkg-deb -f "$deb" Depends | grep -Eq '\blibgtk-3-0(t64)?\b' ||
    fail "Depends lacks libgtk-3-0: $(dpkg-deb -f "$deb" Depends)"

  changes=$WORK/changelog
  zcat "$root/usr/share/doc/quillet/changelog.gz" >"$changes"
  for what in "package:$(dpkg-deb -f "$deb" Version)" \
    "changelog.gz:$(dpkg-parsechangelog -l "$changes" -S Version)" \
    "CHANGELOG.md:$(sed -n 's/^## \([^ ]*\) .*/\1/p' "$source/CHANGELOG.md" | head -n1)"; do
    [ "${what#*:}" = "$version" ] || fail "version of the ${what%%:*}: ${what#*:}, project: $version"
  done

  # The copyright's licence paragraph, unfolded, is LICENSE from its first paragraph on.
  sed -n '/^License: /,$p' "$root/usr/share/doc/quillet/copyright" | tail -n +2 |
    sed 's/^ \.$//; s/^ //' >"$WORK/licence"
  sed -n '/^Permission/,$p' "$source/LICENSE" | cmp -s - "$WORK/licence" ||
    fail "copyright: the licence text is not LICENSE's"
  grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$source/LICENSE")" \
    "$root/usr/share/doc/quillet/copyright" || fail "copyright: not LICENSE's holder"

  DESKTOP_PROBE=$build/desktop-probe \
    bash "$source/tests/e2e/desktop_dialog_test.sh" "$root/usr/bin" ||
    fail "the installed programs fail desktop_dialog_test"
}

check_source() {
  make_package CPackSourceConfig.cmake
  tarball=$(echo "$WORK"/out/*.tar.gz)
  tar -tzf "$tarball" | grep -v '/$' | cut -d/ -f2- | sort >"$WORK/files"

  grep -E '^build/|^build-|(^|/)\.git(/|$)|__pycache__|\.pyc$|(^|/)(crash|leak|timeout|oom)-' \
    "$WORK/files" >"$WORK/leftovers" &&
    fail "in the tarball: $(head -n5 "$WORK/leftovers" | tr '\n' ' ')"
  if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$source" ls-files --cached --others --exclude-standard |
      while read -r file; do [ -e "$source/$file" ] && echo "$file"; done | sort >"$WORK/git"
    diff "$WORK/git" "$WORK/files" >"$WORK/diff" ||
      fail "tarball (>) and git (<) differ: $(head -n8 "$WORK/diff" | tr '\n' ' ')"
  fi

  mkdir "$WORK/unpacked"
  tar -xzf "$tarball" -C "$WORK/unpacked"
  cd "$WORK/unpacked"/* || exit 1
  export GIT_CEILING_DIRECTORIES=$WORK
  local targets=(--target Quillet SetQuillet quillet_unit_tests quillet_desktop_text_tests
    contract_fake)
  [ "$kind" = source-full ] && targets=()
  {
    cmake --preset linux && nice -n 19 cmake --build --preset linux -j2 "${targets[@]}" &&
      ctest --preset linux -L unit ${targets[*]:+-E valgrind}
  } >"$WORK/build.log" 2>&1 || fail "the unpacked source: $(tail -n 20 "$WORK/build.log")"
  grep -E '^[0-9]+% tests passed' "$WORK/build.log"
}

case $kind in
  deb) check_deb ;;
  source | source-full) check_source ;;
  *) echo "usage: package_test.sh deb|source|source-full BUILD_DIR SOURCE_DIR VERSION" >&2; exit 2 ;;
esac
finish
