#!/usr/bin/env bash
# Builds everything from scratch in ./build (the kiosk on QtWebEngine, the
# default) and runs the whole test suite; then, where QtWebKit exists (Debian
# 12), builds the kiosk with it in ./build-webkit and runs the kiosk's test
# set (label "kiosk") against it; then the Debian packages installed on
# booted Debian 12 and 13 systems. Ends with a line that counts what passed,
# failed and was skipped, and says why each skip.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
WEBKIT_BUILD_DIR=${WEBKIT_BUILD_DIR:-build-webkit}
launcher=()
if command -v ccache >/dev/null; then
  # A rebuild of the same sources, in this clone or another, compiles little.
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$PWD
fi
mkdir -p "$BUILD_DIR/logs"
LOGS=$(cd "$BUILD_DIR/logs" && pwd)
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAL_WEB_ENGINE=webengine "${launcher[@]}"
cmake --build "$BUILD_DIR" -j"$(nproc)"
status=0
(cd "$BUILD_DIR" && ctest --output-on-failure -j2 --timeout 600) 2>&1 | tee "$LOGS/ctest.txt" || status=$?
summaries=("$LOGS/ctest.txt")

# The same kiosk tests on QtWebKit: only what they need is built.
if [ $status -eq 0 ]; then
  if pkg-config --exists Qt5WebKitWidgets 2>/dev/null; then
    cmake -S . -B "$WEBKIT_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAL_WEB_ENGINE=webkit "${launcher[@]}"
    KIOSK_TARGETS=$(cd "$WEBKIT_BUILD_DIR" && ctest -N -L kiosk | sed -n 's/^ *Test *#[0-9]*: //p')
    # shellcheck disable=SC2046
    cmake --build "$WEBKIT_BUILD_DIR" -j"$(nproc)" --target tessalview tupsend plinthd plinthctl mbscripts_listener \
      $(for t in $KIOSK_TARGETS; do case $t in tst_*) echo "$t" ;; esac; done)
    (cd "$WEBKIT_BUILD_DIR" && ctest --output-on-failure -j2 --timeout 600 -L kiosk) 2>&1 |
      tee "$LOGS/ctest-webkit.txt" || status=$?
    /usr/bin/python3 tools/test-summary.py "$WEBKIT_BUILD_DIR" "$LOGS/ctest-webkit.txt" |
      sed 's/^summary:/kiosk on QtWebKit:/' >"$LOGS/webkit-summary.txt" || true
  else
    echo "kiosk tests on QtWebKit skipped: QtWebKit is not available here (Debian 13 has none)" |
      tee "$LOGS/webkit-summary.txt"
  fi
  summaries+=("$LOGS/webkit-summary.txt")
fi

if [ $status -eq 0 ]; then
  # The Debian packages installed on booted Debian 12 and 13 systems; one
  # line saying why when this machine cannot run them (needs root,
  # systemd-nspawn, the registry).
  for suite in bookworm trixie; do
    BUILD_DIR="$BUILD_DIR" bash tests/install/install_test.sh --suite "$suite" 2>&1 |
      tee "$LOGS/install-$suite.txt" || status=$?
    summaries+=("$LOGS/install-$suite.txt")
    [ $status -eq 0 ] || break
  done
fi
[ -f "$LOGS/webkit-summary.txt" ] && grep -v '^kiosk tests on QtWebKit skipped' "$LOGS/webkit-summary.txt" || true
/usr/bin/python3 tools/test-summary.py "$BUILD_DIR" "${summaries[@]}" || true
exit $status
