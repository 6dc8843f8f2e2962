#!/bin/sh
# mbserver-common.sh
#
# Shared by mbserverstart.sh, mbserverstop.sh and mbserverupdate.sh, which
# source it from their own directory after setting TAG (the name used in log
# lines). Not meant to be run by itself.

BUSNAME=vox.tessal.plinthd
OBJPATH=/vox/tessal
IFACE=vox.tessal.modbusserver
CALL_TIMEOUT=3

log_error() {
    logger -t "$TAG" -p user.err -- "$1" 2>/dev/null
    printf '%s: %s\n' "$TAG" "$1" >&2
}

fail() {
    log_error "$1"
    exit 1
}

# Prints "true" or "false"; fails when the bus cannot be reached.
name_has_owner() {
    timeout "$CALL_TIMEOUT" dbus-send --system --print-reply=literal \
        --reply-timeout=2000 --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:"$BUSNAME" 2>/dev/null |
        sed -n 's/^[[:space:]]*boolean[[:space:]]*//p'
}

# Calls cmd with one JSON text (passed as one argument, never re-parsed by the
# shell) and prints the daemon's reply text.
call_cmd() {
    timeout "$((CALL_TIMEOUT + 1))" dbus-send --system --print-reply=literal \
        --reply-timeout="$((CALL_TIMEOUT * 1000))" --dest="$BUSNAME" "$OBJPATH" \
        "$IFACE.cmd" "string:$1" 2>&1
}

# The "err" member of a reply (the first one: a later "err" can only be
# inside the "info" text); empty when the reply is not one.
reply_err() {
    printf '%s\n' "$1" | grep -o '"err":[[:space:]]*-\{0,1\}[0-9][0-9]*' | head -n 1 | sed 's/^"err":[[:space:]]*//'
}
