#!/usr/bin/env bash
# The daemon, its command-line tool and the TUP tools run on units and hosts
# that have no Qt: none of them may need a Qt library, whichever Qt the kiosk
# of the same build uses.
#
#   programs_without_qt.sh PROGRAM...
set -uo pipefail
failures=0
for prog in "$@"; do
  # readelf reads the ELF of any architecture (the armhf build's too).
  if ! needed=$(readelf -d "$prog" 2>&1); then
    echo "FAIL: $prog: readelf: $needed"
    failures=$((failures + 1))
    continue
  fi
  libs=$(printf '%s\n' "$needed" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  if [ -z "$libs" ]; then
    echo "FAIL: $prog: no NEEDED entry read (not a dynamic ELF program?)"
    failures=$((failures + 1))
  elif qt=$(printf '%s\n' "$libs" | grep -i '^libqt'); then
    echo "FAIL: $(basename "$prog") needs $(echo $qt)"
    failures=$((failures + 1))
  else
    echo "ok: $(basename "$prog") needs $(echo $libs)"
  fi
done
exit $((failures > 0))
