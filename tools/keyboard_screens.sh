#!/bin/bash
# Pictures of the on-screen keyboard for docs/kiosk.md: the keyboard over the
# demo device's settings form on each engine built, and the German layout.
# Each build's tst_virtualkeyboard makes them on a private Xvfb screen.
# Usage: tools/keyboard_screens.sh BUILD_DIR [BUILD_DIR...]  (e.g. build
# build-webkit); the pictures go to docs/images/.
set -eu
TOP=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [BUILD_DIR...]" >&2; exit 2; }
OUT="$TOP/docs/images"
mkdir -p "$OUT"
for build in "$@"; do
    test_bin="$build/tests/tessalview/tst_virtualkeyboard"
    [ -x "$test_bin" ] || { echo "$test_bin missing: build the target tst_virtualkeyboard" >&2; exit 1; }
    TESSAL_KEYBOARD_SCREENSHOTS="$OUT" TESSAL_SOURCE_DIR="$TOP" \
        bash "$TOP/tests/tessalview/under_xvfb.sh" "$test_bin" screenshots
done
ls -l "$OUT"/keyboard-*.png
