#!/usr/bin/env bash
# The whole kiosk as a user meets it: tessalview under Xvfb, a device web
# server on the device's usual port 80 and TUP frames from tupsend, all inside
# a private network namespace. Takes screenshots of the waiting screen, the
# device's page and the connection-error page, and checks what they show.
#
#   kiosk_screens.sh TESSALVIEW TUPSEND SOURCE_DIR OUT_DIR
set -euo pipefail
TESSALVIEW=$1
TUPSEND=$2
SRC=$3
OUT=$4

if [ -z "${KIOSK_SCREENS_NETNS:-}" ]; then
  # Port 80 and the UDP port are only free inside a namespace of our own.
  if ! unshare --net true 2>/dev/null; then
    echo "SKIP: cannot create a network namespace (needs root)"
    exit 77
  fi
  exec unshare --net env KIOSK_SCREENS_NETNS=1 bash "$0" "$@"
fi

for tool in Xvfb /usr/bin/import /usr/bin/convert /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done

WORK=$(mktemp -d /tmp/kiosk-screens.XXXXXX)
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
  echo "--- kiosk log ---"
  tail -n 40 "$WORK/kiosk.log" || true
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
pixel() { # pixel FILE X Y -> "r g b" (0..255)
  /usr/bin/convert "$1" -format "%[fx:int(255*p{$2,$3}.r)] %[fx:int(255*p{$2,$3}.g)] %[fx:int(255*p{$2,$3}.b)]" info:
}

ip link set lo up
mkdir -p "$OUT" "$WORK/www" "$WORK/xdg" "$WORK/root/usr/local/etc" \
  "$WORK/root/sys/class/graphics/fb0" "$WORK/root/sys/class/net/usb0" \
  "$WORK/root/sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0"
chmod 700 "$WORK/xdg"
echo down >"$WORK/root/sys/class/net/usb0/operstate"

cat >"$WORK/www/index.html" <<'HTML'
<html><head><title>K3P</title></head>
<body style="margin:0;background:#1b5e20;color:white;font-family:sans-serif">
<h1 style="margin:40px">K3P measuring device</h1>
<p style="margin:40px;font-size:28px">Flow 21.5 m3/h &nbsp; Pressure 3.2 bar</p>
</body></html>
HTML

cat >"$WORK/root/usr/local/etc/tessal-view.ini" <<INI
[WebCache]
Path=$WORK/cache
[Files]
ScriptDir=$WORK/bin
TmpCfgDir=$WORK/etc
Directory=$WORK/usbmnt
UsbDriveFile=$WORK/usbdrive
[ModbusServer]
ModbusMap=$WORK/none.map
[Network]
UdpBindAddress=127.0.0.1
UdpPort=9876
UdpTimeout=2
RetryTimeout=30
[UI]
ScreenSaverInterval=600000
ErrorImagePath=$SRC/deploy/share/images
INI

/usr/bin/python3 -m http.server 80 --bind 127.0.0.1 --directory "$WORK/www" \
  >"$WORK/web.log" 2>&1 &
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

# 1. The waiting screen.
wait_for 20 grep -q "Main window shown" "$WORK/kiosk.log" || fail "no waiting screen"
sleep 1
/usr/bin/import -window root "$OUT/kiosk-waiting.png"
# The window covers the whole screen, light grey with the message.
for corner in "5 5" "794 474"; do
  read -r r g b <<<"$(pixel "$OUT/kiosk-waiting.png" $corner)"
  [ "$r" -gt 200 ] && [ "$g" -gt 200 ] || fail "waiting screen at $corner is $r $g $b"
done
dark=$(/usr/bin/convert "$OUT/kiosk-waiting.png" -crop 800x60+0+210 -threshold 50% \
  -format "%[fx:int(1000*(1-mean))]" info:)
[ "$dark" -gt 5 ] || fail "no waiting text in the middle of the screen ($dark)"

