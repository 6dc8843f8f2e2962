#!/usr/bin/env bash
# Builds the Debian packages plinthd, tessalview and tup-tools from this tree
# for one Debian suite and architecture, inside a build root of that suite
# (tools/buildroot.sh, made by mmdebstrap and cached outside the clone), and
# checks them with lintian.
#
#   tools/package.sh [--suite bookworm|trixie] [--qt 5|6] [amd64|armhf]
#
# Defaults: Debian 13 (trixie), this machine's architecture, and the suite's
# Qt for the kiosk: Qt 5.15 on Debian 12, Qt 6 on Debian 13 (--qt builds
# with the other; the build root then holds that Qt). Qt 5 is the build
# profile pkg.tessal.qt5 of debian/control. armhf is
# cross-built (dpkg-buildpackage -a armhf) in an amd64 root with armhf added
# inside it; this machine only needs mmdebstrap. The version carries the
# suite (2.0.0~deb13u1, 2.0.0~deb12u1), so the packages of both suites can
# sit in one repository and a unit upgraded from Debian 12 to 13 takes the
# Debian 13 build. Nothing is run at package time (nocheck): the test suite
# runs in tools/test.sh, the installed packages in
# tests/install/install_test.sh.
#
# Output: build-deb/<suite>-<arch>/ (PACKAGE_OUT overrides): the .deb files,
# the .changes and .buildinfo, build.log, contents.txt (dpkg-deb -c of each
# package), info.txt (dpkg-deb -I of each) and lintian.txt. The tree is
# copied to build-deb/work-<suite>-<arch> first and built there (always the
# same place, so a rebuild hits ccache), so the build leaves nothing behind
# in the worktree or beside it; one package build per suite and
# architecture at a time.
#
# Environment:
#   PACKAGE_OUT      output folder
#   PACKAGE_VERSION  upstream version of the packages built (default: the
#                    one in debian/changelog), e.g. 2.0.0+1 to rehearse an
#                    upgrade; the suite's suffix is added to it
#
# Exits non-zero when the build fails or lintian reports an error.
set -euo pipefail
cd "$(dirname "$0")/.."
TOP=$PWD

SUITE=trixie
QT=
while [ $# -gt 0 ]; do
  case $1 in
  --suite) SUITE=${2:-}; shift 2 ;;
  --qt) QT=${2:-}; shift 2 ;;
  *) break ;;
  esac
done
ARCH=${1:-$(dpkg --print-architecture)}
case $SUITE:$ARCH:$QT in
bookworm:amd64:* | bookworm:armhf:* | trixie:amd64:* | trixie:armhf:*) ;;
*) QT=bad ;;
esac
case $QT in
'') case $SUITE in bookworm) QT=5 ;; *) QT=6 ;; esac ;;
5 | 6) ;;
*)
  echo "usage: tools/package.sh [--suite bookworm|trixie] [--qt 5|6] [amd64|armhf]" >&2
  exit 2
  ;;
esac
case $SUITE in
bookworm) SUFFIX="~deb12u1" ;;
trixie) SUFFIX="~deb13u1" ;;
esac

if [ "${TESSAL_BUILDROOT:-}" != 1 ]; then
  # On this machine: only what makes the build root; the build runs inside.
  if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=PACKAGE_OUT,PACKAGE_VERSION,TESSAL_BUILDROOT_CACHE,TESSAL_MIRROR "$0" --suite "$SUITE" --qt "$QT" "$ARCH"
  fi
  command -v mmdebstrap >/dev/null || bash tools/install-deps.sh
  exec bash tools/buildroot.sh --suite "$SUITE" --qt "$QT" --arch "$ARCH" run \
    env PACKAGE_OUT="${PACKAGE_OUT:-}" PACKAGE_VERSION="${PACKAGE_VERSION:-}" \
    bash tools/package.sh --suite "$SUITE" --qt "$QT" "$ARCH"
fi

OUT=${PACKAGE_OUT:-$TOP/build-deb/$SUITE-$ARCH}
case $OUT in /*) ;; *) OUT=$TOP/$OUT ;; esac

t_all=$(date +%s)
step() { printf '== %s\n' "$*"; }
took() { printf '   (%d s)\n' "$(($(date +%s) - $1))"; }

WORKDIR=$TOP/build-deb/work-$SUITE-$ARCH
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
# The suite's build: its version suffix and distribution in a changelog
# entry of its own.
UPSTREAM=${PACKAGE_VERSION:-$(dpkg-parsechangelog -l debian/changelog -S Version)}
{
  printf 'tessal (%s%s) %s; urgency=medium\n\n' "$UPSTREAM" "$SUFFIX" "$SUITE"
  printf '  * Built for Debian %s by tools/package.sh.\n\n' "$SUITE"
  # One second after the tree's own entry: later, as Debian requires, and
  # the same for every build of the same tree.
  printf ' -- %s  %s\n\n' "$(dpkg-parsechangelog -l debian/changelog -S Maintainer)" \
    "$(LC_ALL=C date -u -R -d "@$(($(date -d "$(dpkg-parsechangelog -l debian/changelog -S Date)" +%s) + 1))")"
  cat debian/changelog
} >"$SRC/debian/changelog"
VERSION=$(dpkg-parsechangelog -l "$SRC/debian/changelog" -S Version)
took "$t"

step "dpkg-buildpackage $VERSION for $ARCH with Qt $QT (nocheck)"
t=$(date +%s)
args=(-b -us -uc -Pnocheck)
[ "$QT" = 6 ] || args=(-b -us -uc -Pnocheck,pkg.tessal.qt5)
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
: >"$OUT/info.txt"
for deb in "$OUT"/*.deb; do
  {
    echo "## $(basename "$deb")"
    dpkg-deb -c "$deb"
    echo
  } >>"$OUT/contents.txt"
  {
    echo "## $(basename "$deb")"
    dpkg-deb -I "$deb"
    echo
  } >>"$OUT/info.txt"
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
printf '== done: Debian %s %s packages %s in %s (%d s)\n' "$SUITE" "$ARCH" "$VERSION" "$OUT" "$(($(date +%s) - t_all))"
