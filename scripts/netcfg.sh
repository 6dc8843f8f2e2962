#!/bin/sh
# netcfg.sh - apply the network settings the measuring device sent (NetCfg).
#
# Run by tessalview from its script directory, only when the settings differ
# from those in force (and once after start-up):
#   netcfg.sh <mode> <address> <netmask> <gateway> <dns1> <dns2> <setup>
#     mode     "dhcp" or "static"
#     address, netmask, gateway, dns1, dns2
#              dotted IPv4; 0.0.0.0 means "not given"
#     setup    "tessal" (device set up together with a front unit) or
#              "standalone"
# Example: netcfg.sh static 192.168.1.20 255.255.255.0 192.168.1.1 8.8.8.8 0.0.0.0 tessal
#
# This sample only logs the request (system log, tag "netcfg.sh", and
# standard error); it changes nothing. tessalview waits for it at most 30 s
# and ignores its exit status.

name=netcfg.sh
# Not root (the packaged kiosk): the work is done by the script's root unit.
# shellcheck disable=SC2034 # read by rootunit-common.sh
ROOTUNIT=netcfg
here=$(readlink -f -- "$0")
. "${here%/*}/rootunit-common.sh" || exit 1
say() {
    logger -t "$name" -- "$*" 2>/dev/null
    echo "$name: $*" >&2
}

if [ $# -ne 7 ]; then
    say "usage: $name <dhcp|static> <address> <netmask> <gateway> <dns1> <dns2> <tessal|standalone>"
    exit 2
fi
case "$1" in
dhcp | static) ;;
*)
    say "unknown mode '$1'"
    exit 2
    ;;
esac
say "mode=$1 address=$2 netmask=$3 gateway=$4 dns1=$5 dns2=$6 setup=$7"
exit 0
