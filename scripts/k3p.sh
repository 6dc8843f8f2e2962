#!/bin/sh
# k3p.sh - register or unregister the measuring device attached to the unit.
#
# Run by tessalview from its script directory:
#   k3p.sh <address>           first frame from the device at <address>
#                              (dotted IPv4); the unit now serves its pages
#   k3p.sh delete <address>    no frame from <address> within the UDP time-out;
#                              the device is no longer attached
#
# This sample only logs the request (system log, tag "k3p.sh", and standard
# error). A site version would, for example, add or remove a "k3p" host entry.
# tessalview waits for it at most 30 s and ignores its exit status.

name=k3p.sh
# Not root (the packaged kiosk): the work is done by the script's root unit.
# shellcheck disable=SC2034 # read by rootunit-common.sh
ROOTUNIT=k3p
here=$(readlink -f -- "$0")
. "${here%/*}/rootunit-common.sh" || exit 1
say() {
    logger -t "$name" -- "$*" 2>/dev/null
    echo "$name: $*" >&2
}

case "$1" in
delete)
    [ $# -eq 2 ] || { say "usage: $name delete <address>"; exit 2; }
    say "unregister device $2"
    ;;
"" | -*)
    say "usage: $name <address> | $name delete <address>"
    exit 2
    ;;
*)
    [ $# -eq 1 ] || { say "usage: $name <address>"; exit 2; }
    say "register device $1"
    ;;
esac
exit 0
