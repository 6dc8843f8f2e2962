#!/usr/bin/env bash
# The picture of a unit mounted on its side: the whole kiosk with
# `[UI] Rotation=90` under Xvfb at the unit's 800 x 480, a device web server
# on port 80 and frames from tupsend, inside a private network namespace
# (needs root). The device's page shows the size it was laid out for. Writes
# the screenshot of the whole X screen and checks that the page's top-left
# corner lies at the screen's top-right (turned clockwise).
#
#   sudo tools/screenshot-rotation.sh [BUILD_DIR] [OUT_PNG]
#   (defaults: build, docs/images/kiosk-rotation-90.png)
set -euo pipefail
HERE=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$HERE/build}" && pwd)
OUT=$(realpath -m "${2:-$HERE/docs/images/kiosk-rotation-90.png}")
TESSALVIEW=$BUILD/src/tessalview/tessalview
TUPSEND=$BUILD/src/tupsend/tupsend

if [ -z "${ROTATION_SHOT_NETNS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "needs root (a private network namespace)"; exit 1; }
  for f in "$TESSALVIEW" "$TUPSEND"; do
    [ -x "$f" ] || { echo "build first: $f is missing"; exit 1; }
  done
  exec unshare --net env ROTATION_SHOT_NETNS=1 bash "$0" "$BUILD" "$OUT"
fi

WORK=$(mktemp -d /tmp/rotation-shot.XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 0.3
  for p in "${PIDS[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  tail -n 30 "$WORK/kiosk.log" || true
  exit 1
}
wait_for() { # wait_for SECONDS COMMAND...
  local limit=$(($1 * 10)); shift
  for ((i = 0; i < limit; i++)); do
    if "$@" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}
pixel() { # pixel FILE X Y -> "r g b"
  /usr/bin/convert "$1" -format "%[fx:int(255*p{$2,$3}.r)] %[fx:int(255*p{$2,$3}.g)] %[fx:int(255*p{$2,$3}.b)]" info:
}

ip link set lo up
mkdir -p "$WORK/www" "$WORK/xdg" "$WORK/root/usr/local/etc" "$WORK/root/sys/class/graphics/fb0" \
  "$WORK/root/sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0"
chmod 700 "$WORK/xdg"

cat >"$WORK/www/index.html" <<'HTML'
<html><head><title>K3P</title></head>
<body style="margin:0;background:#1b5e20;color:white;font-family:sans-serif">
<div style="position:absolute;left:0;top:0;width:60px;height:60px;background:#1565c0"></div>
<h1 style="margin:90px 30px 20px">K3P measuring device</h1>
<p style="margin:30px;font-size:28px">Flow 21.5 m3/h<br>Pressure 3.2 bar</p>
<p style="margin:30px;font-size:22px">Laid out for <span id="size"></span></p>
<button style="margin:30px;font-size:28px;padding:20px 40px">Start</button>
<script>
function showSize() {
  document.getElementById('size').textContent = innerWidth + ' x ' + innerHeight;
}
// The view is shown only once the page has answered: follow its size.
addEventListener('resize', showSize);
showSize();
</script>
</body></html>
HTML

cat >"$WORK/root/usr/local/etc/tessal-view.ini" <<INI
[WebCache]
Path=$WORK/cache
[Files]
ScriptDir=$WORK/bin
TmpCfgDir=$WORK/etc
[ModbusServer]
ModbusMap=$WORK/none.map
[Network]
UdpBindAddress=127.0.0.1
UdpPort=9876
UdpTimeout=30
[UI]
Rotation=90
ScreenSaverInterval=600000
ErrorImagePath=$HERE/deploy/share/images
INI

/usr/bin/python3 -m http.server 80 --bind 127.0.0.1 --directory "$WORK/www" >"$WORK/web.log" 2>&1 &
PIDS+=($!)
exec 5>"$WORK/display"
Xvfb -displayfd 5 -screen 0 800x480x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
wait_for 10 test -s "$WORK/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$WORK/display")"
export XDG_RUNTIME_DIR=$WORK/xdg
unset QT_QPA_PLATFORM

TESSAL_ROOT=$WORK/root "$TESSALVIEW" -D K3P -R 2.0.1 >"$WORK/kiosk.log" 2>&1 &
PIDS+=($!)
KIOSK=$!
wait_for 20 grep -q "Main window shown" "$WORK/kiosk.log" || fail "no window"
grep -q "Picture and touch turned by 90 degrees clockwise" "$WORK/kiosk.log" || fail "not turned"
"$TUPSEND" -H 127.0.0.1 -p 9876 -c 5 -i 0.4 --devinfo 1,1,0,2,0,1,12345,en \
  --gpio 1,0,0,0 >"$WORK/tupsend.log" 2>&1 &
PIDS+=($!)
wait_for 20 grep -q '"GET /index.html' "$WORK/web.log" || fail "device page never requested"
sleep 2
mkdir -p "$(dirname "$OUT")"
/usr/bin/import -window root "$OUT"
# The page's blue corner is at the screen's top-right, its green below.
read -r r g b <<<"$(pixel "$OUT" 770 30)"
[ "$b" -gt 150 ] && [ "$r" -lt 60 ] || fail "page's corner not at the top-right ($r $g $b)"
read -r r g b <<<"$(pixel "$OUT" 30 30)"
[ "$g" -gt 70 ] && [ "$b" -lt 60 ] || fail "page not turned at the top-left ($r $g $b)"
# The turned window ends as cleanly as the upright one.
kill -TERM "$KIOSK"
status=0
wait "$KIOSK" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
grep -q "TessalView stopped" "$WORK/kiosk.log" || fail "no clean shut-down"
echo "screenshot: $OUT"
