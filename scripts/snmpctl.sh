#!/bin/sh
# snmpctl.sh - stop or start the unit's SNMP agent.
#
# Run by tessalview from its script directory when the device sends new SNMP
# settings (SnmpCfg):
#   snmpctl.sh stop     before the new settings are written
#   snmpctl.sh start    after snmpcfg.sh and snmptrap.sh, only when the agent
#                       version is defined (V1, V2, V3NOAUTH, V3NOPRIV, V3PRIV)
#
# This sample only logs the request (system log, tag "snmpctl.sh", and
# standard error). tessalview waits for it at most 30 s and ignores its exit
# status.

name=snmpctl.sh
# Not root (the packaged kiosk): the work is done by the script's root unit.
# shellcheck disable=SC2034 # read by rootunit-common.sh
ROOTUNIT=snmpctl
here=$(readlink -f -- "$0")
. "${here%/*}/rootunit-common.sh" || exit 1
say() {
    logger -t "$name" -- "$*" 2>/dev/null
    echo "$name: $*" >&2
}

case "$1" in
start | stop)
    [ $# -eq 1 ] || { say "usage: $name start|stop"; exit 2; }
    say "$1 SNMP agent"
    ;;
*)
    say "usage: $name start|stop"
    exit 2
    ;;
esac
exit 0
