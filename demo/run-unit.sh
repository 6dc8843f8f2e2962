#!/usr/bin/env bash
# Runs the unit and a simulated device inside the current network namespace
# (tools/demo.sh creates a private one and calls this script in it).
#
#   run-unit.sh --build BUILD_DIR [--workdir DIR] [--for SECONDS] [--shots DIR]
#
# --shots DIR: once the unit runs, walks the demo as a person at the unit
# would (xdotool clicks) and saves three pictures of the kiosk's window into
# DIR, each checked for what it should show: demo-device-page.png (the
# device's page), demo-popup.png (a report saved to the USB drive: the
# kiosk's "Download complete" popup over the page) and demo-error-page.png
# (the device's web server stopped: the kiosk's connection-error page; the
# server is started again afterwards and the retry brings the page back).
# A picture that does not show what it should is named on stderr and the
# script ends with status 1.
#
# Network of the namespace: "eth1" (one end of a veth pair) with 10.9.0.1/24
# (broadcast 10.9.0.255) stands for the unit's device-side Ethernet. The simulated device
# serves its pages on 10.9.0.1:80 and broadcasts its TUP frames to
# 10.9.0.255:9876, where tessalview listens (UdpInterface=eth1).
set -euo pipefail
HERE=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=$HERE/build
WORK=""
DURATION=0
SHOTS=""
while [ $# -gt 0 ]; do
  case "$1" in
  --build) BUILD_DIR=$2; shift 2 ;;
  --workdir) WORK=$2; shift 2 ;;
  --for) DURATION=$2; shift 2 ;;
  --shots) SHOTS=$2; shift 2 ;;
  *) echo "run-unit.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$WORK" ] || WORK=$(mktemp -d /tmp/tessal-demo.XXXXXX)
mkdir -p "$WORK"
if [ -n "$SHOTS" ]; then
  for tool in xdotool import convert; do
    command -v $tool >/dev/null || {
      echo "run-unit.sh: --shots needs $tool (tools/install-deps.sh installs it)" >&2
      exit 1
    }
  done
  mkdir -p "$SHOTS"
  SHOTS=$(cd "$SHOTS" && pwd)
fi
NS=${TESSAL_DEMO_NETNS:-}

TESSALVIEW=$BUILD_DIR/src/tessalview/tessalview
PLINTHD_BIN=$BUILD_DIR/src/plinthd/plinthd
TUPSEND=$BUILD_DIR/src/tupsend/tupsend
for b in "$TESSALVIEW" "$PLINTHD_BIN" "$TUPSEND"; do
  [ -x "$b" ] || { echo "run-unit.sh: $b is not built" >&2; exit 1; }
done

