#!/usr/bin/env bash
# The armhf packages installed on an armhf Debian system, under qemu-user.
#
#   tests/install/armhf_install_test.sh [--suite trixie|bookworm] --debs DIR
#
# Makes an armhf root file system of the suite with mmdebstrap (its
# maintainer scripts run under qemu-user through binfmt; cached in
# /var/cache/tessal-buildroots as a tarball), installs the packages in DIR
# into it with apt, and runs every program's --help and --version
# (tupsend: -V) there: each must answer and exit 0. The kiosk's --help runs
# with QT_QPA_PLATFORM=offscreen, as no screen exists.
#
# It does not boot the root. Tried with systemd-nspawn --boot on Debian 13
# (systemd 257): the emulated systemd comes up as PID 1 and reaches the
# targets that start no process, but every service fails with "Failed to
# spawn executor: Invalid argument" (systemd starts units through
# systemd-executor in a way qemu-user does not emulate), so no unit of ours
# could run there. Needs root, mmdebstrap, qemu-user-static and binfmt_misc.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
TOP=$(cd "$HERE/../.." && pwd)
SUITE=trixie
DEBS=
while [ $# -gt 0 ]; do
  case $1 in
  --suite) SUITE=$2; shift 2 ;;
  --debs) DEBS=$(cd "$2" && pwd); shift 2 ;;
  *) echo "usage: $0 [--suite trixie|bookworm] --debs DIR" >&2; exit 2 ;;
  esac
done
[ -n "$DEBS" ] || { echo "usage: $0 [--suite trixie|bookworm] --debs DIR" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "armhf install test: needs root" >&2; exit 1; }
# shellcheck source=../../tools/buildroot.sh
source "$TOP/tools/buildroot.sh"
br_binfmt armhf

CACHE=$BR_CACHE
MIRROR=$(br_mirror)
INCLUDE=dbus,libmodbus5,libcjson1,libdbus-1-3
KEY=$(printf '%s\n' "$SUITE" "$INCLUDE" "$MIRROR" | md5sum | cut -c1-10)
BASE=$CACHE/armhf-system-$SUITE-$KEY.tar
t0=$(date +%s)
step() { printf '== [%d s] %s\n' "$(($(date +%s) - t0))" "$*"; }
fail() {
  echo "   FAIL: $*"
  exit 1
}

if [ ! -s "$BASE" ]; then
  step "armhf Debian $SUITE root file system (mmdebstrap under qemu-user)"
  mkdir -p "$CACHE"
  rm -f "$CACHE"/armhf-system-"$SUITE"-*.tar
  mmdebstrap --variant=apt --architectures=armhf --format=tar --include="$INCLUDE" \
    "$SUITE" "$BASE.part" "deb $MIRROR $SUITE main" >"$CACHE/armhf-system-$SUITE.log" 2>&1 || {
    tail -n 20 "$CACHE/armhf-system-$SUITE.log"
    fail "mmdebstrap failed"
  }
  mv "$BASE.part" "$BASE"
fi
ROOT=$(mktemp -d /var/tmp/tessal-armhf-system.XXXXXX)
cleanup() { rm -rf --one-file-system "$ROOT"; }
trap cleanup EXIT
# What the packages depend on is the system's, not ours, and installing it
# under emulation takes minutes: it goes into a second cached tarball, keyed
# by the packages' Depends fields, so a run with unchanged dependencies
# installs only our packages (still through apt, which checks them).
DEPENDS=$(for deb in "$DEBS"/*.deb; do
  case $deb in *-dbgsym_*) ;; *) dpkg-deb -f "$deb" Depends ;; esac
done | sort -u)
DEPKEY=$(printf '%s\n' "$KEY" "$DEPENDS" | md5sum | cut -c1-10)
DEPS_TAR=$CACHE/armhf-system-$SUITE-$KEY-deps-$DEPKEY.tar
if [ -s "$DEPS_TAR" ]; then
  tar -C "$ROOT" -xf "$DEPS_TAR"
else
  tar -C "$ROOT" -xf "$BASE"
fi

# in_root CMD...: CMD in the armhf root under qemu-user.
# shellcheck source=tools/in-root.sh
. "$TOP/tools/in-root.sh"

if [ -s "$DEPS_TAR" ]; then
  step "the packages' dependencies: from the cache"
else
  step "the packages' dependencies (apt-get satisfy under qemu-user)"
  deps=$(printf '%s\n' "$DEPENDS" | paste -sd, - | sed 's/,/, /g')
  in_root sh -c 'apt-get update -qq && apt-get satisfy -y -qq "$1"' satisfy "$deps" \
    >"$ROOT.deps.log" 2>&1 || {
    tail -n 30 "$ROOT.deps.log"
    rm -f "$ROOT.deps.log"
    fail "apt-get satisfy of the packages' dependencies failed"
  }
  rm -f "$ROOT.deps.log"
  rm -f "$CACHE"/armhf-system-"$SUITE"-"$KEY"-deps-*.tar
  tar -C "$ROOT" -cf "$DEPS_TAR.part" . && mv "$DEPS_TAR.part" "$DEPS_TAR"
fi
mkdir -p "$ROOT/var/tmp/debs"
cp "$DEBS"/*.deb "$ROOT/var/tmp/debs/"
rm -f "$ROOT"/var/tmp/debs/*-dbgsym_*.deb

step "apt install of $(cd "$DEBS" && ls -- *.deb | grep -v dbgsym | tr '\n' ' ')"
in_root sh -c 'apt-get install -y -qq /var/tmp/debs/*.deb' >"$ROOT.install.log" 2>&1 || {
  tail -n 30 "$ROOT.install.log"
  rm -f "$ROOT.install.log"
  fail "apt-get install failed"
}
rm -f "$ROOT.install.log"
echo "   installed: $(in_root dpkg-query -W -f='${Package} ${Version} ${Architecture}\n' plinthd tessalview tup-tools | tr '\n' ';')"
echo "   libc: $(in_root dpkg-query -W -f='${Version}' libc6)"

step "--help and --version of every program under qemu-user"
status=0
for prog in plinthd plinthctl tupsend tupwatch tessalview; do
  # tupsend's --version sets a frame's version field; -V is its own.
  version=--version
  [ "$prog" = tupsend ] && version=-V
  for opt in --help "$version"; do
    out=$(in_root env QT_QPA_PLATFORM=offscreen timeout 120 "$prog" "$opt" 2>&1) || {
      echo "   FAIL: $prog $opt exited $?: $(printf '%s' "$out" | tail -n 3)"
      status=1
      continue
    }
    [ -n "$out" ] || {
      echo "   FAIL: $prog $opt printed nothing"
      status=1
      continue
    }
    echo "   ok: $prog $opt: $(printf '%s' "$out" | head -n 1)"
  done
done
[ $status -eq 0 ] || fail "a program did not answer under qemu-user"
step "armhf install test passed"
