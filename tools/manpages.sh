#!/usr/bin/env bash
# The manual pages come from the programs themselves: help2man turns each
# program's --help and --version into a page, and man/<program>.h2m adds
# what a help text has no room for (FILES, ENVIRONMENT, EXAMPLES, SEE ALSO).
# The pages are committed as man/<program>.<section>.in with this build's
# fixed paths and version turned back into @NAME@ placeholders, so every
# build (also a cross build, whose programs cannot run here) installs them
# with its own paths filled in (man/CMakeLists.txt).
#
#   tools/manpages.sh update BUILD_DIR   regenerate man/*.in from BUILD_DIR's programs
#   tools/manpages.sh check BUILD_DIR [PAGES_DIR]
#       compare the pages in PAGES_DIR (default man/) with what BUILD_DIR's
#       programs give now; differences other than the generation date are
#       printed as a diff and fail (exit 1). ctest runs this.
#
# BUILD_DIR must be a native build (configured with any paths).
set -euo pipefail

usage() { echo "usage: $0 update|check BUILD_DIR [PAGES_DIR]" >&2; exit 2; }
[ $# -ge 2 ] || usage
MODE=$1
BUILD=$(cd "$2" && pwd)
SRC=$(cd "$(dirname "$0")/.." && pwd)
PAGES=${3:-$SRC/man}
case $MODE in update | check) ;; *) usage ;; esac
command -v help2man >/dev/null || { echo "help2man is not installed (tools/install-deps.sh)" >&2; exit 1; }
VALUES=$BUILD/man/values.txt
[ -f "$VALUES" ] || { echo "$VALUES missing: configure $BUILD first" >&2; exit 1; }

# program:section; tessalview only when the build has the kiosk.
PROGRAMS=(plinthd:8 plinthctl:1 tupsend:1 tupwatch:1 tessalview:1)

T=$(mktemp -d /tmp/tessal-man.XXXXXX)
trap 'rm -rf "$T"' EXIT

# Turns a page for this build back into the committed form: the build's
# values (as they stand in roff, with \- for each hyphen, and plain) become
# @NAME@, longest first so no value eats part of another. The version is
# replaced only in the title line: elsewhere "2.0.0" may be plain text.
templatize() {
  perl -e '
    my ($values) = @ARGV;
    open(my $fh, "<", $values) or die "$values: $!";
    my @pairs;
    while (<$fh>) { chomp; push @pairs, [$1, $2] if /^([A-Z_]+)=(.+)$/; }
    my ($version) = map { $_->[1] } grep { $_->[0] eq "PROJECT_VERSION" } @pairs;
    @pairs = sort { length($b->[1]) <=> length($a->[1]) }
             grep { $_->[0] ne "PROJECT_VERSION" } @pairs;
    local $/;
    my $page = <STDIN>;
    for my $p (@pairs) {
      my ($name, $value) = @$p;
      (my $roff = $value) =~ s/-/\\-/g;
      $page =~ s/\Q$roff\E/\@$name\@/g;
      $page =~ s/\Q$value\E/\@$name\@/g;
    }
    $page =~ s/^(\.TH .*)\Q$version\E/$1\@PROJECT_VERSION\@/m;
    # --help-all is an option of Qt itself, and each Qt words it its own way (6.8:
    # "Displays help, including generic Qt options."): the page keeps one
    # wording, whichever Qt the kiosk was built with.
    $page =~ s/^Displays help,? including (?:Qt specific|generic Qt) options\.$/Displays help including Qt specific options./m;
    $page =~ s/^(\.\\" DO NOT MODIFY THIS FILE!.*\n)/$1.\\" Regenerate with tools\/manpages.sh update BUILD_DIR; edit man\/*.h2m or the --help text.\n/m;
    print $page;
  ' "$VALUES"
}

# The title line without its generation date.
undated() { sed -E 's/^(\.TH +[^ ]+ +"[^"]*" +)"[^"]*"/\1"(date)"/' "$1"; }

status=0
for entry in "${PROGRAMS[@]}"; do
  prog=${entry%%:*}
  section=${entry##*:}
  bin=$BUILD/src/$prog/$prog
  page=$prog.$section.in
  if [ ! -x "$bin" ]; then
    if [ "$prog" = tessalview ] && ! grep -q '^TESSAL_BUILD_KIOSK:BOOL=ON' "$BUILD/CMakeCache.txt"; then
      echo "skipped $prog: this build has no kiosk"
      continue
    fi
    echo "$bin missing: build $BUILD first" >&2
    exit 1
  fi
  # A clean environment: no display, no TESSAL_ROOT, the C locale. The
  # program is called by its name, as a user would, so its usage line does
  # not carry the build directory.
  if ! env -i PATH="$(dirname "$bin"):/usr/bin:/bin" LC_ALL=C.UTF-8 \
    help2man --no-info --include "$SRC/man/$prog.h2m" "$prog" >"$T/$prog.raw" 2>"$T/$prog.err"; then
    echo "help2man failed for $prog:" >&2
    cat "$T/$prog.err" >&2
    exit 1
  fi
  templatize <"$T/$prog.raw" >"$T/$page"
  if [ "$MODE" = update ]; then
    if [ -f "$PAGES/$page" ] && diff -q <(undated "$PAGES/$page") <(undated "$T/$page") >/dev/null; then
      echo "unchanged $page"
    else
      cp "$T/$page" "$PAGES/$page"
      echo "written $PAGES/$page"
    fi
  elif [ ! -f "$PAGES/$page" ]; then
    echo "FAIL: $PAGES/$page does not exist (tools/manpages.sh update $BUILD)"
    status=1
  elif ! diff -u --label "$PAGES/$page" --label "from $prog --help" \
    <(undated "$PAGES/$page") <(undated "$T/$page"); then
    echo "FAIL: $page no longer matches $prog --help / --version / man/$prog.h2m"
    status=1
  else
    echo "PASS: $page matches $prog"
  fi
done
if [ $status -ne 0 ]; then
  echo "Refresh the pages with: tools/manpages.sh update $BUILD (then review and commit man/)"
fi
exit $status
