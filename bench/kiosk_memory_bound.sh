#!/usr/bin/env bash
# The kiosk under a page that allocates without bound, inside a memory bound
# like the unit's MemoryMax=: prints the kiosk's resident memory every second
# until the bound ends it, the growth rate, how it ended, and the log line the
# next start writes about it.
#
#   bench/kiosk_memory_bound.sh BUILD_DIR [LIMIT_MB] [SECONDS]
#
# Needs root: a private network namespace gives the device its port 80, and
# the bound is a memory control group made for the run (cgroup v2
# memory.max, or cgroup v1 memory.limit_in_bytes) holding only the kiosk.
# Sends traffic only inside that namespace.
set -euo pipefail
BUILD=${1:?usage: kiosk_memory_bound.sh BUILD_DIR [LIMIT_MB] [SECONDS]}
LIMIT_MB=${2:-400}
SECONDS_MAX=${3:-120}
if [ -z "${KIOSK_BENCH_NETNS:-}" ]; then
  exec unshare --net env KIOSK_BENCH_NETNS=1 bash "$0" "$@"
fi
TESSALVIEW=$(realpath "$BUILD/src/tessalview/tessalview")
TUPSEND=$(realpath "$BUILD/src/tupsend/tupsend")
WORK=$(mktemp -d /tmp/kiosk-membound.XXXXXX)
CG=""
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 0.3
  [ -n "$CG" ] && rmdir "$CG" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
ip link set lo up

# The bound: a control group of our own.
if [ -f /sys/fs/cgroup/cgroup.controllers ]; then
  CG=/sys/fs/cgroup/tessal-membound-$$
  mkdir "$CG"
  echo "${LIMIT_MB}M" >"$CG/memory.max"
  echo 0 >"$CG/memory.swap.max" 2>/dev/null || true
  KIND="cgroup v2 memory.max=${LIMIT_MB}M"
elif [ -d /sys/fs/cgroup/memory ]; then
  CG=/sys/fs/cgroup/memory/tessal-membound-$$
  mkdir "$CG"
  echo $((LIMIT_MB * 1024 * 1024)) >"$CG/memory.limit_in_bytes"
  KIND="cgroup v1 memory.limit_in_bytes=${LIMIT_MB} MiB"
else
  echo "no memory control group available" >&2
  exit 1
fi

mkdir -p "$WORK/www" "$WORK/xdg" "$WORK/root/usr/local/etc" "$WORK/root/sys/class/graphics/fb0" \
  "$WORK/root/sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0"
chmod 700 "$WORK/xdg"
# About 8 MiB of live JavaScript arrays every 0.5 s, kept for ever.
cat >"$WORK/www/index.html" <<'HTML'
<html><body>hungry<script>
var keep = [];
setInterval(function () {
  for (var i = 0; i < 8; i++) { var a = new Array(131072); for (var j = 0; j < a.length; j++) a[j] = j + i; keep.push(a); }
}, 500);
</script></body></html>
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
UdpTimeout=3600
[UI]
ScreenSaverInterval=3600000
INI
/usr/bin/python3 -m http.server 80 --bind 127.0.0.1 --directory "$WORK/www" >"$WORK/web.log" 2>&1 &
PIDS+=($!)

start_kiosk() {
  # The shell enters the group first, so the kiosk is born inside it.
  bash -c "echo \$\$ >'$CG/cgroup.procs'; exec env TESSAL_ROOT='$WORK/root' QT_QPA_PLATFORM=offscreen \
    XDG_RUNTIME_DIR='$WORK/xdg' '$TESSALVIEW'" >>"$WORK/kiosk.log" 2>&1 &
  KIOSK=$!
  PIDS+=($KIOSK)
}
rss_kb() {
  local r
  r=$(awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || true)
  echo "${r:-0}"
}

echo "bound: $KIND"
start_kiosk
for _ in $(seq 100); do grep -q "Main window shown" "$WORK/kiosk.log" && break; sleep 0.1; done
"$TUPSEND" -H 127.0.0.1 -p 9876 --gpio 1,0,0,0 >/dev/null
for _ in $(seq 100); do grep -q '"GET /index.html' "$WORK/web.log" && break; sleep 0.1; done
START=$(date +%s.%N)
FIRST=$(rss_kb "$KIOSK")
LAST=$FIRST
echo "t(s)  RSS(kB)"
while kill -0 "$KIOSK" 2>/dev/null; do
  NOW=$(date +%s.%N)
  T=$(echo "$NOW - $START" | bc)
  R=$(rss_kb "$KIOSK")
  [ "$R" -gt 0 ] || break
  LAST=$R
  LAST_T=$T
  printf '%5.1f %8s\n' "$T" "$R"
  if [ "$(echo "$T > $SECONDS_MAX" | bc)" = 1 ]; then echo "still running after ${SECONDS_MAX}s"; break; fi
  sleep 1
done
set +e
wait "$KIOSK" 2>/dev/null
STATUS=$?
set -e
echo "kiosk ended: status $STATUS$( [ "$STATUS" -gt 128 ] && echo " (signal $((STATUS - 128)))")"
echo "RSS: $FIRST kB after the page loaded -> $LAST kB at ${LAST_T:-0} s," \
  "growth $(echo "($LAST - $FIRST) / 1024 / ${LAST_T:-1}" | bc -l | xargs printf '%.1f') MiB/s"
if [ -f "$CG/memory.events" ]; then grep oom "$CG/memory.events" | tr '\n' ' '; echo; fi
if [ -f "$CG/memory.oom_control" ]; then grep oom_kill "$CG/memory.oom_control" | tr '\n' ' '; echo; fi
if [ -f "$CG/memory.max_usage_in_bytes" ]; then
  echo "group peak: $(($(cat "$CG/memory.max_usage_in_bytes") / 1024)) kB"
fi
# Restarted as the service manager would: the new run says what happened.
cat >"$WORK/www/index.html" <<'HTML'
<html><body>fine</body></html>
HTML
start_kiosk
for _ in $(seq 100); do [ "$(grep -c "Main window shown" "$WORK/kiosk.log")" -ge 2 ] && break; sleep 0.1; done
grep "Previous run ended abnormally" "$WORK/kiosk.log" || echo "no 'Previous run' line"
kill "$KIOSK"
wait "$KIOSK" 2>/dev/null || true
