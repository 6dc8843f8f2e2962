#!/usr/bin/env bash
# Runs the whole unit on this machine, with a simulated device, no hardware:
# a private D-Bus system bus, plinthd, tessalview in a window (Xvfb when there
# is no display), the device's web server, tupsend playing the device every
# second, fake sysfs files for the LEDs and the screen, a temporary USB drive.
#
# Everything runs inside a private network namespace ("tessal-demo"), so the
# fixed ports of the unit (80, 502, 9876) are free whatever this machine runs.
# Ctrl-C stops everything and removes the namespace.
#
#   sudo ./tools/demo.sh            run until Ctrl-C
#   sudo ./tools/demo.sh --for 60   run for 60 seconds, then stop
#   sudo ./tools/demo.sh --for 30 --shots DIR
#                                   first walk the demo with clicks and save
#                                   pictures of the device page, a popup and
#                                   the error page into DIR (demo/run-unit.sh)
set -euo pipefail
HERE=$(cd "$(dirname "$0")/.." && pwd)

if [ "$(id -u)" -ne 0 ]; then
  exec sudo -E "$0" "$@"
fi

BUILD_DIR=${BUILD_DIR:-$HERE/build}
NS=${TESSAL_DEMO_NETNS:-tessal-demo}

bash "$HERE/tools/install-deps.sh"
# The compiler cache, when there is one, makes a second build quick, also
# of sources that tools/test.sh or another clone has compiled.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$HERE
fi
cmake -S "$HERE" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target tessalview plinthd plinthctl tupsend tupwatch

cleanup() {
  trap - EXIT INT TERM
  if ip netns list 2>/dev/null | grep -qw "$NS"; then
    pids=$(ip netns pids "$NS" 2>/dev/null || true)
    [ -n "$pids" ] && kill $pids 2>/dev/null || true
    sleep 1
    pids=$(ip netns pids "$NS" 2>/dev/null || true)
    [ -n "$pids" ] && kill -9 $pids 2>/dev/null || true
    ip netns del "$NS" 2>/dev/null || true
  fi
}

ip netns del "$NS" 2>/dev/null || true
ip netns add "$NS"
trap cleanup EXIT
trap 'exit 130' INT TERM

status=0
ip netns exec "$NS" env TESSAL_DEMO_NETNS="$NS" bash "$HERE/demo/run-unit.sh" \
  --build "$BUILD_DIR" "$@" || status=$?
exit $status
