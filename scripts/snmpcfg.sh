#!/bin/sh
# snmpcfg.sh - configure the unit's SNMP agent from the device's settings.
#
# Run by tessalview from its script directory when the device sends new SNMP
# settings (SnmpCfg), between "snmpctl.sh stop" and "snmpctl.sh start":
#   snmpcfg.sh <file>
# <file> is "snmp.cfg" in tessalview's temporary configuration directory
# (readable by its owner only: it holds passwords and keys). One "key=value"
# line per setting, in this order:
#   version options nopriv_hash priv_hash priv_algo cli_mode cli_hash cli_algo
#   ro_user nopriv_user nopriv_pwd priv_user priv_pwd priv_key oid ro_oid
#   nopriv_oid priv_oid k3p_context k3p_community cli_engineid cli_community
#   cli_user cli_pwd cli_key port port_trap trap_addr1 .. trap_addr5
# Versions are V1, V2, V3NOAUTH, V3NOPRIV, V3PRIV or UNDEF; hashes MD5, SHA or
# UNDEF; ciphers DES, AES or UNDEF; addresses dotted IPv4 (0.0.0.0 = unused).
# In texts every byte outside printable ASCII, and '%' itself, is written as
# %XX (two upper-case hexadecimal digits). Read the file line by line; never
# source it. The agent uses the keys up to k3p_community and "port".
#
# This sample only logs the request and the agent settings without the
# secrets (system log, tag "snmpcfg.sh", and standard error). tessalview waits
# for it at most 30 s and ignores its exit status.

name=snmpcfg.sh
# Not root (the packaged kiosk): the work is done by the script's root unit.
# shellcheck disable=SC2034 # read by rootunit-common.sh
ROOTUNIT=snmpcfg
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
    version | nopriv_user | priv_user | oid | port)
        summary="$summary $line"
        ;;
    esac
done <"$1"
say "configure SNMP agent from $1:$summary"
exit 0
