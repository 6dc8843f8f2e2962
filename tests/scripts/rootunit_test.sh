#!/usr/bin/env bash
# The system scripts' two roles: run by an unprivileged user they only hand
# their arguments to their root unit; run by that unit ("--unit ARGS") they
# check the arguments again, as root, before any work.
#
#   rootunit_test.sh SCRIPT_DIR
# Needs root (it runs the scripts as root and, through setpriv, as nobody);
# exits 77 otherwise. It never starts a unit of this machine: the
# unprivileged runs below are all refused before systemctl.
set -euo pipefail
DIR=$1
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
WORK=$(mktemp -d /tmp/rootunit-test.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# run OUT SCRIPT ARGS...: runs as root, status in $status, output in $OUT.
run() {
  local out=$1
  shift
  status=0
  TESSAL_RUNTIME_DIR=$WORK/run "$@" >"$out" 2>&1 </dev/null || status=$?
}
# As nobody, reaching the scripts even in a clone below a directory closed to
# others.
as_nobody() { "$(dirname "$0")/../tessalview/as-user.sh" nobody:nogroup "$DIR" -- "$@"; }
mkdir -p "$WORK/run"

# 1. Root side: the instance text is split into the script's arguments.
run "$WORK/ok" "$DIR/netcfg.sh" --unit "static 192.168.1.20 255.255.255.0 192.168.1.1 8.8.8.8 0.0.0.0 tessal"
[ $status -eq 0 ] && grep -q 'mode=static address=192.168.1.20 netmask=255.255.255.0' "$WORK/ok" ||
  fail "netcfg.sh --unit: status $status, $(cat "$WORK/ok")"
run "$WORK/ok" "$DIR/k3p.sh" --unit "delete 10.0.0.7"
[ $status -eq 0 ] && grep -q 'unregister device 10.0.0.7' "$WORK/ok" || fail "k3p.sh --unit delete: $(cat "$WORK/ok")"

# 2. Root side refusals: whatever a caller puts in the instance name.
for bad in "static;reboot" 'static $(id)' "static \`id\`" "-x 1" "../../etc/shadow" "a|b" "a>b" "" \
  "$(printf 'static\n1.2.3.4')" "$(head -c 300 /dev/zero | tr '\0' a)"; do
  run "$WORK/bad" "$DIR/k3p.sh" --unit "$bad"
  [ $status -eq 2 ] || fail "k3p.sh --unit '$bad': status $status"
  grep -q 'nothing done' "$WORK/bad" || fail "k3p.sh --unit '$bad' said: $(cat "$WORK/bad")"
  grep -q 'register device' "$WORK/bad" && fail "k3p.sh --unit '$bad' did its work"
done

# The drive's remount: the mode only, never a directory of the caller's
# (remounting / with noexec would stop the system). The directory here is
# no mount point, so a script that took it would still change nothing.
run "$WORK/bad" "$DIR/usbremount.sh" --unit "rw $WORK"
[ $status -eq 2 ] && grep -q 'the unit takes at most 1: nothing done' "$WORK/bad" ||
  fail "usbremount.sh --unit 'rw DIR': status $status, $(cat "$WORK/bad")"

# 3. Files for the SNMP scripts: regular files directly in the runtime
# directory only.
printf 'version=v3\nport=161\n' >"$WORK/run/snmp.cfg"
run "$WORK/ok" "$DIR/snmpcfg.sh" --unit "$WORK/run/snmp.cfg"
[ $status -eq 0 ] && grep -q 'configure SNMP agent' "$WORK/ok" || fail "snmpcfg.sh --unit (runtime file): $(cat "$WORK/ok")"
ln -s /etc/shadow "$WORK/run/link.cfg"
mkdir -p "$WORK/run/sub" && cp "$WORK/run/snmp.cfg" "$WORK/run/sub/snmp.cfg"
cp "$WORK/run/snmp.cfg" "$WORK/outside.cfg"
for bad in "$WORK/run/link.cfg" "$WORK/run/sub/snmp.cfg" "$WORK/outside.cfg" "$WORK/run/missing.cfg"; do
  for script in snmpcfg.sh snmptrap.sh; do
    run "$WORK/bad" "$DIR/$script" --unit "$bad"
    [ $status -eq 2 ] && grep -q 'nothing done' "$WORK/bad" || fail "$script --unit $bad: status $status, $(cat "$WORK/bad")"
  done
done

# 4. Unprivileged side: arguments that could not travel safely are refused
# before any unit is asked for.
for script in netcfg.sh k3p.sh modbuscfg.sh usbremount.sh snmpctl.sh; do
  status=0
  as_nobody "$DIR/$script" 'start;id' >"$WORK/bad" 2>&1 </dev/null || status=$?
  [ $status -eq 2 ] && grep -q "argument 'start;id' refused, nothing done" "$WORK/bad" ||
    fail "$script as nobody with 'start;id': status $status, $(cat "$WORK/bad")"
done
status=0
as_nobody "$DIR/k3p.sh" >"$WORK/bad" 2>&1 </dev/null || status=$?
[ $status -eq 2 ] && grep -q 'no arguments, nothing done' "$WORK/bad" || fail "k3p.sh as nobody without arguments: $(cat "$WORK/bad")"

[ $failures -eq 0 ] || exit 1
echo "rootunit: all checks passed"
