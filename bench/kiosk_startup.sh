#!/usr/bin/env bash
# Kiosk start-up benchmark: time from launch to the waiting screen and the
# resident memory of the idle kiosk, next to a bare QtWebKit window (built
# here from kiosk_baseline.cpp) measured the same way in the same run.
#
#   bench/kiosk_startup.sh BUILD_DIR [RUNS]
#
# Runs under Xvfb; every program gets a fresh temporary root (TESSAL_ROOT) so
# nothing of the machine is touched. Prints one line per figure.
set -euo pipefail
BUILD=${1:?usage: kiosk_startup.sh BUILD_DIR [RUNS]}
RUNS=${2:-5}
HERE=$(cd "$(dirname "$0")" && pwd)
TESSALVIEW=$BUILD/src/tessalview/tessalview
[ -x "$TESSALVIEW" ] || { echo "kiosk_startup.sh: $TESSALVIEW is not built" >&2; exit 1; }

WORK=$(mktemp -d /tmp/kiosk-bench.XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

g++ -std=c++17 -O2 -fPIC -o "$WORK/baseline" "$HERE/kiosk_baseline.cpp" \
  $(pkg-config --cflags --libs Qt5WebKitWidgets Qt5Widgets)

exec 5>"$WORK/display"
# -noreset: the programs measured come and go; a server that starts over
# after each one can leave the next one's connection unanswered.
Xvfb -displayfd 5 -screen 0 800x480x24 -nolisten tcp -noreset >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$WORK/display")"
export XDG_RUNTIME_DIR=$WORK/xdg
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM

make_root() { # a unit root whose ini keeps everything inside $1
  mkdir -p "$1/usr/local/etc" "$1/sys/class/graphics/fb0" \
    "$1/sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0"
  cat >"$1/usr/local/etc/tessal-view.ini" <<INI
[WebCache]
Path=$1/cache
[Files]
ScriptDir=$1/bin
TmpCfgDir=$1/etc
[ModbusServer]
ModbusMap=$1/none.map
[Network]
UdpBindAddress=127.0.0.1
UdpPort=0
INI
}

STAMP='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}'
ms_of() { # "yyyy-MM-dd hh:mm:ss.zzz" -> milliseconds since the epoch
  date -d "$1" +%s%3N
}

# measure NAME PROGRAM: start-up times and idle RSS over $RUNS runs
measure() {
  local name=$1 prog=$2 starts=() inproc=() rss=()
  for ((run = 0; run < RUNS; run++)); do
    local root=$WORK/root-$name-$run
    make_root "$root"
    local t0; t0=$(date +%s%3N)
    TESSAL_ROOT=$root "$prog" >"$root/log" 2>&1 &
    local pid=$!
    PIDS+=($pid)
    for _ in $(seq 2000); do
      grep -q "Main window shown" "$root/log" 2>/dev/null && break
      sleep 0.005
    done
    local t1; t1=$(date +%s%3N)
    local first shown
    # The first time-stamped line, and the stamp of "Main window shown"
    # (the kiosk's event lines put their category before the stamp).
    first=$(grep -oE "$STAMP" "$root/log" | head -n1)
    shown=$(grep "Main window shown" "$root/log" | grep -oE "$STAMP" | head -n1)
    starts+=($((t1 - t0)))
    inproc+=($(($(ms_of "$shown") - $(ms_of "$first"))))
    sleep 3
    rss+=($(awk '/^VmRSS/ {print $2}' "/proc/$pid/status"))
    kill "$pid"
    wait "$pid" 2>/dev/null || true
  done
  median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
  echo "$name: launch to waiting screen (median of $RUNS): $(median "${starts[@]}") ms" \
    "(first log line to shown: $(median "${inproc[@]}") ms)"
  echo "$name: resident memory 3 s after the waiting screen (median): $(median "${rss[@]}") kB"
}

measure baseline "$WORK/baseline"
measure tessalview "$TESSALVIEW"
