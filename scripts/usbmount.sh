#!/bin/sh
# usbmount.sh mount|unmount DEVICE
#
# Mounts the file system of a USB drive at the kiosk's drive directory
# (USBMOUNT_DIR, default /usbmnt), or unmounts it. Run as root by
# tessal-usbmount@DEVICE.service, which udev starts when a drive's file
# system appears (DEVICE is the kernel's name, for example sda1) and stops
# when it goes.
#
# The mount is always nosuid,nodev,noexec and, once set up, read-only; the kiosk has it
# remounted read-write only while it saves a download (usbremount.sh). The
# kiosk runs as its own user (USBMOUNT_USER, default tessalview):
#   - vfat and exfat have no owners: the files belong to that user and its
#     group (uid=, gid=, umask=0077);
#   - ext2/3/4 keep their owners: when the drive's top directory is not
#     writable by the user's group, it is given to that group (group write,
#     logged), the only change made to the drive.
# Other file systems are refused. Every outcome goes to the system log (tag
# usbmount.sh) and to standard error.

TAG=usbmount.sh
DIR=${USBMOUNT_DIR:-/usbmnt}
USER_NAME=${USBMOUNT_USER:-tessalview}

log() {
    logger -t "$TAG" -- "$*" 2>/dev/null
    echo "$TAG: $*" >&2
}

case ${2:-} in
'' | *[!a-z0-9]*)
    log "usage: $TAG mount|unmount DEVICE (a kernel name such as sda1, got '${2:-}')"
    exit 2
    ;;
esac
DEV=/dev/$2
SAFE=nosuid,nodev,noexec

case ${1:-} in
mount)
    [ -b "$DEV" ] || { log "$DEV is not a block device"; exit 1; }
    if mountpoint -q -- "$DIR" 2>/dev/null; then
        log "'$DIR' already holds a mount, $DEV not mounted"
        exit 1
    fi
    if ! uid=$(id -u "$USER_NAME" 2>/dev/null) || ! gid=$(id -g "$USER_NAME" 2>/dev/null); then
        log "no user $USER_NAME"
        exit 1
    fi
    type=$(blkid -c /dev/null -o value -s TYPE -- "$DEV" 2>/dev/null)
    [ -d "$DIR" ] || mkdir -m 0755 -- "$DIR" || exit 1
    case $type in
    vfat | exfat)
        mount -t "$type" -o "rw,$SAFE,uid=$uid,gid=$gid,umask=0077" -- "$DEV" "$DIR" ||
            { log "mounting $DEV ($type) at '$DIR' failed"; exit 1; }
        ;;
    ext2 | ext3 | ext4)
        mount -t "$type" -o "rw,$SAFE" -- "$DEV" "$DIR" ||
            { log "mounting $DEV ($type) at '$DIR' failed"; exit 1; }
        if ! setpriv --reuid="$uid" --regid="$gid" --clear-groups test -w "$DIR" 2>/dev/null; then
            chgrp "$gid" "$DIR" && chmod g+rwx "$DIR" &&
                log "the top directory of $DEV is now writable by group $(id -gn "$USER_NAME")"
        fi
        ;;
    *)
        log "$DEV holds '${type:-no known file system}', not mounted (vfat, exfat, ext2/3/4 only)"
        exit 1
        ;;
    esac
    # Mounted read-write first, then the file system made read-only: the
    # copies of the mount that other mount namespaces (the kiosk's service)
    # receive stay writable themselves, so the remount to "rw" for a download
    # reaches them too.
    mount -o "remount,ro,$SAFE" -- "$DIR" || log "remounting '$DIR' read-only failed"
    log "$DEV ($type) mounted read-only, $SAFE, at '$DIR'"
    ;;
unmount)
    # The drive may already be gone: a lazy unmount frees the directory.
    if mountpoint -q -- "$DIR" 2>/dev/null && [ "$(findmnt -n -o SOURCE --target "$DIR")" = "$DEV" ]; then
        umount -l -- "$DIR" && log "$DEV unmounted from '$DIR'"
    fi
    ;;
*)
    log "usage: $TAG mount|unmount DEVICE"
    exit 2
    ;;
esac
exit 0
