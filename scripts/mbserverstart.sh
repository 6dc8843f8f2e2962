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
BUSNAME=vox.tessal.plinthd
OBJPATH=/vox/tessal
IFACE=vox.tessal.modbusserver
CALL_TIMEOUT=3

log_error() {
    logger -t "$TAG" -p user.err -- "$1" 2>/dev/null
    printf '%s: %s\n' "$TAG" "$1" >&2
}

fail() {
    log_error "$1"
    exit 1
}

# Prints "true" or "false"; fails when the bus cannot be reached.
name_has_owner() {
    timeout "$CALL_TIMEOUT" dbus-send --system --print-reply=literal \
        --reply-timeout=2000 --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:"$BUSNAME" 2>/dev/null |
        sed -n 's/^[[:space:]]*boolean[[:space:]]*//p'
}

# Calls cmd with one JSON text (passed as one argument, never re-parsed by the
# shell) and prints the daemon's reply text.
call_cmd() {
    timeout "$((CALL_TIMEOUT + 1))" dbus-send --system --print-reply=literal \
        --reply-timeout="$((CALL_TIMEOUT * 1000))" --dest="$BUSNAME" "$OBJPATH" \
        "$IFACE.cmd" "string:$1" 2>&1
}

# The "err" member of a reply (the first one: a later "err" can only be
# inside the "info" text); empty when the reply is not one.
reply_err() {
    printf '%s\n' "$1" | grep -o '"err":[[:space:]]*-\{0,1\}[0-9][0-9]*' | head -n 1 | sed 's/^"err":[[:space:]]*//'
}

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
