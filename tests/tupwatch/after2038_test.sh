#!/usr/bin/env bash
# The frame tools on a clock past January 2038 (where a signed 32-bit
# time_t ends): tupsend's header timestamp and tupwatch's receive time must
# show the real date. The clock is moved for the tools alone by a preloaded
# library (tests/common/clockshift).
#
#   after2038_test.sh TUPSEND TUPWATCH CLOCKSHIFT_LIBRARY
set -euo pipefail
TUPSEND=$1
TUPWATCH=$2
SHIFT_LIB=$3
export TZ=UTC
start_s=$(date -u -d "2040-02-29 12:00:00" +%s)
preload="$SHIFT_LIB${LD_PRELOAD:+ $LD_PRELOAD}"

work=$(mktemp -d)
watcher=
cleanup() {
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

TESSAL_CLOCK_START=$start_s LD_PRELOAD=$preload \
  "$TUPWATCH" -a 127.0.0.1 -p 0 -n 1 -t 0 >"$work/out" 2>"$work/err" &
watcher=$!
port=
for _ in $(seq 1 400); do
  port=$(sed -n 's/^tupwatch: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/err")
  [ -n "$port" ] && break
  kill -0 "$watcher" 2>/dev/null || break
  sleep 0.05
done
[ -n "$port" ] || {
  echo "FAIL: tupwatch did not start listening"
  cat "$work/err"
  exit 1
}
TESSAL_CLOCK_START=$start_s LD_PRELOAD=$preload "$TUPSEND" -H 127.0.0.1 -p "$port" --gpio 1,0,0,0
wait "$watcher"
watcher=

stamp=$(grep -o '"timestamp":[0-9]*' "$work/out" | cut -d: -f2)
received=$(grep -o '"time":"[^"]*"' "$work/out" | cut -d'"' -f4)
echo "clock set to 2040-02-29 12:00:00 UTC ($start_s s since 1970)"
echo "tupsend's header timestamp: $stamp"
echo "tupwatch's receive time:    $received"
status=0
# Both processes start at the same moved moment; the clock then runs on.
if [ -z "$stamp" ] || [ "$stamp" -lt "$start_s" ] || [ "$stamp" -gt $((start_s + 60)) ]; then
  echo "FAIL: header timestamp is not the moved time ($start_s .. +60 s)"
  status=1
fi
case $received in
2040-02-29T12:00:* | 2040-02-29T12:01:*) ;;
*)
  echo "FAIL: tupwatch's receive time is not 2040-02-29T12:00"
  status=1
  ;;
esac
[ $status -eq 0 ] && echo "PASS"
exit $status
