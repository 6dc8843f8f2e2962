#!/bin/sh
# snmptrap.sh - configure where the unit sends SNMP traps.
#
# Run by tessalview from its script directory when the device sends new SNMP
# settings (SnmpCfg), right after snmpcfg.sh:
#   snmptrap.sh <file>
# <file> is the same "snmp.cfg" file snmpcfg.sh reads (see there for the
# format). Traps use the keys cli_mode, cli_hash, cli_algo, cli_engineid,
# cli_community, cli_user, cli_pwd, cli_key, port_trap and trap_addr1 ..
# trap_addr5 (0.0.0.0 marks an unused destination).
#
# This sample only logs the request and the trap destinations (system log,
# tag "snmptrap.sh", and standard error). tessalview waits for it at most 30 s
# and ignores its exit status.

name=snmptrap.sh
# Not root (the packaged kiosk): the work is done by the script's root unit.
# shellcheck disable=SC2034 # read by rootunit-common.sh
ROOTUNIT=snmptrap
# shellcheck disable=SC2034 # read by rootunit-common.sh
ROOTUNIT_FILE=yes
here=$(readlink -f -- "$0")
. "${here%/*}/rootunit-common.sh" || exit 1
say() {
    logger -t "$name" -- "$*" 2>/dev/null
    echo "$name: $*" >&2
}

if [ $# -ne 1 ] || [ ! -r "$1" ]; then
    say "usage: $name <readable settings file>"
    exit 2
fi
summary=""
while IFS= read -r line; do
    case "${line%%=*}" in
    cli_mode | port_trap | trap_addr[1-5])
        summary="$summary $line"
        ;;
    esac
done <"$1"
say "configure SNMP traps from $1:$summary"
exit 0
