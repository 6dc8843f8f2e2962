#!/usr/bin/env bash
# tools/mutants.sh reports a mutant as caught only by its own fault. Two
# mutants in a row, in two files of one program: the first breaks the
# quantity check of function 23, which plinthd_requesthandler_test
# catches; the second only adds a comment to another file of the same
# program, and is tried against the same test. The second must come out
# MISSED: were the first file's restore not seen by the build, the second's
# program would still hold the first fault and it would be "caught".
#
#   mutants_selftest.sh SOURCE_DIR WORK_DIR
#
# Skipped (77) where SOURCE_DIR is no git checkout (the script works on a
# worktree of it).
set -uo pipefail
SRC=$1
WORK=$2
git -C "$SRC" rev-parse --git-dir >/dev/null 2>&1 || {
  echo "mutants self-check skipped: $SRC is not a git checkout"
  exit 77
}
rm -rf "$WORK"
mkdir -p "$WORK"
LIST=$WORK/mutants.list
cat >"$LIST" <<'LIST'
# The first is caught; the second changes nothing its test can see.
selfcheck-caught | src/plinthd/requesthandler.cpp | s#MB_MAX_WR_WRITE_REGISTERS = 121;#MB_MAX_WR_WRITE_REGISTERS = 127;# | ^plinthd_requesthandler_test$
selfcheck-harmless | src/plinthd/registerblock.cpp | 1s#^#// a comment, nothing else\n# | ^plinthd_requesthandler_test$
LIST
MUTANTS_DIR=$WORK/scratch bash "$SRC/tools/mutants.sh" --list "$LIST" >"$WORK/out.txt" 2>&1
status=$?
cat "$WORK/out.txt"
fail=0
grep -qE '^selfcheck-caught +caught +by plinthd_requesthandler_test' "$WORK/out.txt" || {
  echo "FAIL: the first mutant was not reported caught by plinthd_requesthandler_test"
  fail=1
}
grep -qE '^selfcheck-harmless +MISSED' "$WORK/out.txt" || {
  echo "FAIL: the second mutant was not reported MISSED: its build held the first one's fault"
  fail=1
}
[ $status -ne 0 ] || {
  echo "FAIL: a missed mutant must make the script exit non-zero"
  fail=1
}
[ $fail -eq 0 ] && echo "mutants self-check passed"
exit $fail
