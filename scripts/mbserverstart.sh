#!/bin/sh
# mbserverstart.sh INITFILE
#
# Starts the Modbus server daemon plinthd unless it already runs (through
# systemd when it is installed as plinthd.service on the system bus, else
# directly), waits until it owns its D-Bus name and delivers the "init"
# document held in INITFILE (JSON) to its method cmd; a daemon that still
# serves an earlier configuration is sent "deinit" first. Run by the kiosk
# at start-up, right after mbserverstop.sh; the kiosk waits at most 30 s for
# it, so every wait here is bounded below that (3 s per call, MBSERVER_WAIT
# for the start).
#
# A copy of the delivered document stays in MBSERVER_STATE_DIR, where
# mbserverupdate.sh finds it to configure a daemon that was restarted
# meanwhile.
#
# Environment:
#   PLINTHD                  daemon binary to run directly (default: the
#                            plinthd service, else plinthd beside this
#                            script, else plinthd on PATH)
#   PLINTHCTL                plinthctl to use (default: beside this script's
#                            real file, else on PATH)
#   MBSERVER_WAIT            seconds to wait for the daemon's bus name (10)
#   MBSERVER_STATE_DIR       root-owned runtime directory for the copy of the
#                            init document (default /run/tessalview)
#   DBUS_SYSTEM_BUS_ADDRESS  the bus to use (standard D-Bus variable; the
#                            system bus when unset)
#
# Failures go to the system log (tag mbserverstart.sh) and to standard
# error; the exit status is then non-zero.

TAG=mbserverstart.sh
# Logging and finding plinthctl, shared with the other mbserver scripts.
here=$(readlink -f -- "$0")
. "${here%/*}/mbserver-common.sh" || exit 1
find_plinthctl

[ $# -eq 1 ] || fail "usage: $TAG INITFILE"
INITFILE=$1
[ -r "$INITFILE" ] || fail "init file '$INITFILE' not found or not readable"
[ -s "$INITFILE" ] || fail "init file '$INITFILE' is empty"

"$PLINTHCTL" wait --timeout 0 2>/dev/null
case $? in
0) running=yes ;;
4) running=no ;;
*) fail "D-Bus system bus not reachable" ;;
esac

if [ "$running" = no ]; then
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

    # Short waits, so a daemon that dies at once is noticed at once.
    until "$PLINTHCTL" wait --timeout 200 2>/dev/null; do
        if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
            fail "plinthd ($BIN) exited before owning vox.tessal.plinthd"
        fi
        if [ "$(date +%s)" -ge "$deadline" ]; then
            # Ours and useless: do not leave it behind.
            [ -n "$pid" ] && kill "$pid" 2>/dev/null
            fail "plinthd did not own vox.tessal.plinthd within ${wait_s} s"
        fi
    done
fi

# The update road reads the copy, never the kiosk's file in a shared
# temporary directory that someone else could change meanwhile.
STATE=${MBSERVER_STATE_DIR:-/run/tessalview}
SAVED=$STATE/mbserver_init.saved
DOC=$INITFILE
if mkdir -p -m 0700 -- "$STATE" 2>/dev/null && cp -- "$INITFILE" "$SAVED.new" 2>/dev/null &&
    mv -f -- "$SAVED.new" "$SAVED"; then
    DOC=$SAVED
else
    rm -f -- "$SAVED" "$SAVED.new" 2>/dev/null
    log_error "cannot keep the init document in $STATE: a restarted plinthd will not be configured again"
fi

reply=$("$PLINTHCTL" init --reinit -- "$DOC" 2>&1) && exit 0
# A refused document is not delivered again by the update road either.
[ "$DOC" = "$SAVED" ] && rm -f -- "$SAVED"
fail "init refused: $(printf '%s' "$reply" | tr '\n' ' ')"
