#!/bin/sh
# mbserverstop.sh
#
# Stops the Modbus server daemon plinthd when it runs: "deinit" (closes the
# Modbus interface), then "stop" (ends the daemon), then waits until its
# D-Bus name is released so that a following mbserverstart.sh starts a fresh
# daemon. A daemon that does not leave within the wait is sent SIGTERM.
# Nothing to do (exit 0) when the daemon does not run. Every wait is bounded
# well below the 30 s the kiosk allows.
#
# Environment:
#   MBSERVER_WAIT            seconds to wait for the daemon to leave (10)
#   DBUS_SYSTEM_BUS_ADDRESS  the bus to use (standard D-Bus variable)
#
# Failures go to the system log (tag mbserverstop.sh) and to standard error;
# the exit status is then non-zero.

TAG=mbserverstop.sh
# The helpers shared by the three mbserver scripts live beside the real file
# (the kiosk and the demo may call this script through a link).
. "$(dirname "$(readlink -f "$0")")/mbserver-common.sh" || exit 1

owner=$(name_has_owner)
case $owner in
false) exit 0 ;;
true) ;;
*) fail "D-Bus system bus not reachable" ;;
esac

# The process behind the name, asked before it leaves (for the last resort).
pid=$(timeout "$CALL_TIMEOUT" dbus-send --system --print-reply=literal --reply-timeout=2000 \
    --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.GetConnectionUnixProcessID string:"$BUSNAME" 2>/dev/null |
    sed -n 's/^[[:space:]]*uint32[[:space:]]*\([0-9][0-9]*\).*/\1/p')

# "deinit" is refused (110) when nothing is configured: that is fine.
reply=$(call_cmd '{"cmd":"deinit"}')
err=$(reply_err "$reply")
case $err in
0 | 110) ;;
*) log_error "deinit failed: $(printf '%s' "$reply" | tr '\n' ' ')" ;;
esac

reply=$(call_cmd '{"cmd":"stop"}')
err=$(reply_err "$reply")
[ "$err" = 0 ] || log_error "stop failed: $(printf '%s' "$reply" | tr '\n' ' ')"

wait_s=${MBSERVER_WAIT:-10}
case $wait_s in '' | *[!0-9]*) wait_s=10 ;; esac
deadline=$(($(date +%s) + wait_s))
while [ "$(name_has_owner)" = true ]; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
        if [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null; then
            fail "plinthd (pid $pid) did not stop within ${wait_s} s, sent SIGTERM"
        fi
        fail "plinthd did not stop within ${wait_s} s"
    fi
    sleep 0.2
done
exit 0
