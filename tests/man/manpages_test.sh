#!/usr/bin/env bash
# The manual pages: every program answers --help and --version on a console
# without a screen, the committed pages still say what the programs say, a
# stale page is caught, and the pages this build installs name its paths and
# render cleanly.
#
#   manpages_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SRC=$1
BUILD=$2
T=$(mktemp -d /tmp/tessal-mantest.XXXXXX)
trap 'rm -rf "$T"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
passed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }

VERSION=$(sed -n 's/^PROJECT_VERSION=//p' "$BUILD/man/values.txt")
[ -n "$VERSION" ] || fail "no PROJECT_VERSION in $BUILD/man/values.txt"
declare -A SECTION=([plinthd]=8 [plinthctl]=1 [tupsend]=1 [tupwatch]=1 [tessalview]=1)
PROGRAMS=(plinthd plinthctl tupsend tupwatch)
[ -x "$BUILD/src/tessalview/tessalview" ] && PROGRAMS+=(tessalview)

# A console: no display, no Qt platform, no TESSAL_ROOT.
console() { env -i PATH=/usr/bin:/bin LC_ALL=C.UTF-8 timeout 20 "$@"; }

for p in "${PROGRAMS[@]}"; do
  bin=$BUILD/src/$p/$p
  rc=0
  console "$bin" --help >"$T/out" 2>"$T/err" || rc=$?
  [ $rc -eq 0 ] || fail "$p --help exited $rc: $(cat "$T/err")"
  head -n 1 "$T/out" | grep -q "^Usage: .*$p" || fail "$p --help does not start with its usage: $(head -n 3 "$T/out")"
  [ ! -s "$T/err" ] || fail "$p --help wrote to standard error: $(cat "$T/err")"
  opt=--version
  [ "$p" = tupsend ] && opt=-V # --version N is tupsend's frame version field
  rc=0
  out=$(console "$bin" $opt 2>&1) || rc=$?
  [ $rc -eq 0 ] && [ "$out" = "$p (Tessal) $VERSION" ] || fail "$p $opt gave status $rc and '$out'"
done
pass "${PROGRAMS[*]}: --help and --version answer on a console without a screen"

# The daemon refuses arguments it does not know instead of starting.
rc=0
console "$BUILD/src/plinthd/plinthd" --foreground >"$T/out" 2>"$T/err" || rc=$?
[ $rc -eq 2 ] && grep -q "unexpected argument '--foreground'" "$T/err" ||
  fail "plinthd --foreground: status $rc, $(cat "$T/err")"
pass "plinthd refuses an unknown argument (status 2) without starting"

"$SRC/tools/manpages.sh" check "$BUILD" >"$T/check.log" 2>&1 || { cat "$T/check.log"; fail "committed pages differ from the programs"; }
pass "the committed pages match the programs' --help and --version"

# The check ignores the generation date, and catches anything else.
cp "$SRC"/man/*.in "$T/"
mkdir "$T/pages" && mv "$T"/*.in "$T/pages/"
sed -i -E '0,/^\.TH/s/^(\.TH +[^ ]+ +"[^"]*" +)"[^"]*"/\1"January 1999"/' "$T/pages/tupwatch.1.in"
"$SRC/tools/manpages.sh" check "$BUILD" "$T/pages" >"$T/check.log" 2>&1 ||
  { cat "$T/check.log"; fail "a page that differs only by its date was refused"; }
grep -q 'January 1999' "$T/pages/tupwatch.1.in" || fail "the date was not changed for the test"
sed -i '/show the program.s version/d' "$T/pages/tupwatch.1.in"
rc=0
"$SRC/tools/manpages.sh" check "$BUILD" "$T/pages" >"$T/check.log" 2>&1 || rc=$?
[ $rc -eq 1 ] || { cat "$T/check.log"; fail "a page without the --version line passed the check (status $rc)"; }
grep -q "^+show the program's version" "$T/check.log" && grep -q 'FAIL: tupwatch.1.in' "$T/check.log" ||
  { cat "$T/check.log"; fail "the failed check shows no diff of the missing line"; }
pass "the check ignores the generation date and shows a stale page's diff"

# The pages this build installs: placeholders filled with its paths, every
# section a technician looks for, and no complaint from groff.
roff() { printf '%s' "$1" | sed 's/-/\\-/g'; }
val() { sed -n "s/^$1=//p" "$BUILD/man/values.txt"; }
DESTDIR=$T/dest cmake --install "$BUILD" >"$T/install.log" 2>&1 || { cat "$T/install.log"; fail "install"; }
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$BUILD/CMakeCache.txt")
man=$T/dest$prefix/share/man
for p in "${PROGRAMS[@]}"; do
  s=${SECTION[$p]}
  page=$man/man$s/$p.$s
  [ -f "$page" ] || fail "$p.$s not installed in $prefix/share/man/man$s: $(cd "$T/dest" && find . -name "*.[18]")"
  ! grep -n '@[A-Z_]*@' "$page" || fail "$p.$s keeps placeholders"
  grep -q "^\.TH ${p^^} \"$s\" \"[^\"]*\" \"Tessal $VERSION\"" "$page" || fail "$p.$s title: $(grep '^\.TH' "$page")"
  for h in NAME SYNOPSIS DESCRIPTION "SEE ALSO"; do
    grep -q "^\.SH \"\?$h\"\?$" "$page" || fail "$p.$s has no $h section"
  done
  warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || fail "groff warns about $p.$s: $warnings"
done
tw=$man/man1/tupwatch.1
grep -qF -- "$(roff "$(val TESSAL_TUPWATCH_INI)")" "$tw" || fail "tupwatch.1 does not name $(val TESSAL_TUPWATCH_INI)"
grep -q '^\.SH FILES' "$tw" || fail "tupwatch.1 has no FILES section"
if [ -x "$BUILD/src/tessalview/tessalview" ]; then
  tv=$man/man1/tessalview.1
  for v in TESSAL_VIEW_INI TESSAL_MODBUS_MAP TESSAL_SCRIPT_DIR TESSAL_IMAGE_DIR TESSAL_TMPCFG_DIR TESSAL_WEBCACHE_DIR; do
    grep -qF -- "$(roff "$(val $v)")" "$tv" || fail "tessalview.1 does not name $v ($(val $v))"
  done
fi
grep -qF 'bus name vox.tessal.plinthd' "$man/man8/plinthd.8" || fail "plinthd.8 does not name its bus name"
pass "installed pages name this build's paths, have their sections and render without warnings"

echo "$passed passed, 0 failed"
