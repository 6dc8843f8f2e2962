#!/bin/sh
# mbserverupdate-old.sh DOCUMENT
#
# The update road before plinthctl, kept as the baseline of
# bench/unit_latency.py: mbserverupdate.sh as it was, with the helpers it
# sourced from mbserver-common.sh copied in, so it runs on its own from
# here. Every call costs a shell plus timeout, dbus-send, grep, head and sed
# (and dirname and readlink for finding the helpers).

TAG=mbserverupdate.sh

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

# The original looked for its helpers beside its real file; the same two
# processes are spent here so the baseline costs what it cost.
here=$(dirname "$(readlink -f "$0")") || exit 1

[ $# -eq 1 ] || fail "usage: $TAG DOCUMENT"

reply=$(timeout "$((CALL_TIMEOUT + 1))" dbus-send --system --print-reply=literal \
    --reply-timeout="$((CALL_TIMEOUT * 1000))" --dest="$BUSNAME" "$OBJPATH" \
    "$IFACE.cmd" "string:$1" 2>&1)
status=$?

case $reply in
*org.freedesktop.DBus.Error.ServiceUnknown* | *org.freedesktop.DBus.Error.NameHasNoOwner*)
    note=${MBSERVER_STATE_DIR:-/tmp}/.mbserverupdate-nodaemon
    if [ -z "$(find "$note" -mmin -1 2>/dev/null)" ]; then
        log_error "plinthd is not running, update dropped"
        touch "$note" 2>/dev/null
    fi
    exit 1
    ;;
esac

[ "$status" -eq 0 ] || fail "update not delivered (status $status): $(printf '%s' "$reply" | tr '\n' ' ')"
err=$(printf '%s\n' "$reply" | grep -o '"err":[[:space:]]*-\{0,1\}[0-9][0-9]*' | head -n 1 | sed 's/^"err":[[:space:]]*//')
[ "$err" = 0 ] || fail "update refused: $(printf '%s' "$reply" | tr '\n' ' ')"
exit 0
