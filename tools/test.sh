#!/usr/bin/env bash
# Builds everything from scratch in ./build and runs the whole test suite,
# then the installed Debian packages on booted systems; ends with a line
# that counts what passed, failed and was skipped, and says why each skip.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
launcher=()
if command -v ccache >/dev/null; then
  # A rebuild of the same sources, in this clone or another, compiles little.
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$PWD
fi
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}"
cmake --build "$BUILD_DIR" -j"$(nproc)"
mkdir -p "$BUILD_DIR/logs"
status=0
(cd "$BUILD_DIR" && ctest --output-on-failure -j2 --timeout 300) 2>&1 | tee "$BUILD_DIR/logs/ctest.txt" ||
  status=$?
summaries=("$BUILD_DIR/logs/ctest.txt")
if [ $status -eq 0 ]; then
  # The Debian packages installed on booted Debian 12 and 13 systems; one
  # line saying why when this machine cannot run them (needs root,
  # systemd-nspawn, the registry).
  for suite in bookworm trixie; do
    BUILD_DIR="$BUILD_DIR" bash tests/install/install_test.sh --suite "$suite" 2>&1 |
      tee "$BUILD_DIR/logs/install-$suite.txt" || status=$?
    summaries+=("$BUILD_DIR/logs/install-$suite.txt")
    [ $status -eq 0 ] || break
  done
fi
/usr/bin/python3 tools/test-summary.py "$BUILD_DIR" "${summaries[@]}" || true
exit $status
