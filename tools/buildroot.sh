#!/usr/bin/env bash
# Build roots: a Debian root file system per suite, made by mmdebstrap from
# that suite alone and kept in a cache outside the clone, in which the
# project is built, tested and packaged, for amd64 and for the unit's armhf.
# Nothing of another suite or architecture is ever added to this machine's
# own packages: the host needs only mmdebstrap (and, for armhf,
# qemu-user-static and the kernel's binfmt_misc).
#
#   tools/buildroot.sh [--suite S] ensure        make it (or reuse it); print its path
#   tools/buildroot.sh [--suite S] run CMD...    run CMD in it, this tree mounted
#   tools/buildroot.sh [--suite S] shell         an interactive shell in it
#   tools/buildroot.sh mirror                    the Debian mirror the roots come from
#   tools/buildroot.sh check                     what this machine lacks to make and
#                                                use a root: one line naming the
#                                                missing packages, exit 1; else 0
#
#   --suite bookworm|trixie   Debian 12 or 13 (default trixie)
#   --qt 5|6                  the kiosk's Qt in the root (default: the
#                             suite's, Qt 5 on Debian 12, Qt 6 on Debian 13;
#                             tools/package.sh --qt asks for the other)
#   --arch amd64|armhf        accepted for the callers' convenience: every
#                             root serves both architectures
#
# A root is an amd64 system with armhf added inside it. It holds the build
# dependencies of debian/control twice, for amd64 and (cross) for armhf, the
# armhf cross toolchain, and what the test suite uses: qemu-user runs the ARM
# programs, host tools (dbus-daemon, Xvfb, python, socat) run natively. Its
# name carries the suite, the Qt and a digest of that list and of the
# mirror, so a change to either makes a new root; older ones of the same
# suite and Qt are removed then.
#
# Environment:
#   TESSAL_BUILDROOT_CACHE  the cache (default /var/cache/tessal-buildroots)
#   TESSAL_MIRROR           the Debian mirror (default: the one this
#                           machine's apt sources name, else deb.debian.org)
#
# The source tree is mounted at its own path inside the root, so a build
# directory in the tree works from inside and outside alike. Needs root
# (chroot and mounts).
set -euo pipefail

BR_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BR_CACHE=${TESSAL_BUILDROOT_CACHE:-/var/cache/tessal-buildroots}

br_die() {
  echo "buildroot: $*" >&2
  exit 1
}

br_mirror() {
  if [ -n "${TESSAL_MIRROR:-}" ]; then
    echo "$TESSAL_MIRROR"
    return
  fi
  local url
  url=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    grep -v '^\s*#' | grep -o 'https\?://[^ ]*/debian/\?\( \|$\)' | head -n 1 | tr -d ' ' || true)
  echo "${url:-http://deb.debian.org/debian}"
}

# What the test suite and the package build use beyond debian/control, as
# packages of the build machine's own architecture.
BR_HOST_TOOLS=(
  build-essential cmake pkg-config ccache file git
  dbus xvfb xauth socat mbpoll python3-pymodbus python3-serial-asyncio libglib2.0-bin
  x11-apps imagemagick netpbm iproute2 util-linux procps fonts-dejavu-core
  strace lintian fakeroot openssl hunspell-en-us
)
# Libraries of the target architecture for the tests (and the sanitizer
# runtimes, which no package depends on).
BR_TARGET_LIBS=(libgtest-dev libsystemd-dev libxtst6 libasan8 libubsan1)

# The suite's Qt unless BR_QT says otherwise: Debian 12's packages keep Qt 5,
# Debian 13's are built with Qt 6.
br_default_qt() { case $1 in bookworm) echo 5 ;; *) echo 6 ;; esac; }
BR_QT=${BR_QT:-}

# br_qt_libs SUITE: what the kiosk's tests load at run time beside the build
# dependencies of that Qt (QML modules, platform plugins).
br_qt_libs() {
  case ${BR_QT:-$(br_default_qt "$1")} in
  5)
    echo libqt5svg5-dev qtvirtualkeyboard-plugin qml-module-qtquick-virtualkeyboard qml-module-qtquick2 \
      qml-module-qtquick-window2 qml-module-qtquick-layouts qml-module-qt-labs-folderlistmodel
    # QtWebKit exists only up to Debian 12: there the kiosk builds with
    # either engine.
    [ "$1" = bookworm ] && echo libqt5webkit5-dev
    ;;
  6)
    echo qt6-qpa-plugins qt6-virtualkeyboard-plugin qml6-module-qtquick-virtualkeyboard qml6-module-qtquick \
      qml6-module-qtquick-window qml6-module-qtquick-layouts qml6-module-qtqml-workerscript \
      qml6-module-qt-labs-folderlistmodel
    ;;
  esac
}