# 2. The device starts talking: its page is shown.
"$TUPSEND" -H 127.0.0.1 -p 9876 -c 8 -i 0.4 --devinfo 1,1,0,2,0,1,12345,en \
  --gpio 1,0,0,0 >"$WORK/tupsend.log" 2>&1 &
PIDS+=($!)
wait_for 20 grep -q '"GET /index.html' "$WORK/web.log" || fail "device page never requested"
sleep 1.5
/usr/bin/import -window root "$OUT/kiosk-device-page.png"
read -r r g b <<<"$(pixel "$OUT/kiosk-device-page.png" 700 400)"
[ "$g" -gt 70 ] && [ "$r" -lt 60 ] && [ "$b" -lt 60 ] || fail "device page not shown ($r $g $b)"

# 3. The device falls silent: the connection-error page.
wait_for 20 grep -q "wv: Load error page" "$WORK/kiosk.log" || fail "no error page"
sleep 1.5
/usr/bin/import -window root "$OUT/kiosk-error-page.png"
read -r r g b <<<"$(pixel "$OUT/kiosk-error-page.png" 20 7)"
[ "$r" -gt 150 ] && [ "$g" -lt 80 ] || fail "error picture not shown ($r $g $b)"

kill -0 "$KIOSK" || fail "the kiosk has exited"

# The log's two forms come from one message pattern: the category first,
# then the time stamp on event lines only. The per-frame lines are off
# unless a logging rule turns them on.
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}'
grep -Eq "^tessal\.app: $stamp - Main window shown\$" "$WORK/kiosk.log" ||
  fail "no stamped 'Main window shown' line"
grep -Eq "^tessal\.frontlink: $stamp - Register device 127\.0\.0\.1\$" "$WORK/kiosk.log" ||
  fail "no stamped 'Register device' line"
grep -Eq "^tessal\.frontlink: UDP listen 127\.0\.0\.1:9876\$" "$WORK/kiosk.log" ||
  fail "no plain 'UDP listen' line"
if grep -q "sections walked" "$WORK/kiosk.log"; then
  fail "per-frame lines written though no rule asked for them"
fi

# 4. A page that leads to a download with no USB drive plugged in: the
# kiosk's popup over the page.
cat >"$WORK/www/index.html" <<'HTML'
<html><body style="margin:0;background:#1b5e20;color:white;font-family:sans-serif">
<h1 style="margin:40px">K3P measuring device</h1>
<script>setTimeout(function() { location = '/report.bin'; }, 500);</script>
</body></html>
HTML
printf 'a;b\n1;2\n' >"$WORK/www/report.bin"
"$TUPSEND" -H 127.0.0.1 -p 9876 -c 8 -i 0.4 --devinfo 1,1,0,2,0,1,12345,en \
  --gpio 1,0,0,0 >"$WORK/tupsend.log" 2>&1 &
PIDS+=($!)
wait_for 20 grep -q "Download canceled: USB drive not mounted" "$WORK/kiosk.log" ||
  fail "the download did not reach the USB handling"
sleep 0.7
/usr/bin/import -window root "$OUT/kiosk-popup.png"
# The popup's white box in the middle of the green page.
read -r r g b <<<"$(pixel "$OUT/kiosk-popup.png" 400 240)"
[ "$r" -gt 150 ] && [ "$g" -gt 150 ] && [ "$b" -gt 150 ] || fail "no popup shown ($r $g $b)"

# 5. The service manager stops it: a clean shut-down with status 0.
kill -TERM "$KIOSK"
status=0
wait "$KIOSK" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
grep -q "UDP stop" "$WORK/kiosk.log" || fail "the front link was not stopped"
grep -q "TessalView stopped" "$WORK/kiosk.log" || fail "no clean shut-down"
echo "screenshots: $OUT/kiosk-waiting.png $OUT/kiosk-device-page.png $OUT/kiosk-error-page.png $OUT/kiosk-popup.png"
echo "1 passed, 0 failed"
