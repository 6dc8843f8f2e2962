#!/usr/bin/env bash
# The corpus replays count every input they hold, and refuse to pass when
# they ran nothing or could not read something.
#
#   replay_check.sh TUP_REPLAY PLINTHD_REPLAY FUZZ_SOURCE_DIR
set -uo pipefail
TUP=$1
PLINTHD=$2
FUZZ=$3
WORK=$(mktemp -d /tmp/replay-check.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
failed=0
passed=0
check() { # description, then the condition
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    echo "FAIL: $what"
    failed=$((failed + 1))
  fi
}
count() { find "$1" -mindepth 1 -maxdepth 1 ! -name '.*' | wc -l; }
mkdir "$WORK/empty" "$WORK/dangling"
ln -s "$WORK/nowhere" "$WORK/dangling/input"

# Every file is replayed: the printed count is the number of files.
out=$("$TUP" "$FUZZ/corpus" "$FUZZ/regressions")
check "tup replay of corpus and regressions" [ $? -eq 0 ]
want=$(($(count "$FUZZ/corpus") + $(count "$FUZZ/regressions")))
check "tup replay counts $want inputs (said: $out)" [ "$out" = "replayed $want inputs" ]
out=$("$PLINTHD" "$FUZZ/plinthd_corpus/cmd" "$FUZZ/plinthd_corpus/query")
check "plinthd replay of both corpora" [ $? -eq 0 ]
out=$(tail -n1 <<<"$out") # the daemon's code logs to stdout too
want="replayed $(count "$FUZZ/plinthd_corpus/cmd") command and $(count "$FUZZ/plinthd_corpus/query") query inputs"
check "plinthd replay counts every input (said: $out, want: $want)" [ "$out" = "$want" ]

# Nothing replayed, or something unreadable, is a failure.
err=$("$TUP" "$WORK/empty" 2>&1 >/dev/null)
check "tup replay of an empty directory fails" [ $? -ne 0 ]
check "tup replay says the directory is empty" grep -q "no input in '$WORK/empty'" <<<"$err"
"$TUP" "$FUZZ/corpus" "$WORK/empty" >/dev/null 2>&1
check "tup replay fails when one of its directories is empty" [ $? -ne 0 ]
"$TUP" "$WORK/missing" >/dev/null 2>&1
check "tup replay of a missing path fails" [ $? -ne 0 ]
err=$("$TUP" "$WORK/dangling" 2>&1 >/dev/null)
check "tup replay of an unreadable input fails" [ $? -ne 0 ]
check "tup replay names the unreadable input" grep -q "cannot open '$WORK/dangling/input'" <<<"$err"
"$PLINTHD" "$WORK/empty" "$FUZZ/plinthd_corpus/query" >/dev/null 2>&1
check "plinthd replay with an empty command directory fails" [ $? -ne 0 ]
"$PLINTHD" "$FUZZ/plinthd_corpus/cmd" "$WORK/empty" >/dev/null 2>&1
check "plinthd replay with an empty query directory fails" [ $? -ne 0 ]
err=$("$PLINTHD" "$FUZZ/plinthd_corpus/cmd" "$WORK/dangling" 2>&1 >/dev/null)
check "plinthd replay of an unreadable input fails" [ $? -ne 0 ]
check "plinthd replay names the unreadable input" grep -q "cannot read '$WORK/dangling/input'" <<<"$err"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
