#!/bin/sh
# mbserverupdate.sh DOCUMENT
#
# Delivers one JSON command document (a "setconfig" with register values,
# from the kiosk for every Core section) to the Modbus server daemon plinthd
# through its D-Bus method cmd. The document is passed on as one argument,
# byte for byte. Bounded by a short call time-out; the kiosk waits at most
# 30 s.
#
# Environment:
#   DBUS_SYSTEM_BUS_ADDRESS  the bus to use (standard D-Bus variable)
#   MBSERVER_STATE_DIR       where the "daemon not running" note is kept
#                            (default /tmp)
#
# Failures go to the system log (tag mbserverupdate.sh) and to standard
# error; the exit status is then non-zero. A daemon that is not running is
# logged at most once a minute, since updates come with every frame.

TAG=mbserverupdate.sh
# The helpers shared by the three mbserver scripts live beside the real file
# (the kiosk and the demo may call this script through a link).
. "$(dirname "$(readlink -f "$0")")/mbserver-common.sh" || exit 1

[ $# -eq 1 ] || fail "usage: $TAG DOCUMENT"

reply=$(timeout "$((CALL_TIMEOUT + 1))" dbus-send --system --print-reply=literal \
    --reply-timeout="$((CALL_TIMEOUT * 1000))" --dest="$BUSNAME" "$OBJPATH" \
    "$IFACE.cmd" "string:$1" 2>&1)
status=$?

case $reply in
*org.freedesktop.DBus.Error.ServiceUnknown* | *org.freedesktop.DBus.Error.NameHasNoOwner*)
    note=${MBSERVER_STATE_DIR:-/tmp}/.mbserverupdate-nodaemon
    if [ -z "$(find "$note" -mmin -1 2>/dev/null)" ]; then
        log_error "plinthd is not running, update dropped"
        touch "$note" 2>/dev/null
    fi
    exit 1
    ;;
esac

[ "$status" -eq 0 ] || fail "update not delivered (status $status): $(printf '%s' "$reply" | tr '\n' ' ')"
err=$(printf '%s\n' "$reply" | grep -o '"err":[[:space:]]*-\{0,1\}[0-9][0-9]*' | head -n 1 | sed 's/^"err":[[:space:]]*//')
[ "$err" = 0 ] || fail "update refused: $(printf '%s' "$reply" | tr '\n' ' ')"
exit 0
