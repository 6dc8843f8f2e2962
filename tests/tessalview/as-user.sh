#!/bin/sh
# as-user.sh USER[:GROUP] PATH... -- COMMAND [ARGUMENT...]
#
# Runs COMMAND as USER (a name or a number; its own group, or GROUP), with no supplementary
# groups, no capabilities and no way to gain any (setpriv --no-new-privs), as
# the packaged kiosk runs. The tests that start the kiosk unprivileged run
# this as root.
#
# A clone under a directory that others may not enter (a CI machine's /root)
# holds the programs and their libraries out of such a user's reach. So
# COMMAND runs in a mount namespace of its own, where each directory on the
# way to every PATH that USER cannot enter is covered by an empty tmpfs that
# holds only the way on: the directories themselves and everything else on
# the machine stay as they are. COMMAND keeps this process's PID.
set -eu
[ $# -ge 3 ] || { echo "usage: as-user.sh USER[:GROUP] PATH... -- COMMAND [ARGUMENT...]" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "as-user.sh: needs root" >&2; exit 2; }
spec=$1
shift
paths=
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    paths="$paths
$1"
    shift
done
[ "${1:-}" = -- ] || { echo "as-user.sh: no -- before the command" >&2; exit 2; }
shift
exec unshare --mount --propagation private -- sh -euc '
    spec=$1 paths=$2
    shift 2
    user=${spec%%:*}
    group=
    [ "$spec" = "$user" ] || group=${spec#*:}
    case $user in
    *[!0-9]*) uid=$(id -u "$user") gid=$(id -g "$user") ;;
    *) uid=$user gid=$user ;;
    esac
    case $group in
    "") ;;
    *[!0-9]*) gid=$(getent group "$group" | cut -d: -f3) ;;
    *) gid=$group ;;
    esac
    enters() { setpriv --reuid="$uid" --regid="$gid" --clear-groups -- test -x "$1"; }
    printf "%s\n" "$paths" | while IFS= read -r path; do
        [ -n "$path" ] || continue
        dir=
        rest=$(readlink -f -- "$path")
        while [ -n "${rest#/}" ]; do
            rest=${rest#/}
            part=${rest%%/*}
            rest=${rest#"$part"}
            parent=${dir:-/}
            dir=$dir/$part
            if ! enters "$parent"; then
                # Cover the parent; bring back only the way on.
                keep=$(mktemp -d /dev/shm/as-user.XXXXXX)
                mount --bind "$parent" "$keep"
                mount -t tmpfs -o mode=0755 as-user "$parent"
                mkdir -p "$dir"
                mount --bind "$keep/$part" "$dir"
                umount "$keep"
                rmdir "$keep"
            fi
        done
    done
    exec setpriv --reuid="$uid" --regid="$gid" --clear-groups --no-new-privs -- "$@"
' as-user "$spec" "$paths" "$@"
