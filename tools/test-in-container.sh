#!/usr/bin/env bash
# The README's test command on another Debian release, as a new user would
# run it there: a plain root file system of that suite (mmdebstrap, cached
# in /var/cache/tessal-buildroots), a git clone of this tree's committed
# HEAD inside it, and `tools/test.sh` run in it as root. tools/test.sh
# installs what it needs there itself, so this checks the install step too.
#
#   sudo tools/test-in-container.sh [--suite trixie|bookworm]    (default trixie)
#   sudo tools/test-in-container.sh [--suite ...] --demo SECONDS --out DIR
#
# With --demo, the README's other command runs there instead: the demo
# (`tools/demo.sh --for SECONDS --shots ...`), on the suite's own Qt. DIR on
# this machine receives what it leaves: the pictures of the kiosk in
# DIR/shots, the unit's logs in DIR/unit.
#
# The container shares this machine's network (apt reaches the registry)
# and kernel; downloaded packages and the compiler cache are kept beside the
# build roots, so a second run downloads and compiles little. The booted
# install test does not run inside (it needs systemd-nspawn of its own): the
# run says so as a skip; tools/test.sh on this machine runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
TOP=$PWD
ARGS=("$@")
SUITE=trixie
DEMO=""
OUT=""
usage() {
  echo "usage: tools/test-in-container.sh [--suite bookworm|trixie] [--demo SECONDS --out DIR]" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case $1 in
  --suite) SUITE=${2:-}; shift 2 || usage ;;
  --demo) DEMO=${2:-}; shift 2 || usage ;;
  --out) OUT=${2:-}; shift 2 || usage ;;
  *) usage ;;
  esac
done
case $SUITE in bookworm | trixie) ;; *) usage ;; esac
if [ -n "$DEMO" ] || [ -n "$OUT" ]; then
  [[ $DEMO =~ ^[0-9]+$ ]] && [ "$DEMO" -gt 0 ] && [ -n "$OUT" ] || usage
fi
[ "$(id -u)" -eq 0 ] || exec sudo "$0" "${ARGS[@]}"
command -v mmdebstrap >/dev/null || bash tools/install-deps.sh
if [ -n "$OUT" ]; then
  mkdir -p "$OUT"
  OUT=$(cd "$OUT" && pwd)
fi

CACHE=${TESSAL_BUILDROOT_CACHE:-/var/cache/tessal-buildroots}
MIRROR=$(bash tools/buildroot.sh mirror)
INCLUDE=git,ca-certificates
KEY=$(printf '%s\n' "$SUITE" "$INCLUDE" "$MIRROR" | md5sum | cut -c1-10)
BASE=$CACHE/plain-$SUITE-$KEY.tar
mkdir -p "$CACHE" "$CACHE/apt-$SUITE/partial" "$CACHE/ccache-plain-$SUITE"
t0=$(date +%s)
mark() { printf '== [%d s] %s\n' "$(($(date +%s) - t0))" "$*"; }

if [ ! -s "$BASE" ]; then
  mark "a plain Debian $SUITE root (mmdebstrap)"
  rm -f "$CACHE"/plain-"$SUITE"-*.tar
  mmdebstrap --variant=apt --format=tar --include="$INCLUDE" "$SUITE" "$BASE.part" \
    "deb $MIRROR $SUITE main" >"$CACHE/plain-$SUITE.log" 2>&1 || {
    tail -n 20 "$CACHE/plain-$SUITE.log" >&2
    exit 1
  }
  mv "$BASE.part" "$BASE"
fi

ROOT=$(mktemp -d /var/tmp/tessal-container.XXXXXX)
cleanup() { rm -rf --one-file-system "$ROOT"; }
trap cleanup EXIT
tar -C "$ROOT" -xf "$BASE"
git clone -q --no-hardlinks "$TOP" "$ROOT/root/tessal"
if [ -n "$DEMO" ]; then
  WHAT="tools/demo.sh --for $DEMO --shots /root/demo-out/shots --workdir /root/demo-out/unit"
else
  WHAT=tools/test.sh
fi
mark "clone of $(git -C "$TOP" rev-parse --short HEAD) in a Debian $SUITE container; $WHAT there"

# apt keeps its downloads between runs; ccache its objects.
echo 'Binary::apt::APT::Keep-Downloaded-Packages "true";' >"$ROOT/etc/apt/apt.conf.d/99keep"
unshare --mount --propagation private -- bash -euc '
  root=$1 cache=$2 suite=$3 out=$4 what=$5
  # A mount point of its own, as "/" is on a real system: tests that make
  # their mount namespace private start with "/".
  mount --bind "$root" "$root"
  mount --rbind /dev "$root/dev"
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount -t tmpfs tmpfs "$root/tmp"
  mount -t tmpfs tmpfs "$root/run"
  mkdir -p "$root/dev/shm" "$root/root/.ccache"
  mount -t tmpfs tmpfs "$root/dev/shm" 2>/dev/null || true
  mount --bind "$cache/apt-$suite" "$root/var/cache/apt/archives"
  mount --bind "$cache/ccache-plain-$suite" "$root/root/.ccache"
  if [ -n "$out" ]; then
    mkdir -p "$root/root/demo-out"
    mount --bind "$out" "$root/root/demo-out"
  fi
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 CI="${CI:-}" TESSAL_INSTALL_TEST=off \
    bash -c "cd /root/tessal && ./$what"
' container "$ROOT" "$CACHE" "$SUITE" "$OUT" "$WHAT"
if [ -n "$DEMO" ]; then
  mark "the demo ran in Debian $SUITE; its pictures are in $OUT/shots, its logs in $OUT/unit"
else
  mark "tools/test.sh passed in Debian $SUITE"
fi