PIDS=()
DBUS_PID=""
cleanup() {
  trap - EXIT INT TERM
  echo
  echo "Stopping the unit..."
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  if [ -n "${DBUS_SYSTEM_BUS_ADDRESS:-}" ]; then
    "$WORK/bin/mbserverstop.sh" >/dev/null 2>&1 || true
  fi
  sleep 0.5
  for p in "${PIDS[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  # Only the daemon of this unit: it is the one on this unit's private bus.
  for p in $(pgrep -f "$PLINTHD_BIN" 2>/dev/null); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null |
      grep -qx "DBUS_SYSTEM_BUS_ADDRESS=${DBUS_SYSTEM_BUS_ADDRESS:-none}"; then
      kill "$p" 2>/dev/null || true
    fi
  done
  [ -n "$DBUS_PID" ] && kill "$DBUS_PID" 2>/dev/null || true
  echo "Stopped. Logs kept in $WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- network of the namespace ------------------------------------------------
ip link set lo up
if ! ip link show eth1 >/dev/null 2>&1; then
  ip link add eth1 type veth peer name dev0
  ip addr add 10.9.0.1/24 brd 10.9.0.255 dev eth1
  ip link set eth1 up
  ip link set dev0 up
fi

# --- a fake root for the kiosk's fixed paths (sysfs, ini file) -----------------
ROOT=$WORK/root
mkdir -p "$ROOT/usr/local/etc" "$ROOT/sys/class/gpio" "$ROOT/sys/class/graphics/fb0" \
  "$ROOT/sys/class/net/usb0" "$ROOT/sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0"
: >"$ROOT/sys/class/gpio/export"
for pin in 224 225 228 230; do
  mkdir -p "$ROOT/sys/class/gpio/gpio$pin"
  echo in >"$ROOT/sys/class/gpio/gpio$pin/direction"
  echo 0 >"$ROOT/sys/class/gpio/gpio$pin/active_low"
  echo 0 >"$ROOT/sys/class/gpio/gpio$pin/value"
done
echo 0 >"$ROOT/sys/class/graphics/fb0/blank"
echo 0 >"$ROOT/sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0/bl_power"
echo down >"$ROOT/sys/class/net/usb0/operstate"

# --- the USB drive, the scripts, the temporary configuration directory -------
mkdir -p "$WORK/usbmnt" "$WORK/bin" "$WORK/etc" "$WORK/uploads"
# The kiosk finds the drive in the mount table: a block device mounted on the
# drive directory with nosuid, nodev and noexec (a table of its own under
# TESSAL_ROOT, and the device under its sys/dev/block).
mkdir -p "$ROOT/proc/self" "$ROOT/sys/dev/block/8:1"
printf '40 1 8:1 / %s rw,nosuid,nodev,noexec,relatime - vfat /dev/sda1 rw\n' \
  "$(printf %s "$WORK/usbmnt" | sed 's/\\/\\134/g; s/ /\\040/g')" >"$ROOT/proc/self/mountinfo"
echo "Saved on the unit's USB drive by the demo." >"$WORK/usbmnt/settings-example.txt"
for s in "$HERE"/scripts/*.sh; do ln -sf "$s" "$WORK/bin/$(basename "$s")"; done
export PLINTHD=$PLINTHD_BIN
export PLINTHCTL=$BUILD_DIR/src/plinthctl/plinthctl MBSERVER_STATE_DIR=$WORK/run
export USBREMOUNT_DIR=$WORK/usbmnt

cat >"$ROOT/usr/local/etc/tessal-view.ini" <<INI
[Files]
Directory=$WORK/usbmnt
ScriptDir=$WORK/bin
TmpCfgDir=$WORK/etc

[ModbusServer]
ModbusMap=$HERE/deploy/etc/modbus.map
ModbusMode=tcp
ModbusInterface=0.0.0.0:502:10

[Network]
UdpInterface=eth1
UdpPort=9876
UdpTimeout=10
FrontInterface=usb0

[UI]
HideCursor=false
ScreenSaverInterval=600000
ErrorImagePath=$HERE/deploy/share/images
INI
export TESSAL_ROOT=$ROOT

# --- a private D-Bus system bus ------------------------------------------------
cat >"$WORK/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$WORK/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
CONF
DBUS_OUT=$(dbus-daemon --config-file="$WORK/bus.conf" --fork --print-address=1 --print-pid=1)
DBUS_PID=$(echo "$DBUS_OUT" | sed -n 2p)
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$WORK/system_bus_socket

# --- a screen -------------------------------------------------------------------
export XDG_RUNTIME_DIR=$WORK/xdg
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
if [ -z "${DISPLAY:-}" ]; then
  Xvfb :87 -screen 0 800x480x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
  PIDS+=($!)
  export DISPLAY=:87
  for _ in $(seq 50); do [ -e /tmp/.X11-unix/X87 ] && break; sleep 0.1; done
  SCREEN="Xvfb $DISPLAY (screenshot: DISPLAY=$DISPLAY import -window root shot.png)"
else
  SCREEN="your display $DISPLAY"
fi

# --- the simulated device ---------------------------------------------------------
start_device_web() {
  /usr/bin/python3 -W ignore::DeprecationWarning "$HERE/demo/device_server.py" --bind 10.9.0.1 --port 80 \
    --www "$HERE/demo/www" --uploads "$WORK/uploads" --status-file "$WORK/status.json" \
    >>"$WORK/device-web.log" 2>&1 &
  DEVICE_WEB_PID=$!
  PIDS+=($!)
}
start_device_web

play_device() {
  local n=0 seq=1
  while true; do
    n=$((n + 1))
    local volt power temp energy phase gpio
    volt=$(awk -v n=$n 'BEGIN { printf "%.1f", 230 + 4 * sin(n / 5) }')
    temp=$(awk -v n=$n 'BEGIN { printf "%.1f", 21 + 3 * sin(n / 17) }')
    power=$((1500 + (n * 37) % 400))
    energy=$((100000 + n * 5))
    phase=$(((n / 10) % 3))
    case $phase in
    0) gpio=1,0,0,0 ;;
    1) gpio=1,2,0,0 ;;
    *) gpio=0,0,3,0 ;;
    esac
    printf '{"voltage": %s, "power": %s, "temperature": %s, "energy": %s}\n' \
      "$volt" "$power" "$temp" "$energy" >"$WORK/status.json.tmp"
    mv "$WORK/status.json.tmp" "$WORK/status.json"
    "$TUPSEND" -H 10.9.0.255 -p 9876 --seqno $seq \
      --devinfo 1,2,1,3,4,120,0x00C0FFEE,en --gpio $gpio \
      --item 1,1,0,4,u16:1 --item 1,2,0,1,bool:$((phase == 2 ? 1 : 0)) \
      --item 1,3,0,6,u32:$n \
      --item 2,1,0,8,float:$volt --item 2,1,1,8,float:231.0 \
      --item 2,2,0,5,s16:$((power / 23)) --item 2,3,0,7,s32:$power \
      --item 2,4,0,6,u32:$energy --item 2,5,0,8,float:$temp \
      >>"$WORK/device-frames.log" 2>&1 || true
    seq=$((seq + 1))
    sleep 1
  done
}
play_device &
PIDS+=($!)

# --- the unit ---------------------------------------------------------------------
"$TESSALVIEW" -D "K3P demo device" -R "demo" >"$WORK/tessalview.log" 2>&1 &
KIOSK_PID=$!
PIDS+=($!)

echo "Unit running (work directory $WORK)"
echo "  screen:   $SCREEN"
echo "  device:   http://10.9.0.1/index.html, TUP frames to 10.9.0.255:9876 every second"
echo "  log:      $WORK/tessalview.log (kiosk), journalctl -t plinthd or syslog (daemon)"

NSX=""
[ -n "$NS" ] && NSX="ip netns exec $NS "
ok=0
for _ in $(seq 30); do
  if mbpoll -m tcp -a 1 -r 101 -c 2 -t 4:float -B -1 -q 127.0.0.1 >"$WORK/mbpoll.txt" 2>&1; then
    ok=1
    break
  fi
  sleep 1
done
if [ $ok -eq 1 ]; then
  echo "Modbus registers readable on 127.0.0.1:502 (unit id 1), for example:"
  echo "  ${NSX}mbpoll -m tcp -a 1 -r 101 -c 2 -t 4:float -B -1 127.0.0.1   # voltages L1, L2 (float)"
  echo "  ${NSX}mbpoll -m tcp -a 1 -r 105 -c 5 -t 4 -1 127.0.0.1            # current, energy, temperature, status"
  if [ "${DISPLAY:-}" = ":87" ]; then
    sleep 2
    import -display :87 -window root "$WORK/screen.png" 2>/dev/null &&
      echo "  screenshot of the kiosk: $WORK/screen.png"
  fi
else
  echo "Modbus registers not readable after 30 s; see $WORK/tessalview.log" >&2
fi

SHOTS_STATUS=0
if [ -n "$SHOTS" ]; then
  # shellcheck source=demo/shots.sh
  . "$HERE/demo/shots.sh"
  take_shots || SHOTS_STATUS=1
fi

led() {
  local v
  v=$(cat "$ROOT/sys/class/gpio/gpio$1/value" 2>/dev/null || echo "?")
  [ "$v" = 1 ] && echo "on " || echo "off"
}
register() {
  mbpoll -m tcp -a 1 -r "$1" -c 1 -t "$2" ${3:-} -1 -q 127.0.0.1 2>/dev/null |
    sed -n 's/^\[[0-9]*\]:[[:space:]]*//p' | head -n 1
}
start=$SECONDS
while true; do
  printf '\rLEDs: green %s yellow %s red %s buzzer %s | V1 %s V  power %s W  temp %s C   ' \
    "$(led 224)" "$(led 225)" "$(led 228)" "$(led 230)" \
    "$(register 101 4:float -B)" "$(register 6 4:int -B)" "$(register 108 4)"
  if [ "$DURATION" -gt 0 ] && [ $((SECONDS - start)) -ge "$DURATION" ]; then
    break
  fi
  sleep 1
done
exit $SHOTS_STATUS
