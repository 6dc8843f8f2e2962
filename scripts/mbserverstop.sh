#!/bin/sh
# mbserverstop.sh
#
# Stops the Modbus server daemon plinthd when it runs: "deinit" (closes the
# Modbus interface), then "stop" (ends the daemon), then waits until its
# D-Bus name is released so that a following mbserverstart.sh starts a fresh
# daemon. A daemon that does not leave within the wait is sent SIGTERM.
# Nothing to do (exit 0) when the daemon does not run. The copy of the init
# document kept for the update road is removed: a daemon stopped on purpose
# is not configured again behind the kiosk's back. Every wait is bounded
# well below the 30 s the kiosk allows.
#
# Environment:
#   PLINTHCTL                plinthctl to use (default: beside this script's
#                            real file, else on PATH)
#   MBSERVER_WAIT            seconds to wait for the daemon to leave (10)
#   MBSERVER_STATE_DIR       runtime directory of the init document's copy
#                            (default /run/tessalview)
#   DBUS_SYSTEM_BUS_ADDRESS  the bus to use (standard D-Bus variable)
#
# Failures go to the system log (tag mbserverstop.sh) and to standard error;
# the exit status is then non-zero.

TAG=mbserverstop.sh
# Logging and finding plinthctl, shared with the other mbserver scripts.
here=$(readlink -f -- "$0")
. "${here%/*}/mbserver-common.sh" || exit 1
find_plinthctl

rm -f -- "${MBSERVER_STATE_DIR:-/run/tessalview}/mbserver_init.saved" 2>/dev/null

"$PLINTHCTL" wait --timeout 0 2>/dev/null
case $? in
0) ;;
4) exit 0 ;;
*) fail "D-Bus system bus not reachable" ;;
esac

# The process behind the name, asked before it leaves (for the last resort).
pid=$(timeout 3 dbus-send --system --print-reply=literal --reply-timeout=2000 \
    --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.GetConnectionUnixProcessID string:vox.tessal.plinthd 2>/dev/null |
    sed -n 's/^[[:space:]]*uint32[[:space:]]*\([0-9][0-9]*\).*/\1/p')

# "deinit" is refused (110) when nothing is configured: that is fine.
reply=$("$PLINTHCTL" cmd '{"cmd":"deinit"}' 2>&1)
case $? in
0) ;;
1) case $reply in *'"err":110,'*) ;; *) log_error "deinit failed: $(printf '%s' "$reply" | tr '\n' ' ')" ;; esac ;;
*) log_error "deinit failed: $(printf '%s' "$reply" | tr '\n' ' ')" ;;
esac

reply=$("$PLINTHCTL" cmd '{"cmd":"stop"}' 2>&1) ||
    log_error "stop failed: $(printf '%s' "$reply" | tr '\n' ' ')"

wait_s=${MBSERVER_WAIT:-10}
case $wait_s in '' | *[!0-9]*) wait_s=10 ;; esac
if ! "$PLINTHCTL" wait --gone --timeout "$((wait_s * 1000))" 2>/dev/null; then
    if [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null; then
        fail "plinthd (pid $pid) did not stop within ${wait_s} s, sent SIGTERM"
    fi
    fail "plinthd did not stop within ${wait_s} s"
fi
exit 0