# br_profiles SUITE: the build profiles debian/control is read with.
br_profiles() { [ "${BR_QT:-$(br_default_qt "$1")}" = 5 ] && echo pkg.tessal.qt5 || true; }

# br_qt_host_tools SUITE: the build machine's Qt tools for a cross build (Qt
# 6's come with its development packages, which the root holds for both
# architectures).
br_qt_host_tools() { [ "${BR_QT:-$(br_default_qt "$1")}" = 5 ] && echo qtbase5-dev-tools qttools5-dev-tools || true; }

# br_packages SUITE: the package list of a root, one per line.
br_packages() {
  local suite=$1 p
  echo crossbuild-essential-armhf
  echo qemu-user-static
  printf '%s\n' "${BR_HOST_TOOLS[@]}" $(br_qt_host_tools "$suite")
  for p in "${BR_TARGET_LIBS[@]}" $(br_qt_libs "$suite"); do
    echo "$p"
    echo "$p:armhf"
  done
}

br_key() {
  local suite=$1
  {
    br_packages "$suite"
    br_profiles "$suite"
    sed -n '/^Build-Depends/,/^[A-Z]/p' "$BR_TOP/debian/control"
    br_mirror
    echo 4 # bump to remake every root
  } | md5sum | cut -c1-10
}

br_path() { echo "$BR_CACHE/$1-qt${BR_QT:-$(br_default_qt "$1")}-$(br_key "$1")"; }

# br_check: the host's packages that making and using a root takes
# (tools/install-deps.sh installs them). Prints the missing ones.
br_check() {
  local missing=()
  command -v mmdebstrap >/dev/null || missing+=(mmdebstrap)
  [ -x /usr/bin/qemu-arm-static ] || missing+=(qemu-user-static)
  command -v update-binfmts >/dev/null || missing+=(binfmt-support)
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "${missing[*]} missing"
  return 1
}

# br_ensure SUITE: makes the root when it is not in the cache.
br_ensure() {
  local suite=$1 root mirror t0
  root=$(br_path "$suite")
  [ -f "$root/.tessal-complete" ] && return 0
  command -v mmdebstrap >/dev/null || br_die "mmdebstrap is not installed (apt-get install mmdebstrap)"
  mkdir -p "$BR_CACHE"
  exec 9>"$BR_CACHE/.lock"
  flock 9
  if [ -f "$root/.tessal-complete" ]; then
    flock -u 9
    return 0
  fi
  mirror=$(br_mirror)
  t0=$(date +%s)
  echo "buildroot: making $suite in $root (mmdebstrap from $mirror, a few minutes)" >&2
  rm -rf "$root" "$root.part"
  local log="$BR_CACHE/$suite.log" pkgs
  pkgs=$(br_packages "$suite" | paste -sd, -)
  # The build dependencies are those of debian/control, resolved by apt
  # itself inside the root: for the root's own architecture, then for armhf.
  local builddep="env DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -qq" profiles
  profiles=$(br_profiles "$suite")
  [ -z "$profiles" ] || builddep="$builddep --build-profiles=$profiles"
  if ! mmdebstrap --variant=buildd --architectures=amd64,armhf --components=main \
    --aptopt='APT::Install-Recommends "false"' --aptopt='Acquire::Retries "3"' \
    --include="$pkgs" \
    --customize-hook='mkdir -p "$1/tmp/tessal-src/debian"' \
    --customize-hook="copy-in $BR_TOP/debian/control $BR_TOP/debian/changelog /tmp/tessal-src/debian" \
    --customize-hook="chroot \"\$1\" $builddep /tmp/tessal-src" \
    --customize-hook="chroot \"\$1\" $builddep --host-architecture armhf /tmp/tessal-src" \
    --customize-hook='rm -rf "$1/tmp/tessal-src"' \
    "$suite" "$root.part" "deb $mirror $suite main" >"$log" 2>&1; then
    tail -n 25 "$log" >&2
    rm -rf --one-file-system "$root.part"
    br_die "mmdebstrap failed for $suite (log: $log)"
  fi
  touch "$root.part/.tessal-complete"
  # Roots of the same suite and Qt made from other lists are stale, and so
  # are those named before roots carried their Qt.
  local old prefix=${root%-*}
  for old in "$prefix"-* "$BR_CACHE/$suite"-??????????; do
    [ -d "$old" ] && [ "$old" != "$root.part" ] && rm -rf --one-file-system "$old"
  done
  mv "$root.part" "$root"
  flock -u 9
  echo "buildroot: $suite ready in $(($(date +%s) - t0)) s ($(du -sm "$root" | cut -f1) MB)" >&2
}

