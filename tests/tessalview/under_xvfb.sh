#!/bin/bash
# Runs a test program on a private Xvfb screen of the unit's size (800 x 480)
# through Qt's xcb platform: what the offscreen platform cannot show (an
# input method, touch routed by the window system) is tested here.
# Usage: under_xvfb.sh PROGRAM [ARGS...]
set -u
command -v Xvfb >/dev/null || { echo "SKIP: no Xvfb"; exit 77; }
WORK=$(mktemp -d)
trap 'kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null; rm -rf "$WORK"' EXIT
exec 5>"$WORK/display"
Xvfb -displayfd 5 -screen 0 800x480x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
exec 5>&-
for _ in $(seq 100); do
    [ -s "$WORK/display" ] && break
    sleep 0.1
done
[ -s "$WORK/display" ] || { cat "$WORK/xvfb.log"; echo "FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=":$(head -n1 "$WORK/display")"
export QT_QPA_PLATFORM=xcb
"$@"
