#!/usr/bin/env bash
# Builds everything from scratch in ./build (QtWebEngine, the default) and
# runs the whole test suite; then builds the kiosk with QtWebKit in
# ./build-webkit and runs the kiosk's test set (label "kiosk") against it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
WEBKIT_BUILD_DIR=${WEBKIT_BUILD_DIR:-build-webkit}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAL_WEB_ENGINE=webengine
cmake --build "$BUILD_DIR" -j"$(nproc)"
(cd "$BUILD_DIR" && ctest --output-on-failure -j2 --timeout 600)
# The same kiosk tests on QtWebKit: only what they need is built.
cmake -S . -B "$WEBKIT_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAL_WEB_ENGINE=webkit
KIOSK_TARGETS=$(cd "$WEBKIT_BUILD_DIR" && ctest -N -L kiosk | sed -n 's/^ *Test *#[0-9]*: //p')
cmake --build "$WEBKIT_BUILD_DIR" -j"$(nproc)" --target tessalview tupsend plinthd plinthctl mbscripts_listener \
  $(for t in $KIOSK_TARGETS; do case $t in tst_*) echo "$t" ;; esac; done)
(cd "$WEBKIT_BUILD_DIR" && ctest --output-on-failure -j2 --timeout 600 -L kiosk)
# The Debian packages installed on a booted Debian 12 system; one line saying
# why when this machine cannot run it (needs root, systemd-nspawn, registry).
BUILD_DIR="$BUILD_DIR" bash tests/install/install_test.sh
