# rootunit-common.sh - sourced (never run) by the system scripts that change
# the system: usbremount.sh, netcfg.sh, snmpctl.sh, snmpcfg.sh, snmptrap.sh,
# modbuscfg.sh and k3p.sh.
#
# The packaged kiosk runs as its own unprivileged user. When such a user
# runs one of these scripts, the script does no work itself: it asks systemd
# to start the script's root unit, tessal-<name>@<arguments>.service, and
# waits for it (a oneshot: systemctl returns when the script has run). The
# system's polkit rule lets the kiosk's user start these units and no other;
# the unit runs the same script as root with "--unit <arguments>", and the
# script checks its arguments there before it does anything. So the kiosk
# never gets a root shell, only named actions with checked arguments.
#
# Run as root (a source install, the tests, a person), the scripts work as
# before.
#
# Each script begins with
#   ROOTUNIT=<name>
#   . "${here%/*}/rootunit-common.sh" || exit 1
# and this file, run in the script's own shell, does the hand-over (not
# root) or replaces "--unit <arguments>" by the checked arguments (root).
# ROOTUNIT_MAX_ARGS limits how many arguments the unit takes;
# ROOTUNIT_FILE=yes makes the first one a file of the runtime directory.

# The only characters an argument may hold: addresses, words, numbers and the
# runtime directory's file names. Arguments travel joined by blanks in the
# unit's instance name, so none may hold a blank itself.
unit_argument_ok() {
    case $1 in
    '' | *[!A-Za-z0-9._:/@+=,-]* | -* | *..*) return 1 ;;
    esac
    return 0
}

# unit_arguments_ok TEXT: the root side's check of the instance text before
# it is split into arguments.
unit_arguments_ok() {
    [ -n "$1" ] || { rootunit_log "no arguments, nothing done"; return 1; }
    [ ${#1} -le 200 ] || { rootunit_log "arguments too long (${#1} characters), nothing done"; return 1; }
    # Words joined by single blanks, nothing else (no tab, no line feed).
    case $1 in
    *[!A-Za-z0-9._:/@+=,\ -]* | ' '* | *' ' | *'  '*)
        rootunit_log "arguments '$1' refused, nothing done"
        return 1
        ;;
    esac
    for word in $1; do
        unit_argument_ok "$word" || { rootunit_log "argument '$word' refused, nothing done"; return 1; }
    done
}

rootunit_log() {
    logger -t "${TAG:-${name:-${0##*/}}}" -- "$*" 2>/dev/null
    echo "${TAG:-${name:-${0##*/}}}: $*" >&2
}

# hand_to_unit NAME ARG...: starts tessal-NAME@<ARG...>.service, waits for it
# and exits with its outcome (0 when the script succeeded as root).
hand_to_unit() {
    unit_name=$1
    shift
    [ $# -gt 0 ] || { rootunit_log "no arguments, nothing done"; exit 2; }
    for arg in "$@"; do
        unit_argument_ok "$arg" || { rootunit_log "argument '$arg' refused, nothing done"; exit 2; }
    done
    if [ ! -d /run/systemd/system ] || ! command -v systemd-escape >/dev/null 2>&1; then
        rootunit_log "not root and no systemd to start tessal-$unit_name@.service: nothing done"
        exit 1
    fi
    instance=$(systemd-escape -- "$*") || exit 1
    # The kiosk waits 30 s at most; the unit's own limit is below that.
    if systemctl start --quiet -- "tessal-$unit_name@$instance.service"; then
        exit 0
    fi
    rootunit_log "tessal-$unit_name@$instance.service failed (see its journal)"
    exit 1
}

# unit_runtime_file_ok PATH: a file handed to a root unit must be a regular
# file (not a link) directly in the kiosk's runtime directory, which only the
# kiosk's user can write.
unit_runtime_file_ok() {
    case $1 in
    "${TESSAL_RUNTIME_DIR:-/run/tessalview}"/*) ;;
    *) rootunit_log "'$1' is not in ${TESSAL_RUNTIME_DIR:-/run/tessalview}, nothing done"; return 1 ;;
    esac
    case ${1#"${TESSAL_RUNTIME_DIR:-/run/tessalview}"/} in
    */*) rootunit_log "'$1' is not directly in ${TESSAL_RUNTIME_DIR:-/run/tessalview}, nothing done"; return 1 ;;
    esac
    if [ -L "$1" ] || [ ! -f "$1" ]; then
        rootunit_log "'$1' is not a regular file, nothing done"
        return 1
    fi
}

# The hand-over, in the sourcing script's shell: its arguments are ours.
if [ -n "${ROOTUNIT:-}" ]; then
    case ${1:-} in
    --unit)
        unit_arguments_ok "${2:-}" || exit 2
        set -f
        # shellcheck disable=SC2086 # the checked words, split on purpose
        set -- $2
        set +f
        if [ -n "${ROOTUNIT_MAX_ARGS:-}" ] && [ $# -gt "$ROOTUNIT_MAX_ARGS" ]; then
            rootunit_log "$# arguments, the unit takes at most $ROOTUNIT_MAX_ARGS: nothing done"
            exit 2
        fi
        if [ "${ROOTUNIT_FILE:-}" = yes ]; then
            unit_runtime_file_ok "$1" || exit 2
        fi
        ;;
    *)
        [ "$(id -u)" -eq 0 ] || hand_to_unit "$ROOTUNIT" "$@"
        ;;
    esac
fi
