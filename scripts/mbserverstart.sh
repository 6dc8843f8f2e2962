#!/bin/sh
# mbserverstart.sh INITFILE
#
# Starts the Modbus server daemon plinthd unless it already runs (through
# systemd when it is installed as plinthd.service on the system bus, else
# directly), waits until it owns its D-Bus name and delivers the "init"
# document held in INITFILE (JSON) to its method cmd. Run by the kiosk at
# start-up, right after mbserverstop.sh; the kiosk waits at most 30 s for it,
# so every wait here is bounded below that (3 s per call, MBSERVER_WAIT for
# the start).
#
# Environment:
#   PLINTHD                  daemon binary to run directly (default: the
#                            plinthd service, else plinthd beside this
#                            script, else plinthd on PATH)
#   MBSERVER_WAIT            seconds to wait for the daemon's bus name (10)
#   DBUS_SYSTEM_BUS_ADDRESS  the bus to use (standard D-Bus variable; the
#                            system bus when unset)
#
# Failures go to the system log (tag mbserverstart.sh) and to standard
# error; the exit status is then non-zero.

TAG=mbserverstart.sh
# The helpers shared by the three mbserver scripts live beside the real file
# (the kiosk and the demo may call this script through a link).
. "$(dirname "$(readlink -f "$0")")/mbserver-common.sh" || exit 1

[ $# -eq 1 ] || fail "usage: $TAG INITFILE"
INITFILE=$1
[ -r "$INITFILE" ] || fail "init file '$INITFILE' not found or not readable"
INIT=$(cat -- "$INITFILE") || fail "cannot read init file '$INITFILE'"
[ -n "$INIT" ] || fail "init file '$INITFILE' is empty"

owner=$(name_has_owner)
case $owner in
true | false) ;;
*) fail "D-Bus system bus not reachable" ;;
esac

if [ "$owner" = false ]; then
    pid=
    wait_s=${MBSERVER_WAIT:-10}
    case $wait_s in '' | *[!0-9]*) wait_s=10 ;; esac
    deadline=$(($(date +%s) + wait_s))
    if [ -z "${PLINTHD:-}" ] && [ -z "${DBUS_SYSTEM_BUS_ADDRESS:-}" ] && [ -d /run/systemd/system ] &&
        systemctl cat plinthd.service >/dev/null 2>&1; then
        # Installed as a service: systemd starts and supervises it.
        timeout "$wait_s" systemctl start plinthd.service || fail "systemctl start plinthd.service failed"
    else
        BIN=${PLINTHD:-}
        if [ -z "$BIN" ]; then
            here=$(dirname -- "$0")
            if [ -x "$here/plinthd" ]; then
                BIN=$here/plinthd
            else
                BIN=$(command -v plinthd 2>/dev/null)
            fi
        fi
        if [ -z "$BIN" ] || [ ! -x "$BIN" ]; then
            fail "plinthd not found (set PLINTHD or install it on PATH)"
        fi
        # Detached from the kiosk: the daemon outlives this script.
        "$BIN" </dev/null >/dev/null 2>&1 &
        pid=$!
    fi

    while :; do
        [ "$(name_has_owner)" = true ] && break
        if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
            fail "plinthd ($BIN) exited before owning $BUSNAME"
        fi
        if [ "$(date +%s)" -ge "$deadline" ]; then
            # Ours and useless: do not leave it behind.
            [ -n "$pid" ] && kill "$pid" 2>/dev/null
            fail "plinthd did not own $BUSNAME within ${wait_s} s"
        fi
        sleep 0.2
    done
fi

reply=$(call_cmd "$INIT")
err=$(reply_err "$reply")
if [ "$err" = 110 ]; then
    # Already serving an earlier configuration: close it and try once more.
    call_cmd '{"cmd":"deinit"}' >/dev/null
    reply=$(call_cmd "$INIT")
    err=$(reply_err "$reply")
fi
[ "$err" = 0 ] || fail "init refused: $(printf '%s' "$reply" | tr '\n' ' ')"
exit 0
