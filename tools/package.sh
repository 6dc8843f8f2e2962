#!/usr/bin/env bash
# Builds the Debian packages plinthd, tessalview and tup-tools from this tree
# and checks them with lintian.
#
#   tools/package.sh [amd64|armhf]      (default: this machine's architecture)
#
# armhf is cross-built (dpkg-buildpackage -a armhf; needs the armhf cross
# toolchain and the :armhf development packages, see tools/install-deps.sh).
# Nothing is run at package time (nocheck): the test suite runs in
# tools/test.sh, the installed packages in tests/install/install_test.sh.
#
# Output: build-deb/<arch>/ (PACKAGE_OUT overrides): the .deb files, the
# .changes and .buildinfo, build.log, contents.txt (dpkg-deb -c of each
# package) and lintian.txt. The tree is copied to build-deb/work-<arch>
# first and built there (always the same place, so a rebuild hits ccache),
# so the build leaves nothing behind in the worktree or beside it; one
# package build per architecture at a time.
#
# Environment:
#   PACKAGE_OUT      output folder
#   PACKAGE_VERSION  version of the packages built (default: the one in
#                    debian/changelog), e.g. 2.0.0+1 to rehearse an upgrade
#
# Exits non-zero when the build fails or lintian reports an error.
set -euo pipefail
cd "$(dirname "$0")/.."
TOP=$PWD

ARCH=${1:-$(dpkg --print-architecture)}
case $ARCH in
amd64 | armhf) ;;
*)
  echo "usage: tools/package.sh [amd64|armhf]" >&2
  exit 2
  ;;
esac
OUT=${PACKAGE_OUT:-$TOP/build-deb/$ARCH}
case $OUT in /*) ;; *) OUT=$TOP/$OUT ;; esac

t_all=$(date +%s)
step() { printf '== %s\n' "$*"; }
took() { printf '   (%d s)\n' "$(($(date +%s) - $1))"; }

WORKDIR=$TOP/build-deb/work-$ARCH
SRC=$WORKDIR/tessal
step "copy of the tree to $SRC"
t=$(date +%s)
rm -rf "$OUT" "$WORKDIR"
mkdir -p "$OUT" "$SRC"
if git -C "$TOP" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked and new files as they are now (edits not yet committed included),
  # nothing ignored (build trees).
  git -C "$TOP" ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -C "$SRC" -xf -
else
  tar --exclude='./build*' -cf - . | tar -C "$SRC" -xf -
fi
if [ -n "${PACKAGE_VERSION:-}" ]; then
  {
    printf 'tessal (%s) bookworm; urgency=medium\n\n' "$PACKAGE_VERSION"
    printf '  * Rebuilt by tools/package.sh as version %s.\n\n' "$PACKAGE_VERSION"
    printf ' -- %s  %s\n\n' "$(dpkg-parsechangelog -l debian/changelog -S Maintainer)" "$(date -R)"
    cat debian/changelog
  } >"$SRC/debian/changelog"
fi
VERSION=$(dpkg-parsechangelog -l "$SRC/debian/changelog" -S Version)
took "$t"

step "dpkg-buildpackage $VERSION for $ARCH (nocheck)"
t=$(date +%s)
args=(-b -us -uc -Pnocheck)
if [ "$ARCH" != "$(dpkg --print-architecture)" ]; then
  args+=(-a "$ARCH")
fi
export DEB_BUILD_OPTIONS="nocheck parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}"
# Rebuilds of the same tree are quick with ccache (CMake reads these).
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$WORKDIR}
fi
if ! (cd "$SRC" && dpkg-buildpackage "${args[@]}") >"$OUT/build.log" 2>&1; then
  tail -n 40 "$OUT/build.log"
  echo "package build failed, see $OUT/build.log ($SRC kept)" >&2
  exit 1
fi
took "$t"

step "packages"
mv "$WORKDIR"/*.deb "$WORKDIR"/*.changes "$WORKDIR"/*.buildinfo "$OUT"/
CHANGES=$OUT/tessal_${VERSION}_${ARCH}.changes
ls -l "$OUT"/*.deb | awk '{ printf "   %9d  %s\n", $5, $NF }'
: >"$OUT/contents.txt"
for deb in "$OUT"/*.deb; do
  {
    echo "## $(basename "$deb")"
    dpkg-deb -c "$deb"
    echo
  } >>"$OUT/contents.txt"
done

step "lintian"
t=$(date +%s)
status=0
lintian --fail-on error --display-info --tag-display-limit 0 "$CHANGES" >"$OUT/lintian.txt" 2>&1 || status=$?
sed 's/^/   /' "$OUT/lintian.txt"
[ -s "$OUT/lintian.txt" ] || echo "   (no tags)"
took "$t"
if [ "$status" -ne 0 ]; then
  echo "lintian reports errors (status $status)" >&2
  exit 1
fi

rm -rf "$WORKDIR"
printf '== done: %s packages %s in %s (%d s)\n' "$ARCH" "$VERSION" "$OUT" "$(($(date +%s) - t_all))"
