#!/bin/sh
# modbuscfg.sh - apply the Modbus TCP settings the measuring device sent
# (ModbusCfg).
#
# Run by tessalview from its script directory, only when the settings differ
# from those in force (and once after start-up):
#   modbuscfg.sh <enable|disable> <port>
#     enable|disable   whether Modbus TCP serving is wanted
#     port             TCP port (502 by default)
# Example: modbuscfg.sh enable 502
#
# This sample only logs the request (system log, tag "modbuscfg.sh", and
# standard error). tessalview waits for it at most 30 s and ignores its exit
# status.

name=modbuscfg.sh
# Not root (the packaged kiosk): the work is done by the script's root unit.
# shellcheck disable=SC2034 # read by rootunit-common.sh
ROOTUNIT=modbuscfg
here=$(readlink -f -- "$0")
. "${here%/*}/rootunit-common.sh" || exit 1
say() {
    logger -t "$name" -- "$*" 2>/dev/null
    echo "$name: $*" >&2
}

if [ $# -ne 2 ]; then
    say "usage: $name <enable|disable> <port>"
    exit 2
fi
case "$1" in
enable | disable) ;;
*)
    say "unknown state '$1'"
    exit 2
    ;;
esac
say "Modbus TCP $1, port $2"
exit 0
