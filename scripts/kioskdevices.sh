#!/bin/sh
# kioskdevices.sh [INI]
#
# Run as root before the kiosk starts (tessalview-devices.service). The kiosk
# runs as its own unprivileged user; it needs to write, and only to write:
#   - the GPIO pins of its LEDs and buzzer (the pins of the [GPIO] group of
#     INI, default /usr/local/etc/tessal-view.ini, else 224, 225, 228, 230):
#     each pin is exported and its direction, active_low and value files are
#     handed to the kiosk's group (KIOSK_GROUP, default tessalview), writable
#     by it;
#   - the frame buffer's blank file and the backlight's power file, the same
#     way.
# Files that do not exist (a board without the pin, no backlight) are left
# alone, with a log line. The sysfs paths are below TESSAL_ROOT when that is
# set. Every outcome goes to the system log (tag kioskdevices.sh) and to
# standard error; the exit status is 0 unless the arguments are wrong.

TAG=kioskdevices.sh
INI=${1:-/usr/local/etc/tessal-view.ini}
GROUP=${KIOSK_GROUP:-tessalview}
SYS=${TESSAL_ROOT:-}/sys

log() {
    logger -t "$TAG" -- "$*" 2>/dev/null
    echo "$TAG: $*" >&2
}

[ $# -le 1 ] || { log "usage: $TAG [INI]"; exit 2; }

# The value of KEY in the [GPIO] group of the ini, else DEFAULT; only a
# plain decimal number counts.
pin() {
    value=
    [ -r "$INI" ] && value=$(awk -v key="$1" '
        /^[ \t]*\[/ { group = $0; gsub(/[ \t\[\]]/, "", group); next }
        group == "GPIO" {
            line = $0; sub(/[;#].*/, "", line)
            n = index(line, "=")
            if (n == 0) next
            k = substr(line, 1, n - 1); v = substr(line, n + 1)
            gsub(/[ \t\r]/, "", k); gsub(/[ \t\r]/, "", v)
            if (k == key) found = v
        }
        END { print found }' "$INI")
    case $value in
    '' | *[!0-9]*)
        [ -n "$value" ] && log "[GPIO] $1='$value' is not a pin number, using $2"
        value=$2
        ;;
    esac
    echo "$value"
}

hand_over() {
    for file in "$@"; do
        if [ ! -e "$file" ]; then
            log "no $file, left alone"
            continue
        fi
        if chgrp "$GROUP" "$file" && chmod g+rw "$file"; then
            log "$file: writable by group $GROUP"
        else
            log "$file could not be handed to group $GROUP"
        fi
    done
}

getent group "$GROUP" >/dev/null 2>&1 || { log "no group $GROUP, nothing done"; exit 0; }

for key_default in LedGreenPin:224 LedYellowPin:225 LedRedPin:228 BuzzerPin:230; do
    n=$(pin "${key_default%%:*}" "${key_default#*:}")
    dir=$SYS/class/gpio/gpio$n
    if [ ! -d "$dir" ] && [ -e "$SYS/class/gpio/export" ]; then
        if echo "$n" >"$SYS/class/gpio/export" 2>/dev/null; then
            # The kernel creates the pin's directory, udev then sets its files up.
            i=0
            while [ ! -d "$dir" ] && [ $i -lt 20 ]; do
                sleep 0.1
                i=$((i + 1))
            done
        else
            log "pin $n could not be exported"
        fi
    fi
    hand_over "$dir/direction" "$dir/active_low" "$dir/value"
done

hand_over "$SYS/class/graphics/fb0/blank" \
    "$SYS/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0/bl_power"
exit 0