# br_binfmt ARCH: the kernel hands ARM programs to qemu (the build root's
# ctest, and every test that starts an ARM program itself, rely on it).
br_binfmt() {
  [ "$1" = armhf ] || return 0
  local entry=/proc/sys/fs/binfmt_misc/qemu-arm
  [ "$(head -n1 "$entry" 2>/dev/null)" = enabled ] && return 0
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
      br_die "cannot mount binfmt_misc: ARM programs cannot run here"
  fi
  if [ ! -e "$entry" ]; then
    command -v update-binfmts >/dev/null && [ -x /usr/bin/qemu-arm-static ] ||
      br_die "qemu-user-static and binfmt-support are needed on this machine for armhf (apt-get install qemu-user-static binfmt-support)"
    update-binfmts --import qemu-arm >/dev/null 2>&1 || true
  fi
  update-binfmts --enable qemu-arm >/dev/null 2>&1 || true
  [ "$(head -n1 "$entry" 2>/dev/null)" = enabled ] || br_die "the qemu-arm binfmt entry could not be enabled"
  # The interpreter is opened when the entry is registered ('F'), so it
  # works inside the root too, whatever the root holds.
  grep -q '^flags:.*F' "$entry" || br_die "the qemu-arm binfmt entry lacks the F flag: ARM programs in a build root would not find qemu"
}

# br_run SUITE CMD...: runs CMD in the root, in a mount namespace of its
# own (the mounts vanish with it), with this tree at its own path, a fresh
# /tmp and /run, and the ccache kept beside the roots.
br_run() {
  local suite=$1 root
  shift
  br_ensure "$suite"
  br_binfmt armhf
  root=$(br_path "$suite")
  mkdir -p "$BR_CACHE/ccache"
  unshare --mount --propagation private -- bash -euc '
    root=$1 top=$2 ccache=$3
    shift 3
    # The root is a mount point of its own, so that inside it "/" can be
    # made private again (unshare --mount-proc in the test scripts does).
    mount --bind "$root" "$root"
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount -t binfmt_misc binfmt_misc "$root/proc/sys/fs/binfmt_misc" 2>/dev/null || true
    mount --rbind /sys "$root/sys"
    mount -t tmpfs tmpfs "$root/tmp"
    mount -t tmpfs tmpfs "$root/run"
    mkdir -p "$root/dev/shm" "$root$top" "$root/root/.ccache"
    mount -t tmpfs tmpfs "$root/dev/shm" 2>/dev/null || true
    mount --bind "$top" "$root$top"
    mount --bind "$ccache" "$root/root/.ccache"
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
      LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" CCACHE_DIR=/root/.ccache \
      TESSAL_BUILDROOT=1 bash -c "cd \"\$0\" && exec \"\$@\"" "$top" "$@"
  ' buildroot "$root" "$BR_TOP" "$BR_CACHE/ccache" "$@"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  suite=trixie
  arch=amd64
  while [ $# -gt 0 ]; do
    case $1 in
    --suite) suite=$2; shift 2 ;;
    --qt) BR_QT=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    *) break ;;
    esac
  done
  case $suite in bookworm | trixie) ;; *) br_die "unknown suite '$suite' (bookworm or trixie)" ;; esac
  case $arch in amd64 | armhf) ;; *) br_die "unknown architecture '$arch' (amd64 or armhf)" ;; esac
  case $BR_QT in '' | 5 | 6) ;; *) br_die "unknown Qt '$BR_QT' (5 or 6)" ;; esac
  cmd=${1:-}
  [ $# -gt 0 ] && shift
  case $cmd in mirror | check) ;; *) [ "$(id -u)" -eq 0 ] || br_die "needs root (mmdebstrap, chroot, mounts)" ;; esac
  case $cmd in
  mirror) br_mirror ;;
  check) br_check ;;
  ensure) br_ensure "$suite" && br_path "$suite" ;;
  run) br_run "$suite" "$@" ;;
  shell) br_run "$suite" bash -i ;;
  *)
    echo "usage: tools/buildroot.sh [--suite bookworm|trixie] ensure|run CMD...|shell|mirror|check" >&2
    exit 2
    ;;
  esac
fi
