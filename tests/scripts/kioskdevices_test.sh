#!/usr/bin/env bash
# kioskdevices.sh against a sysfs tree in a temporary directory: the pins the
# kiosk's ini names (or the defaults) and the blank file are handed to the
# kiosk's group, writable by it; nothing else is touched.
#
#   kioskdevices_test.sh SCRIPT_DIR
# Needs root (it changes a file's group); exits 77 otherwise.
set -euo pipefail
DIR=$1
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
WORK=$(mktemp -d /tmp/kioskdevices-test.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
SYS=$WORK/root/sys
mkdir -p "$SYS/class/gpio" "$SYS/class/graphics/fb0"
# Pins as the kernel shows them once exported (export itself is a plain file
# here); 300 is one the ini does not name.
for n in 17 225 228 230 300; do
  mkdir "$SYS/class/gpio/gpio$n"
  for f in direction active_low value; do : >"$SYS/class/gpio/gpio$n/$f"; done
done
: >"$SYS/class/gpio/export"
: >"$SYS/class/graphics/fb0/blank"
chmod -R go-w "$SYS"
cat >"$WORK/view.ini" <<'INI'
[Network]
LedGreenPin=99
[GPIO]
; the green LED on pin 17
LedGreenPin = 17 ; a comment
LedYellowPin=x25
INI
status=0
TESSAL_ROOT=$WORK/root KIOSK_GROUP=nogroup "$DIR/kioskdevices.sh" "$WORK/view.ini" >"$WORK/out" 2>&1 || status=$?
[ $status -eq 0 ] || fail "exit status $status: $(cat "$WORK/out")"
handed() { [ "$(stat -c '%G' "$1")" = nogroup ] && [ "$(stat -c '%A' "$1" | cut -c6)" = w ]; }
# Green from the [GPIO] group (not [Network]), yellow's default for a value
# that is no number, red and buzzer by default.
for n in 17 225 228 230; do
  for f in direction active_low value; do
    handed "$SYS/class/gpio/gpio$n/$f" || fail "gpio$n/$f: $(stat -c '%G %A' "$SYS/class/gpio/gpio$n/$f")"
  done
done
grep -q "LedYellowPin='x25' is not a pin number, using 225" "$WORK/out" || fail "no line for the bad yellow pin: $(cat "$WORK/out")"
handed "$SYS/class/graphics/fb0/blank" || fail "blank: $(stat -c '%G %A' "$SYS/class/graphics/fb0/blank")"
[ "$(stat -c '%G %A' "$SYS/class/gpio/gpio300/value")" = "root -rw-r--r--" ] ||
  fail "a pin the ini does not name was touched: $(stat -c '%G %A' "$SYS/class/gpio/gpio300/value")"
[ ! -s "$SYS/class/gpio/export" ] || fail "pins that were there were exported again: $(cat "$SYS/class/gpio/export")"
grep -q "bl_power, left alone" "$WORK/out" || fail "no line for the missing backlight file"
# Without the kiosk's group nothing is done, and that is said.
status=0
TESSAL_ROOT=$WORK/root KIOSK_GROUP=no-such-group-here "$DIR/kioskdevices.sh" "$WORK/view.ini" >"$WORK/out" 2>&1 || status=$?
[ $status -eq 0 ] && grep -q "no group no-such-group-here, nothing done" "$WORK/out" || fail "unknown group: $(cat "$WORK/out")"
[ $failures -eq 0 ] || exit 1
echo "kioskdevices: all checks passed"
