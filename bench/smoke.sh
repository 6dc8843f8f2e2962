#!/usr/bin/env bash
# Every benchmark once, as short as it goes: proves that each still runs
# against today's programs and prints its figures (a bench that reads the
# kiosk's log, for one, breaks when a log line changes). The figures of so
# short a run mean nothing and nothing is compared against a target.
#
#   bench/smoke.sh BUILD_DIR [WEBKIT_BUILD_DIR [QT6_BUILD_DIR]]
#
# The kiosk benches need root (a private network namespace) and Xvfb; the
# engine comparison also needs the kiosk built with QtWebKit, and takes in
# QtWebEngine 6 from QT6_BUILD_DIR (or, not given, from build-qt6 when that
# holds a kiosk built with TESSAL_QT=6; about 30 s more), the privilege
# comparison a QtWebEngine build and user namespaces. Each one that cannot
# run here says why and is left out (a bench says so itself by exit status
# 77). Exits 1 if any bench failed.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:?usage: bench/smoke.sh BUILD_DIR [WEBKIT_BUILD_DIR [QT6_BUILD_DIR]]}
WEBKIT_BUILD=${2:-}
QT6_BUILD=${3:-}
if [ -z "$QT6_BUILD" ] && grep -qx 'TESSAL_QT:[A-Z]*=6' build-qt6/CMakeCache.txt 2>/dev/null; then
  QT6_BUILD=build-qt6
fi
failed=()
run() { # run NAME COMMAND...: runs it, shows its last lines, notes a failure
  local name=$1 out status
  shift
  echo "== $name"
  out=$("$@" 2>&1)
  status=$?
  printf '%s\n' "$out" | tail -n 12
  if [ $status -eq 77 ]; then
    echo "-- $name: left out"
  elif [ $status -ne 0 ]; then
    echo "-- $name: exit status $status"
    failed+=("$name")
  fi
}

run bench_tupparse "$BUILD/bench/bench_tupparse" 0.1
run bench_plinthd "$BUILD/bench/bench_plinthd" 0.5
run bench_plinthd_rtu "$BUILD/bench/bench_plinthd_rtu" 1
run bench_plinthd_tls "$BUILD/bench/bench_plinthd_tls" 0.4
if [ -x "$BUILD/bench/bench_frontlink" ]; then
  run bench_frontlink "$BUILD/bench/bench_frontlink" 0.1
  run bench_modbusbridge "$BUILD/bench/bench_modbusbridge" 20
fi
if [ "$(id -u)" -ne 0 ] || ! command -v Xvfb >/dev/null; then
  echo "== kiosk benches left out: they need root and Xvfb"
else
  # Its baseline is a bare QtWebKit window, built from source.
  if pkg-config --exists Qt5WebKitWidgets 2>/dev/null; then
    run kiosk_startup bash bench/kiosk_startup.sh "$BUILD" 1
  else
    echo "== kiosk_startup left out: its baseline needs QtWebKit's development files"
  fi
  if [ -n "$WEBKIT_BUILD" ] && [ -x "$WEBKIT_BUILD/src/tessalview/tessalview" ]; then
    qt6=()
    if [ -n "$QT6_BUILD" ] && [ -x "$QT6_BUILD/src/tessalview/tessalview" ]; then
      qt6=(--qt6 "$QT6_BUILD")
    else
      echo "== kiosk_engines: QtWebEngine 6 left out: no kiosk built with TESSAL_QT=6 here"
    fi
    run kiosk_engines /usr/bin/python3 bench/kiosk_engines.py --webengine "$BUILD" \
      --webkit "$WEBKIT_BUILD" "${qt6[@]}" --minutes 0.1 --runs 1
  else
    echo "== kiosk_engines left out: no kiosk built with QtWebKit here"
  fi
  if grep -qx 'TESSAL_WEB_ENGINE:[A-Z]*=webengine' "$BUILD/CMakeCache.txt" 2>/dev/null; then
    run kiosk_privilege /usr/bin/python3 bench/kiosk_privilege.py --build "$BUILD" --runs 1
  else
    echo "== kiosk_privilege left out: $BUILD is not a kiosk built with QtWebEngine"
  fi
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "bench smoke: FAILED: ${failed[*]}"
  exit 1
fi
echo "bench smoke: every bench ran"
