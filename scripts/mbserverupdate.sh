#!/bin/sh
# mbserverupdate.sh DOCUMENT
#
# Delivers one JSON command document (a "setconfig" with register values,
# from the kiosk for every Core section) to the Modbus server daemon plinthd
# through its D-Bus method cmd, byte for byte. Runs once per frame with a
# Core section, on the kiosk's front-link thread (the window keeps running
# meanwhile, but the next frame waits), so it costs one shell and one
# plinthctl (exec'd), no other process.
#
# When plinthd refuses the update because it has no configuration (it was
# restarted, or came back after the system bus restarted), plinthctl
# delivers the init document that mbserverstart.sh left in MBSERVER_STATE_DIR
# and then the update, once.
#
# Environment:
#   PLINTHCTL                plinthctl to use (default: beside this script's
#                            real file, else on PATH)
#   DBUS_SYSTEM_BUS_ADDRESS  the bus to use (standard D-Bus variable)
#   MBSERVER_STATE_DIR       root-owned runtime directory with the init
#                            document and the "daemon not running" and
#                            "no system bus" notes
#                            (default /run/tessalview)
#
# Failures go to the system log (tag mbserverupdate.sh, written by plinthctl)
# and to standard error; the exit status is then non-zero. A daemon that is
# not running, and a system bus that cannot be reached, are each logged at
# most once a minute, since updates come with every frame.

TAG=mbserverupdate.sh
if [ $# -ne 1 ]; then
    logger -t "$TAG" -p user.err -- "usage: $TAG DOCUMENT" 2>/dev/null
    printf '%s: usage: %s DOCUMENT\n' "$TAG" "$TAG" >&2
    exit 1
fi

# Only shell built-ins up to the exec. readlink runs only when the script is
# called through a link and PLINTHCTL is not set. The rule is
# find_plinthctl's of mbserver-common.sh, kept here without the include: this
# script may be copied on its own, and runs for every frame.
if [ -z "${PLINTHCTL:-}" ]; then
    self=$0
    [ -L "$self" ] && self=$(readlink -f -- "$self")
    PLINTHCTL=${self%/*}/plinthctl
    if [ ! -x "$PLINTHCTL" ]; then
        # Found by exec on PATH; `command -v` alone forks nothing.
        PLINTHCTL=plinthctl
        if ! command -v plinthctl >/dev/null 2>&1; then
            logger -t "$TAG" -p user.err -- "plinthctl not found, update dropped" 2>/dev/null
            printf '%s: plinthctl not found, update dropped\n' "$TAG" >&2
            exit 1
        fi
    fi
fi

STATE=${MBSERVER_STATE_DIR:-/run/tessalview}
exec "$PLINTHCTL" --log "$TAG" update --init-file "$STATE/mbserver_init.saved" \
    --absent-note "$STATE/.mbserverupdate-nodaemon" --nobus-note "$STATE/.mbserverupdate-nobus" -- "$1"
