#!/usr/bin/env bash
# Cross-builds everything for the unit's 32-bit ARM board (Debian armhf) and
# runs the whole test suite under qemu-user, inside a build root of the
# chosen Debian suite (tools/buildroot.sh): nothing of armhf is added to this
# machine's own packages.
#
#   sudo ./tools/test-armhf.sh                       Debian 13 (trixie), Qt 6
#   sudo ./tools/test-armhf.sh --suite bookworm      Debian 12, Qt 5 and QtWebKit
#   sudo ./tools/test-armhf.sh -R libtup             extra arguments go to ctest
#
# The build goes to build-armhf-<suite>/ in this tree. The first run makes
# the build root (a few minutes, cached in /var/cache/tessal-buildroots).
#
# Safety: Qt's QProcess (5.15 and 6 alike) misbehaves under qemu-user (see
# tools/qemu-guard/qemuguard.c); at worst it sends SIGKILL to every process
# the user may signal. So every program of the run gets the guard library
# preloaded, the run happens in its own PID namespace whose first process
# reaps orphans, and a Qt program that starts children through QProcess must
# work under the guard before any test runs. Tests labelled native-only
# (those that cannot work under qemu-user, each says why) are left out here;
# tools/test.sh runs them natively.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD

SUITE=trixie
if [ "${1:-}" = --suite ]; then
  SUITE=${2:-}
  shift 2
fi
case $SUITE in
bookworm | trixie) ;;
*)
  echo "usage: tools/test-armhf.sh [--suite bookworm|trixie] [ctest arguments]" >&2
  exit 2
  ;;
esac
BUILD_DIR=${BUILD_DIR:-build-armhf-$SUITE}

if [ "${TESSAL_BUILDROOT:-}" != 1 ]; then
  # On this machine: the host's few tools, then the same script in the root.
  if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=BUILD_DIR,TESSAL_BUILDROOT_CACHE,TESSAL_MIRROR,CI "$0" --suite "$SUITE" "$@"
  fi
  bash tools/install-deps.sh
  exec bash tools/buildroot.sh --suite "$SUITE" --arch armhf run \
    env BUILD_DIR="$BUILD_DIR" bash tools/test-armhf.sh --suite "$SUITE" "$@"
fi

# --- inside the build root -------------------------------------------------------
if [ "$(head -n1 /proc/sys/fs/binfmt_misc/qemu-arm 2>/dev/null)" != "enabled" ]; then
  echo "test-armhf: the kernel does not hand ARM programs to qemu (binfmt qemu-arm not enabled)" >&2
  exit 1
fi

options=(-DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/toolchain-armhf.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# The kiosk's engine: QtWebKit on Debian 12, where boards too small for
# QtWebEngine keep it (and its whole test set runs under emulation);
# QtWebEngine on Debian 13, which has no QtWebKit.
# Under emulation QtWebEngine's render process is too slow for the page
# time-outs of the page-driven tests (label web-pages): those run natively,
# and here only on QtWebKit.
# The kiosk's Qt is the suite's own, as in its packages: Qt 5 on Debian 12,
# Qt 6 on Debian 13.
exclude=native-only
if [ "$SUITE" = bookworm ]; then
  options+=(-DTESSAL_WEB_ENGINE=webkit -DTESSAL_QT=5)
else
  options+=(-DTESSAL_WEB_ENGINE=webengine -DTESSAL_QT=6)
  exclude="native-only|web-pages"
fi
export CCACHE_BASEDIR=$SRC
cmake -S . -B "$BUILD_DIR" "${options[@]}"
cmake --build "$BUILD_DIR" -j"$(nproc)"
BUILD=$(cd "$BUILD_DIR" && pwd)

# The guard is named with the loader's $LIB: ARM programs load the real one
# from lib/arm-linux-gnueabihf, host programs (shells, dbus-daemon, python)
# an empty library from their own directory, so they load quietly.
host_lib=$BUILD/qemu-guard/lib/$(cc -print-multiarch)
mkdir -p "$host_lib"
cc -shared -o "$host_lib/libqemuguard.so" -x c /dev/null
[ -f "$BUILD/qemu-guard/lib/arm-linux-gnueabihf/libqemuguard.so" ] || {
  echo "test-armhf: the guard library was not built" >&2
  exit 1
}
export LD_PRELOAD="$BUILD/qemu-guard/\$LIB/libqemuguard.so${LD_PRELOAD:+ $LD_PRELOAD}"

# A PID namespace of its own, with bash as its first process: it reaps the
# orphans, nothing that goes wrong inside can signal a process outside, and
# everything inside ends when this script is stopped.
ns=(unshare --pid --fork --mount-proc --kill-child)
if ! "${ns[@]}" true; then
  echo "test-armhf: cannot create a PID namespace here; not running ARM Qt programs without one" >&2
  exit 1
fi

run_in_namespace() {
  "${ns[@]}" bash -c 'export TESSAL_QEMU_GUARD=1; "$@" & wait $!' run-in-namespace "$@"
}

if [ -x "$BUILD/tools/qemu-guard/qemu_guard_check" ]; then
  if ! run_in_namespace /usr/bin/qemu-arm-static "$BUILD/tools/qemu-guard/qemu_guard_check"; then
    echo "test-armhf: QProcess does not work under the guard; no Qt test is run" >&2
    exit 1
  fi
fi

echo "test-armhf: Debian $SUITE armhf, $(dpkg-query -W -f='${Version}' "libc6:armhf") glibc"
echo "test-armhf: tests labelled ${exclude//|/ or } are left out here"
run_in_namespace ctest --test-dir "$BUILD" --output-on-failure -j2 --timeout 600 \
  --label-exclude "$exclude" "$@"
