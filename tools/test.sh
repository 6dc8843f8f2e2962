#!/usr/bin/env bash
# Builds everything from scratch in ./build and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}"
cmake --build "$BUILD_DIR" -j"$(nproc)"
(cd "$BUILD_DIR" && ctest --output-on-failure -j2 --timeout 300)
# The Debian packages installed on a booted Debian 12 system; one line saying
# why when this machine cannot run it (needs root, systemd-nspawn, registry).
BUILD_DIR="$BUILD_DIR" bash tests/install/install_test.sh --suite bookworm
