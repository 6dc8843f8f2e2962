# mbserver-common.sh: sourced by mbserverstart.sh and mbserverstop.sh (". "),
# never run. The caller sets TAG to its own name first.
#
# log_error TEXT   writes TEXT to the system log (tag $TAG, user.err) and to
#                  standard error
# fail TEXT        log_error TEXT, then exit 1
# find_plinthctl   sets PLINTHCTL, unless the environment already does, to
#                  the plinthctl beside the calling script's real file, else
#                  the one on PATH; fails when there is none
#
# mbserverupdate.sh finds plinthctl by the same rule but keeps its own
# copy of it: it runs for every frame, and is run from wherever it was
# copied to, so it does without an include.

log_error() {
    logger -t "$TAG" -p user.err -- "$1" 2>/dev/null
    printf '%s: %s\n' "$TAG" "$1" >&2
}

fail() {
    log_error "$1"
    exit 1
}

find_plinthctl() {
    [ -n "${PLINTHCTL:-}" ] && return 0
    self=$0
    [ -L "$self" ] && self=$(readlink -f -- "$self")
    PLINTHCTL=${self%/*}/plinthctl
    [ -x "$PLINTHCTL" ] || PLINTHCTL=$(command -v plinthctl) || fail "plinthctl not found"
}
