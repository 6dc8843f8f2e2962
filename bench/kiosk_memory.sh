#!/usr/bin/env bash
# Kiosk memory under page churn: the device's page reloads itself every
# REFRESH seconds (as live-value pages do) and the kiosk's resident memory is
# sampled after the first load (the baseline of this run) and then every
# STEP loads, to show whether it keeps growing.
#
#   bench/kiosk_memory.sh BUILD_DIR [LOADS] [STEP] [REFRESH]
#
# Needs root (a private network namespace gives the device its port 80) and
# Xvfb. Sends traffic only inside that namespace.
set -euo pipefail
BUILD=${1:?usage: kiosk_memory.sh BUILD_DIR [LOADS] [STEP] [REFRESH]}
LOADS=${2:-200}
STEP=${3:-50}
REFRESH=${4:-0.1}
if [ -z "${KIOSK_BENCH_NETNS:-}" ]; then
  exec unshare --net env KIOSK_BENCH_NETNS=1 bash "$0" "$@"
fi
TESSALVIEW=$BUILD/src/tessalview/tessalview
TUPSEND=$BUILD/src/tupsend/tupsend
WORK=$(mktemp -d /tmp/kiosk-mem.XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
ip link set lo up

mkdir -p "$WORK/www" "$WORK/xdg" "$WORK/root/usr/local/etc" "$WORK/root/sys/class/graphics/fb0" \
  "$WORK/root/sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0"
chmod 700 "$WORK/xdg"
cat >"$WORK/www/index.html" <<HTML
<html><head><meta http-equiv="refresh" content="$REFRESH"></head>
<body style="background:#1b5e20;color:white"><h1>K3P</h1>
<img src="/logo.png" width="200" height="100"><p>Flow 21.5 m3/h</p></body></html>
HTML
/usr/bin/convert -size 200x100 xc:'#2e7d32' "$WORK/www/logo.png"
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
UdpTimeout=3600
[UI]
ScreenSaverInterval=3600000
INI

/usr/bin/python3 -m http.server 80 --bind 127.0.0.1 --directory "$WORK/www" >"$WORK/web.log" 2>&1 &
PIDS+=($!)
exec 5>"$WORK/display"
Xvfb -displayfd 5 -screen 0 800x480x24 -nolisten tcp >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$WORK/display")" XDG_RUNTIME_DIR=$WORK/xdg
unset QT_QPA_PLATFORM

TESSAL_ROOT=$WORK/root "$TESSALVIEW" >"$WORK/kiosk.log" 2>&1 &
KIOSK=$!
PIDS+=($KIOSK)
for _ in $(seq 200); do grep -q "Main window shown" "$WORK/kiosk.log" && break; sleep 0.05; done
"$TUPSEND" -H 127.0.0.1 -p 9876 --devinfo 1,1,0,2,0,1,1,en >/dev/null

loads() { grep -c '"GET /index.html' "$WORK/web.log" || true; }
rss() { awk '/^VmRSS/ {print $2}' "/proc/$KIOSK/status"; }
for _ in $(seq 600); do [ "$(loads)" -ge 1 ] && break; sleep 0.05; done
sleep 1
first=$(rss)
echo "tessalview: resident memory after the first page load (baseline): $first kB"
next=$STEP
start=$(date +%s)
while [ "$next" -le "$LOADS" ]; do
  while [ "$(loads)" -lt "$next" ]; do
    kill -0 "$KIOSK" 2>/dev/null || { echo "tessalview exited during the run"; exit 1; }
    [ $(($(date +%s) - start)) -lt 600 ] || { echo "too slow: $(loads) loads in 600 s"; exit 1; }
    sleep 0.2
  done
  now=$(rss)
  echo "tessalview: after $next page loads: $now kB ($((now - first)) kB over the baseline)"
  next=$((next + STEP))
done
echo "tessalview: error pages shown during the run: $(grep -c 'wv: Load error page' "$WORK/kiosk.log" || true)"
