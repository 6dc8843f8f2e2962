#!/bin/sh
# usbremount.sh rw|ro [directory]
#
# Remounts the file system of the USB drive read-write ("rw") or read-only
# ("ro"), always with nosuid, nodev and noexec. The kiosk runs it with "rw"
# before it saves a download to the drive and with "ro" afterwards, so that a
# drive pulled out without warning has no half-written file system most of
# the time; it refuses a drive mounted without those three options, so a
# remount must never drop them.
#
# The drive directory is the second argument, else $USBREMOUNT_DIR, else
# /usbmnt. A directory that is not a mount point is left alone (no drive is
# plugged in, or the system has not mounted it yet): the script logs that and
# exits with status 1. A first argument other than rw or ro gives status 2.
# Every outcome is written to the system log (tag "usbremount.sh") and to
# standard error.

TAG=usbremount.sh
# Not root (the packaged kiosk): the work is done by the script's root unit.
# shellcheck disable=SC2034 # read by rootunit-common.sh
ROOTUNIT=usbremount
# The mode alone: the drive directory is the system's, never the caller's.
# shellcheck disable=SC2034 # read by rootunit-common.sh
ROOTUNIT_MAX_ARGS=1
here=$(readlink -f -- "$0")
. "${here%/*}/rootunit-common.sh" || exit 1
MODE=$1
DIR=${2:-${USBREMOUNT_DIR:-/usbmnt}}

log() {
    logger -t "$TAG" -- "$*" 2>/dev/null
    echo "$TAG: $*" >&2
}

# The kiosk's service has a mount namespace of its own, with its own copy of
# the drive's mount. Whether the drive is read-only there depends on that
# copy's flags as much as on the file system's, and a remount here changes
# only this namespace's copy: the copy in the running kiosk's namespace is
# remounted too. (The kiosk cannot change its namespace itself; it has no
# privilege.)
remount_for_kiosk() {
    pid=$(systemctl show -p MainPID --value tessalview.service 2>/dev/null)
    case $pid in '' | 0 | *[!0-9]*) return 0 ;; esac
    [ "$(readlink "/proc/$pid/ns/mnt" 2>/dev/null)" != "$(readlink /proc/self/ns/mnt)" ] || return 0
    if nsenter --mount="/proc/$pid/ns/mnt" -- mount -o "remount,$1,nosuid,nodev,noexec" -- "$2"; then
        log "'$2' remounted $1 for the kiosk (PID $pid)"
    else
        log "remounting '$2' $1 for the kiosk (PID $pid) failed"
    fi
}

# The work itself, which needs the right to mount: checks the arguments,
# remounts, logs the outcome and returns the script's exit status.
usb_remount() {
    mode=$1
    dir=$2
    case "$mode" in
    rw | ro) ;;
    *)
        log "usage: $TAG rw|ro [directory] (got '$mode')"
        return 2
        ;;
    esac

    if ! mountpoint -q -- "$dir" 2>/dev/null; then
        log "'$dir' is not a mount point, nothing remounted"
        return 1
    fi

    mount -o "remount,$mode,nosuid,nodev,noexec" -- "$dir"
    status=$?
    if [ "$status" -eq 0 ]; then
        log "'$dir' remounted $mode"
        remount_for_kiosk "$mode" "$dir"
        return 0
    fi
    log "remounting '$dir' $mode failed (mount status $status)"
    return 1
}

usb_remount "$MODE" "$DIR"
exit $?
