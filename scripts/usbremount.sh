#!/bin/sh
# usbremount.sh rw|ro [directory]
#
# Remounts the file system of the USB drive read-write ("rw") or read-only
# ("ro"). The kiosk runs it with "rw" before it saves a download to the drive
# and with "ro" afterwards, so that a drive pulled out without warning has no
# half-written file system most of the time.
#
# The drive directory is the second argument, else $USBREMOUNT_DIR, else
# /usbmnt. A directory that is not a mount point is left alone (no drive is
# plugged in, or the system has not mounted it yet): the script logs that and
# exits with status 1. Every outcome is written to the system log (tag
# "usbremount.sh") and to standard error.

TAG=usbremount.sh
# Not root (the packaged kiosk): the work is done by the script's root unit.
here=$(readlink -f -- "$0")
. "${here%/*}/rootunit-common.sh" || exit 1
case ${1:-} in
--unit)
    unit_arguments_ok "${2:-}" || exit 2
    set -f
    # shellcheck disable=SC2086 # the checked words, split on purpose
    set -- $2
    set +f
    ;;
*)
    [ "$(id -u)" -eq 0 ] || hand_to_unit usbremount "$@"
    ;;
esac
MODE=$1
DIR=${2:-${USBREMOUNT_DIR:-/usbmnt}}

log() {
    logger -t "$TAG" -- "$*" 2>/dev/null
    echo "$TAG: $*" >&2
}

case "$MODE" in
rw | ro) ;;
*)
    log "usage: $TAG rw|ro [directory] (got '$MODE')"
    exit 2
    ;;
esac

if ! mountpoint -q -- "$DIR" 2>/dev/null; then
    log "'$DIR' is not a mount point, nothing remounted"
    exit 1
fi

mount -o "remount,$MODE" -- "$DIR"
status=$?
if [ "$status" -eq 0 ]; then
    log "'$DIR' remounted $MODE"
    exit 0
fi
log "remounting '$DIR' $MODE failed (mount status $status)"
exit 1
