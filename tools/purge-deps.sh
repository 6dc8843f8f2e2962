#!/usr/bin/env bash
# Takes this machine back towards a new one: purges the packages that
# tools/install-deps.sh names, and those that any earlier run of it
# installed (its record, /var/lib/tessal-dev/install-deps.installed), so that
# the next run of the README's commands has to install again every one it
# still names. CI runs it first: a package the project uses but
# install-deps.sh no longer names then fails CI, however many earlier runs
# left it installed.
#
#   tools/purge-deps.sh [--dry-run]
#
# Kept, each named with its reason:
#   - what a minimal Debian has anyway (Priority required or important);
#   - a package that this machine's own software needs: one whose purge
#     would take with it an installed package that is neither in the list
#     nor installed only as a dependency (its owner installed it by hand).
# Then what only our packages had pulled in goes too (autoremove), and the
# kernel forgets qemu's ARM entry, as on a machine that never had it.
# apt's downloaded files stay, so the reinstall reads them from disk, and
# so do the build roots in /var/cache/tessal-buildroots. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
DRY=0
[ "${1:-}" = --dry-run ] && DRY=1
[ "$(id -u)" -eq 0 ] || {
  echo "purge-deps: needs root" >&2
  exit 1
}
export DEBIAN_FRONTEND=noninteractive

RECORD=/var/lib/tessal-dev/install-deps.installed
mapfile -t LIST < <({
  bash tools/install-deps.sh --list
  cat "$RECORD" 2>/dev/null
} | awk '!seen[$0]++')
declare -A OURS=()
for p in "${LIST[@]}"; do OURS[$p]=1; done
declare -A AUTO=()
while read -r p; do AUTO[${p%%:*}]=1; done < <(apt-mark showauto)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

purged=()
kept=()
for p in "${LIST[@]}"; do
  installed "$p" || continue
  prio=$(dpkg-query -W -f='${Priority}' "$p")
  case $prio in required | important)
    kept+=("$p (priority $prio: a minimal Debian has it)")
    continue
    ;;
  esac
  foreign=()
  for r in $(apt-get -s purge "$p" 2>/dev/null | awk '/^(Purg|Remv) /{print $2}'); do
    r=${r%%:*}
    [ -n "${OURS[$r]:-}" ] || [ -n "${AUTO[$r]:-}" ] || foreign+=("$r")
  done
  if [ ${#foreign[@]} -gt 0 ]; then
    kept+=("$p (this machine's ${foreign[*]} needs it)")
    continue
  fi
  purged+=("$p")
  [ $DRY -eq 1 ] || apt-get purge -y -qq "$p" >/dev/null 2>&1 || kept+=("$p (apt-get purge failed)")
done
if [ $DRY -eq 0 ]; then
  apt-get autoremove --purge -y -qq >/dev/null 2>&1 || true
  # The record keeps only what is still installed (kept above).
  if [ -f "$RECORD" ]; then
    while read -r p; do
      if installed "$p"; then echo "$p"; fi
    done <"$RECORD" | sort -u >"$RECORD.new"
    mv "$RECORD.new" "$RECORD"
  fi
  # With qemu-user-static gone, the kernel may still hold its entry (the
  # F flag keeps the interpreter open): a new machine has none.
  if [ -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
    echo -1 >/proc/sys/fs/binfmt_misc/qemu-arm 2>/dev/null || true
  fi
fi
echo "purge-deps: purged ${#purged[@]} of the ${#LIST[@]} packages install-deps.sh names or installed: ${purged[*]}"
for k in "${kept[@]}"; do echo "purge-deps: kept $k"; done
