#!/usr/bin/env bash
# The Debian packages installed on a booted Debian system.
#
#   tests/install/install_test.sh [--suite bookworm|trixie] [--debs DIR --upgrade-debs DIR]
#
# Builds a minimal root file system of the suite (default bookworm, Debian
# 12; trixie is Debian 13) with mmdebstrap from the package registry this
# machine uses (cached in the build tree), boots it
# with systemd-nspawn in its own network namespace, and with its real systemd
# and system bus checks:
#   - apt installs plinthd, tessalview and tup-tools;
#   - plinthd.service is active and owns vox.tessal.plinthd on the system
#     bus; root and a member of group plinthd may call cmd, another user is
#     refused (AccessDenied) but receives the daemon's signals;
#   - tessalview.service runs (offscreen: a drop-in made here, as the
#     container has no frame buffer) and its scripts initialised plinthd
#     from the sample map; tupwatch reads its packaged settings file;
#   - least privilege: the kiosk runs as tessalview with no capability and
#     NoNewPrivs, plinthd as plinthd with cap_net_bind_service alone, no
#     "sandbox is turned off" line, the units' systemd-analyze security
#     figures (plinthd at most 2.0, tessalview at most 4.0), the ini 0640
#     root:tessalview (also after the upgrade); the kiosk's user starts the
#     named root units and nothing else, another user none, and arguments
#     that could not travel safely are refused;
#   - an upgrade to a rebuilt package of a higher version keeps the site's
#     edited tessal-view.ini;
#   - purge leaves nothing behind that the packages created.
#
# Without --debs the packages are built here with tools/package.sh for the
# suite: the tree's version, and the same tree rebuilt as version
# <version>+1.
#
# Needs root, systemd-nspawn, mmdebstrap, qemu-user-static (the packages
# are built in a build root, which holds armhf) and the package registry.
# A tool that tools/install-deps.sh should have installed and did not is a
# failure ("install test (Debian 12) FAILED: qemu-user-static missing").
# When the machine itself cannot run it (not root, no containers, no
# registry), it prints one line saying why and exits 77, unless
# TESSAL_INSTALL_TEST=required (CI), where that is a failure too;
# TESSAL_INSTALL_TEST=off skips it with such a line.
#
#   --check     only the checks above: exit 0 when it can run, 77 or 1 as
#               described, with the line
#   --prepare   the checks, then what a later run reuses: the build root of
#               the suite and the cached root file system to boot; no
#               packages, no boot (tools/test.sh runs this beside its build)
#
# Environment: BUILD_DIR (build tree for the work files, default build),
# TESSAL_BUILDROOT_CACHE (where the root file system's tarball is kept,
# default /var/cache/tessal-buildroots), TESSAL_MIRROR (sources for the
# root file system, default: this machine's Debian sources).
set -euo pipefail
# A match in a pipeline: grep reads all of its input, so the writer is never
# cut off by SIGPIPE (which pipefail would report as a failed check).
has() { grep "$@" >/dev/null; }
HERE=$(cd "$(dirname "$0")" && pwd)
TOP=$(cd "$HERE/../.." && pwd)
BUILD=${BUILD_DIR:-build}
case $BUILD in /*) ;; *) BUILD=$TOP/$BUILD ;; esac
WORK=$BUILD/install-test
DEBS1=
DEBS2=
SUITE=bookworm
MODE=run
while [ $# -gt 0 ]; do
  case $1 in
  --suite) SUITE=$2; shift 2 ;;
  --debs) DEBS1=$(cd "$2" && pwd); shift 2 ;;
  --upgrade-debs) DEBS2=$(cd "$2" && pwd); shift 2 ;;
  --check) MODE=check; shift ;;
  --prepare) MODE=prepare; shift ;;
  *) echo "usage: $0 [--suite bookworm|trixie] [--check|--prepare] [--debs DIR --upgrade-debs DIR]" >&2; exit 2 ;;
  esac
done
case $SUITE in
bookworm) RELEASE="Debian 12" ;;
trixie) RELEASE="Debian 13" ;;
*) echo "unknown suite '$SUITE' (bookworm or trixie)" >&2; exit 2 ;;
esac
WORK=$WORK/$SUITE
if { [ -n "$DEBS1" ] && [ -z "$DEBS2" ]; } || { [ -z "$DEBS1" ] && [ -n "$DEBS2" ]; }; then
  echo "--debs and --upgrade-debs go together" >&2
  exit 2
fi

skip() {
  if [ "${TESSAL_INSTALL_TEST:-}" = required ]; then
    echo "install test ($RELEASE) FAILED: cannot run here: $*"
    exit 1
  fi
  echo "install test ($RELEASE) skipped: $*"
  exit 77
}
# A tool that tools/install-deps.sh installs: its absence is a fault of the
# set-up, never a skip.
missing() {
  echo "install test ($RELEASE) FAILED: $* (tools/install-deps.sh installs it)"
  exit 1
}

# --- can this machine run it? -------------------------------------------------
[ "${TESSAL_INSTALL_TEST:-}" = off ] && skip "turned off here (TESSAL_INSTALL_TEST=off)"
[ "$(id -u)" -eq 0 ] || skip "needs root (mmdebstrap, systemd-nspawn)"
for tool in systemd-nspawn:systemd-container nsenter:util-linux dpkg-buildpackage:dpkg-dev \
  losetup:util-linux mkfs.vfat:dosfstools; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || missing "${tool#*:} missing (no ${tool%%:*})"
done
why=$(bash "$TOP/tools/buildroot.sh" check) || missing "$why"
# Containers at all: the host's own /usr, read-only, under an empty tmpfs.
probe=tessal-probe-$$
if ! err=$(timeout 60 systemd-nspawn --register=no --keep-unit -q -D / --volatile=yes -M "$probe" \
  /bin/true 2>&1 </dev/null); then
  rm -rf "/run/systemd/nspawn/propagate/$probe"
  skip "systemd-nspawn cannot start a container here: $(printf '%s' "$err" | head -n 1)"
fi
rm -rf "/run/systemd/nspawn/propagate/$probe"
if [ -n "${TESSAL_MIRROR:-}" ]; then
  SOURCES=("deb $TESSAL_MIRROR $SUITE main")
elif [ "$SUITE" != bookworm ]; then
  # This machine's sources are Debian 12's: the other suite comes from the
  # same mirror.
  SOURCES=("deb $(bash "$TOP/tools/buildroot.sh" mirror) $SUITE main")
else
  SOURCES=()
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && grep -qs '^[^#]*bookworm' "$f" && SOURCES+=("$f")
  done
  [ ${#SOURCES[@]} -gt 0 ] || skip "no Debian 12 (bookworm) sources in /etc/apt"
fi
MIRROR_URL=$( (cat "${SOURCES[@]}" 2>/dev/null || printf '%s\n' "${SOURCES[@]}") | grep -o 'https\?://[^ ]*' | grep -v snapshot | head -n 1 || true)
[ -n "$MIRROR_URL" ] || MIRROR_URL=${TESSAL_MIRROR:-}
if ! timeout 15 /usr/bin/python3 -c 'import sys, urllib.request; urllib.request.urlopen(sys.argv[1].rstrip("/") + "/dists/" + sys.argv[2] + "/Release", timeout=10)' "$MIRROR_URL" "$SUITE" 2>/dev/null; then
  skip "package registry $MIRROR_URL not reachable"
fi
[ $MODE = check ] && exit 0

# --- the root file system to boot (cached) ------------------------------------
# Everything the packages need at run time is in the cached base, so the
# booted container needs no network and reruns do not download it again.
INCLUDE=systemd,systemd-sysv,dbus,passwd,procps,libmodbus5,libcjson1,libdbus-1-3
# The test's own tools in the container: the device's web server and a Modbus
# master (python3), a display and a finger for the download dialog (Xvfb,
# xdotool).
INCLUDE=$INCLUDE,python3,xvfb,xdotool
case $SUITE in
bookworm) INCLUDE=$INCLUDE,libqt5webkit5,libqt5widgets5,libqt5network5,libqt5gui5 ;;
trixie) INCLUDE=$INCLUDE,libqt6widgets6,libqt6network6,libqt6gui6 ;;
esac
KEY=$(printf '%s\n' "$INCLUDE" "$( (cat "${SOURCES[@]}" 2>/dev/null || printf '%s\n' "${SOURCES[@]}"))" | md5sum | cut -c1-12)
# Kept beside the build roots, outside the clone: a fresh clone (CI's) does
# not make it again.
BASE_CACHE=${TESSAL_BUILDROOT_CACHE:-/var/cache/tessal-buildroots}/install-test
BASE=$BASE_CACHE/$SUITE-base-$KEY.tar
# make_base: prints what it did; fails with mmdebstrap's last lines.
make_base() {
  local t0
  t0=$(date +%s)
  mkdir -p "$BASE_CACHE" "$WORK"
  exec 8>"$BASE_CACHE/.lock-$SUITE"
  flock 8
  if [ -s "$BASE" ]; then
    echo "cached $(basename "$BASE") ($(du -m "$BASE" | cut -f1) MB)"
  else
    rm -f "$BASE_CACHE"/"$SUITE"-base-*.tar
    mmdebstrap --variant=apt --format=tar --include="$INCLUDE" "$SUITE" "$BASE.part" "${SOURCES[@]}" \
      >"$WORK/mmdebstrap.log" 2>&1 || {
      tail -n 20 "$WORK/mmdebstrap.log"
      flock -u 8
      return 1
    }
    mv "$BASE.part" "$BASE"
    echo "built $(basename "$BASE") ($(du -m "$BASE" | cut -f1) MB) in $(($(date +%s) - t0)) s"
  fi
  flock -u 8
}
if [ $MODE = prepare ]; then
  t0=$(date +%s)
  bash "$TOP/tools/buildroot.sh" --suite "$SUITE" ensure >/dev/null
  make_base
  echo "install test ($RELEASE): build root and root file system ready in $(($(date +%s) - t0)) s"
  exit 0
fi

# --- the log -------------------------------------------------------------------
T0=$(date +%s)
TS=$T0
MACHINE=tessal-it-$$
ROOT=$WORK/root-$$
NSPAWN_PID=
LEADER=
step() {
  local now
  now=$(date +%s)
  printf '   (%d s)\n' "$((now - TS))"
  TS=$now
  printf '\n== %s\n' "$*"
}
ok() { printf '   ok: %s\n' "$*"; }
fail() {
  printf '   FAIL: %s\n' "$*"
  if [ -n "$LEADER" ]; then
    echo "   --- journal of the container (last 60 lines)"
    in_ct journalctl --no-pager -n 60 2>/dev/null | sed 's/^/   | /' || true
    echo "   --- the kiosk's journal (last 40 lines)"
    in_ct journalctl --no-pager -u tessalview.service -n 40 -o cat 2>/dev/null | sed 's/^/   | /' || true
  fi
  exit 1
}
in_ct() {
  nsenter -t "$LEADER" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
cleanup() {
  set +e
  if [ -n "$NSPAWN_PID" ] && kill -0 "$NSPAWN_PID" 2>/dev/null; then
    [ -n "$LEADER" ] && in_ct systemctl poweroff >/dev/null 2>&1
    for _ in $(seq 1 30); do kill -0 "$NSPAWN_PID" 2>/dev/null || break; sleep 0.5; done
    kill -0 "$NSPAWN_PID" 2>/dev/null && kill -KILL "$NSPAWN_PID"
    wait "$NSPAWN_PID" 2>/dev/null
  fi
  [ -n "$LOOP" ] && losetup -d "$LOOP"
  rm -rf "$ROOT" "/run/systemd/nspawn/propagate/$MACHINE"
}
LOOP=
trap cleanup EXIT
mkdir -p "$WORK"
printf '== install test of the %s packages (container %s)\n' "$RELEASE" "$MACHINE"

# --- packages ------------------------------------------------------------------
step "packages"
if [ -z "$DEBS1" ]; then
  base_version=$(dpkg-parsechangelog -l "$TOP/debian/changelog" -S Version)
  DEBS1=$WORK/debs-1
  DEBS2=$WORK/debs-2
  PACKAGE_OUT=$DEBS1 "$TOP/tools/package.sh" --suite "$SUITE" amd64 | sed 's/^/   /'
  PACKAGE_OUT=$DEBS2 PACKAGE_VERSION="$base_version+1" "$TOP/tools/package.sh" --suite "$SUITE" amd64 | sed 's/^/   /'
fi
v1=$(dpkg-deb -f "$(ls "$DEBS1"/plinthd_*.deb)" Version)
v2=$(dpkg-deb -f "$(ls "$DEBS2"/plinthd_*.deb)" Version)
dpkg --compare-versions "$v2" gt "$v1" || fail "upgrade version $v2 is not above $v1"
ok "installing $v1, upgrading to $v2"

# --- root file system ------------------------------------------------------------
step "$RELEASE root file system"
made=$(make_base) || { printf '%s\n' "$made"; fail "mmdebstrap failed"; }
ok "$made"
rm -rf "$ROOT"
mkdir -p "$ROOT"
tar -C "$ROOT" -xf "$BASE"
mkdir -p "$ROOT/var/tmp/debs-1" "$ROOT/var/tmp/debs-2"
for p in plinthd tessalview tup-tools; do
  cp "$DEBS1/${p}_$v1"_*.deb "$ROOT/var/tmp/debs-1/"
  cp "$DEBS2/${p}_$v2"_*.deb "$ROOT/var/tmp/debs-2/"
done
# Anything still missing is fetched now, from the registry, while the
# container shares this machine's network; it boots without one.
systemd-nspawn -q --register=no --keep-unit -D "$ROOT" --setenv=DEBIAN_FRONTEND=noninteractive \
  sh -c 'apt-get update -qq && apt-get install -qq --download-only -y /var/tmp/debs-1/*.deb' \
  >"$WORK/download.log" 2>&1 || { tail -n 20 "$WORK/download.log"; fail "apt could not resolve the packages"; }
ok "unpacked in $ROOT"

# --- boot ---------------------------------------------------------------------
step "boot with systemd-nspawn --boot"
systemd-nspawn --register=no --keep-unit --private-network -M "$MACHINE" -D "$ROOT" \
  --console=read-only --boot >"$WORK/boot.log" 2>&1 </dev/null &
NSPAWN_PID=$!
for _ in $(seq 1 100); do
  for child in $(pgrep -P "$NSPAWN_PID" 2>/dev/null); do
    [ "$(cat "/proc/$child/comm" 2>/dev/null)" = systemd ] && LEADER=$child
  done
  [ -n "$LEADER" ] && break
  kill -0 "$NSPAWN_PID" 2>/dev/null || { tail -n 20 "$WORK/boot.log"; fail "systemd-nspawn ended"; }
  sleep 0.2
done
[ -n "$LEADER" ] || fail "no systemd in the container"
# Until its manager listens, systemctl cannot even ask it.
state=
for _ in $(seq 1 240); do
  state=$(in_ct timeout 120 systemctl is-system-running --wait 2>/dev/null || true)
  case $state in running | degraded | maintenance | stopping) break ;; esac
  sleep 0.5
done
case $state in
running) ok "systemd $state (PID $LEADER on this machine)" ;;
degraded) ok "systemd degraded; failed units: $(in_ct systemctl --failed --no-legend --plain | awk '{print $1}' | tr '\n' ' ')" ;;
*) fail "systemd state '$state'" ;;
esac
# The snapshot that purge must come back to.
# The private /tmp directories of the system's own services (polkit, which
# the kiosk's rules start on demand, and systemd's) come and go with those
# services: they are not files of ours. Our units' would count.
snapshot() {
  in_ct sh -c 'find /etc /usr /opt /srv /var /run /tmp -xdev \
      \( -path /var/log -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache/apt \
         -o -path /var/cache/debconf -o -path /var/cache/ldconfig -o -path /run/systemd \
         -o -path /run/user -o -path /run/log -o -path /run/agetty.reload -o -path /var/tmp/debs-1 -o -path /var/tmp/debs-2 \) -prune \
      -o -print 2>/dev/null | grep -v "^/etc/.*-$" |
    grep -v -E "^/(var/)?tmp/systemd-private-[0-9a-f]+-(polkit|systemd-[a-z-]+)\.service-" | sort'
}
# What the packages depend on (and recommend) is the system's, not ours:
# it goes in first, from the packages downloaded above, so that purge is
# compared with a system that already had it.
deps=$(in_ct sh -c 'apt-get install -s /var/tmp/debs-1/*.deb' 2>/dev/null | awk '/^Inst /{print $2}' |
  grep -v -x -E 'plinthd|tessalview|tup-tools' | tr '\n' ' ' || true)
if [ -n "$deps" ]; then
  in_ct sh -c "apt-get install -y $deps" >"$WORK/deps.log" 2>&1 ||
    { tail -n 30 "$WORK/deps.log"; fail "the packages' dependencies could not be installed"; }
  ok "their dependencies installed first: $(printf '%s' "$deps" | wc -w) packages"
fi
snapshot >"$WORK/before.txt"
in_ct md5sum /etc/passwd /etc/group /etc/shadow /etc/gshadow >"$WORK/accounts-before.txt"

# --- install ------------------------------------------------------------------
step "apt install plinthd tessalview tup-tools ($v1)"
# The container has no frame buffer: the kiosk draws on an X server of this
# test (a drop-in; the shipped unit keeps linuxfb), where a download dialog
# can be answered. The kiosk reaches it through its abstract socket, which
# the container's network namespace shares with the kiosk's private /tmp.
in_ct systemd-run --quiet --unit=test-display Xvfb :99 -screen 0 800x480x24 -nolisten tcp
mkdir -p "$ROOT/etc/systemd/system/tessalview.service.d"
printf '[Service]\nEnvironment=QT_QPA_PLATFORM=xcb DISPLAY=:99\n' \
  >"$ROOT/etc/systemd/system/tessalview.service.d/display.conf"
in_ct systemctl daemon-reload
in_ct sh -c 'apt-get install -y /var/tmp/debs-1/*.deb' >"$WORK/install.log" 2>&1 ||
  { tail -n 30 "$WORK/install.log"; fail "apt-get install failed"; }
grep -E '^(Setting up|Created symlink)' "$WORK/install.log" | sed 's/^/   | /'
for p in plinthd tessalview tup-tools; do
  [ "$(in_ct dpkg-query -W -f='${Status} ${Version}' "$p")" = "install ok installed $v1" ] ||
    fail "$p $v1 not installed"
done
ok "dpkg: plinthd, tessalview, tup-tools $v1 installed"

# --- services and bus -------------------------------------------------------
step "services on the system bus"
wait_active() {
  for _ in $(seq 1 60); do
    [ "$(in_ct systemctl is-active "$1")" = active ] && return 0
    sleep 0.5
  done
  return 1
}
wait_active plinthd.service || fail "plinthd.service: $(in_ct systemctl is-active plinthd.service)"
wait_active tessalview.service || fail "tessalview.service: $(in_ct systemctl is-active tessalview.service)"
ok "plinthd.service active, tessalview.service active"
dbus() { in_ct runuser -u "$1" -- dbus-send --system --print-reply --reply-timeout=5000 "${@:2}"; }
# The reply or the error, whichever comes; the caller judges it.
call_cmd() {
  dbus "$1" --dest=vox.tessal.plinthd /vox/tessal vox.tessal.modbusserver.cmd "string:$2" 2>&1 || true
}
# At its start the kiosk's scripts stop the daemon and start it again with
# its init document: the checks below wait for that.
step "the kiosk initialised plinthd through its scripts"
init_doc=/run/tessalview/mbserver_init.dbus
status=
for _ in $(seq 1 60); do
  status=$(call_cmd root '{"cmd":"getstatus"}')
  printf '%s' "$status" | has '"procstate":[[:space:]]*2' && break
  sleep 0.5
done
printf '%s\n' "$status" | sed -n 's/^ *string /   getstatus: /p'
printf '%s' "$status" | has '"procstate":[[:space:]]*2' || fail "plinthd not initialised (procstate 2)"
in_ct test -s "$init_doc" || fail "no $init_doc"
[ "$(in_ct stat -c '%U %a' /run/tessalview)" = "tessalview 700" ] ||
  fail "/run/tessalview is $(in_ct stat -c '%U %a' /run/tessalview)"
in_ct test ! -e /tmp/etc || fail "the kiosk wrote to /tmp/etc"
in_ct test ! -e /tmp/tessal-view-cache || fail "the kiosk wrote to /tmp/tessal-view-cache"
# The sample map's three tables, as the kiosk wrote them into the init
# document and as the daemon opened them.
tables=$(in_ct cat "$init_doc" | tr -d ' \n' | grep -o '"address":[0-9]*,"length":[0-9]*' | tr '\n' ' ')
[ "$tables" = '"address":0,"length":7 "address":100,"length":9 "address":200,"length":4 ' ] ||
  fail "init document tables: $tables"
# Each of the three, whichever init opened it (the kiosk's start may init the
# daemon more than once), and no other table.
opened=$(in_ct journalctl --no-pager -u plinthd.service -o cat |
  grep -o -E 'New table: addr=[0-9]+, len=[0-9]+$' | sort -u | tr '\n' ';' || true)
[ "$opened" = 'New table: addr=0, len=7;New table: addr=100, len=9;New table: addr=200, len=4;' ] ||
  fail "plinthd did not open the map's three tables, it opened: $opened"
config=$(call_cmd root '{"cmd":"getconfig","zones":[{"address":0,"length":7,"mode":"r"},{"address":100,"length":9,"mode":"r"},{"address":200,"length":4,"mode":"r"}]}')
printf '%s' "$config" | has '"err":0' || fail "the map's tables are not served: $config"
ok "procstate 2 (Init); the map's tables 0+7, 100+9, 200+4 in $init_doc (the kiosk's own /run/tessalview), opened and served"
owner_pid=$(dbus root --dest=org.freedesktop.DBus /org/freedesktop/DBus \
  org.freedesktop.DBus.GetConnectionUnixProcessID string:vox.tessal.plinthd | awk '/uint32/ {print $2}' || true)
wait_active plinthd.service || fail "plinthd.service not active after the kiosk's start"
main_pid=$(in_ct systemctl show -p MainPID --value plinthd.service)
[ -n "$owner_pid" ] && [ "$owner_pid" = "$main_pid" ] ||
  fail "vox.tessal.plinthd owned by PID '$owner_pid', plinthd.service's MainPID is $main_pid"
ok "vox.tessal.plinthd owned by plinthd.service (PID $main_pid)"

in_ct journalctl --no-pager -u tessalview.service -o cat | grep -E "Settings file|mbserver|Script" | head -5 | sed 's/^/   | /' || true
in_ct journalctl --no-pager -u tessalview.service -o cat | has "does not exist, using default values" &&
  fail "the kiosk did not find /etc/tessal/tessal-view.ini"
ok "the kiosk read /etc/tessal/tessal-view.ini"

step "least privilege: users, capabilities, sandbox, hardening"
# status_of SERVICE FIELD: a field of /proc/<MainPID>/status.
status_of() {
  local pid
  pid=$(in_ct systemctl show -p MainPID --value "$1")
  in_ct awk -v f="$2:" '$1 == f { $1 = ""; sub(/^ /, ""); print }' "/proc/$pid/status"
}
kiosk_pid=$(in_ct systemctl show -p MainPID --value tessalview.service)
[ "$(in_ct ps -o user= -p "$kiosk_pid")" = tessalview ] ||
  fail "the kiosk runs as $(in_ct ps -o user= -p "$kiosk_pid")"
[ "$(status_of tessalview.service CapEff)" = 0000000000000000 ] ||
  fail "the kiosk's CapEff is $(status_of tessalview.service CapEff)"
[ "$(status_of tessalview.service NoNewPrivs)" = 1 ] || fail "the kiosk may gain privileges"
groups=$(in_ct id -nG tessalview)
for g in video input plinthd; do
  printf ' %s ' "$groups" | has " $g " || fail "tessalview is not in group $g: $groups"
done
ok "kiosk: user tessalview (groups $groups), CapEff 0, NoNewPrivs 1"
[ "$(in_ct ps -o user= -p "$main_pid")" = plinthd ] || fail "plinthd runs as $(in_ct ps -o user= -p "$main_pid")"
# CAP_NET_BIND_SERVICE is capability 10.
[ "$(status_of plinthd.service CapEff)" = 0000000000000400 ] ||
  fail "plinthd's CapEff is $(status_of plinthd.service CapEff), not cap_net_bind_service alone"
[ "$(status_of plinthd.service CapBnd)" = 0000000000000400 ] ||
  fail "plinthd's bounding set is $(status_of plinthd.service CapBnd)"
ok "plinthd: user plinthd, CapEff and CapBnd cap_net_bind_service only"
in_ct journalctl --no-pager -u tessalview.service -o cat | has "sandbox is turned off" &&
  fail "the journal says the web engine's sandbox is turned off"
ok "no 'sandbox is turned off' line in the journal"
# exposure SERVICE: the figure of systemd-analyze security.
exposure() {
  in_ct systemd-analyze security --no-pager "$1" 2>/dev/null |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p'
}
e_plinthd=$(exposure plinthd.service)
e_kiosk=$(exposure tessalview.service)
awk -v e="$e_plinthd" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "plinthd.service exposure '$e_plinthd' (at most 2.0)"
awk -v e="$e_kiosk" 'BEGIN { exit !(e != "" && e <= 4.0) }' || fail "tessalview.service exposure '$e_kiosk' (at most 4.0)"
ok "systemd-analyze security: plinthd.service $e_plinthd (at most 2.0), tessalview.service $e_kiosk (at most 4.0)"
ini_mode=$(in_ct stat -c '%a %U:%G' /etc/tessal/tessal-view.ini)
[ "$ini_mode" = "640 root:tessalview" ] || fail "tessal-view.ini is $ini_mode, not 640 root:tessalview"
ok "tessal-view.ini: $ini_mode"

step "privileged actions: named root units, started by the kiosk's user only"
# The kiosk's user runs a system script; its root unit does the work.
in_ct journalctl --rotate >/dev/null 2>&1 || true
netcfg="static 192.168.1.20 255.255.255.0 192.168.1.1 8.8.8.8 0.0.0.0 tessal"
# shellcheck disable=SC2086 # the arguments, one word each
in_ct runuser -u tessalview -- /usr/libexec/tessalview/netcfg.sh $netcfg ||
  fail "netcfg.sh run by tessalview failed"
unit="tessal-netcfg@$(in_ct systemd-escape -- "$netcfg").service"
in_ct journalctl --no-pager -u "$unit" -o cat | has "mode=static address=192.168.1.20" ||
  fail "$unit did not run netcfg.sh as root: $(in_ct journalctl --no-pager -u "$unit" -o cat | tail -n 5)"
ok "tessalview: netcfg.sh ran as root by $unit"
reply=$(in_ct runuser -u tessalview -- /usr/libexec/tessalview/k3p.sh 'x;id' 2>&1) &&
  fail "k3p.sh accepted an argument with ';': $reply"
printf '%s' "$reply" | has "refused, nothing done" || fail "k3p.sh with 'x;id': $reply"
reply=$(in_ct runuser -u tessalview -- systemctl start 'tessal-k3p@x\x3bid.service' 2>&1 || true)
in_ct journalctl --no-pager -u 'tessal-k3p@x\x3bid.service' -o cat | has "refused, nothing done" ||
  fail "tessal-k3p@ ran with 'x;id': $reply $(in_ct journalctl --no-pager -u 'tessal-k3p@x\x3bid.service' -o cat | tail -n 3)"
ok "an argument with ';': refused by the script, and by the unit when started directly"
for what in "stop plinthd.service" "start systemd-journald.service" "restart tessalview.service" "start tessal-usbmount@sda1.service"; do
  # shellcheck disable=SC2086 # verb and unit
  reply=$(in_ct runuser -u tessalview -- systemctl --no-ask-password $what 2>&1) &&
    fail "tessalview may $what"
  printf '%s' "$reply" | has -i 'access denied\|interactive authentication required\|not authorized' ||
    fail "tessalview: $what gave: $reply"
done
wait_active plinthd.service || fail "plinthd.service not active after the refusals"
ok "tessalview may not stop plinthd, start another unit, restart itself or mount a drive"
in_ct useradd --no-create-home --shell /usr/sbin/nologin tessal-intruder
reply=$(in_ct runuser -u tessal-intruder -- /usr/libexec/tessalview/k3p.sh 10.0.0.1 2>&1) &&
  fail "another user started tessal-k3p@"
in_ct userdel tessal-intruder
ok "another user may not start them: $(printf '%s' "$reply" | tail -n 1 | cut -c1-80)"

step "D-Bus policy: root, group plinthd, others"
in_ct useradd --no-create-home --shell /usr/sbin/nologin tessal-opr
in_ct usermod -a -G plinthd tessal-opr
in_ct useradd --no-create-home --shell /usr/sbin/nologin tessal-guest
reply=$(call_cmd root '{"cmd":"getstatus"}')
printf '%s' "$reply" | has '^method return' || fail "root refused: $reply"
ok "root: method return"
reply=$(call_cmd tessal-opr '{"cmd":"getstatus"}')
printf '%s' "$reply" | has '^method return' || fail "member of plinthd refused: $reply"
ok "tessal-opr (group plinthd): method return"
reply=$(call_cmd tessal-guest '{"cmd":"getstatus"}' || true)
printf '%s' "$reply" | has 'org.freedesktop.DBus.Error.AccessDenied' ||
  fail "another user was not refused: $reply"
ok "tessal-guest: $(printf '%s' "$reply" | head -n 1 | cut -c1-90)..."
# The daemon sends "status" about every 3 s while configured.
signals=$(in_ct runuser -u tessal-guest -- timeout 8 dbus-monitor --system \
  "type='signal',sender='vox.tessal.plinthd',interface='vox.tessal.modbusserver'" 2>&1 || true)
printf '%s' "$signals" | has 'member=status' || fail "tessal-guest received no status signal: $signals"
ok "tessal-guest received $(printf '%s' "$signals" | grep -c 'member=status') status signal(s)"

step "tup-tools with its packaged settings"
in_ct tupwatch --help | has '/etc/tessal/tupwatch.ini' || fail "tupwatch's default settings file is not /etc/tessal/tupwatch.ini"
in_ct sed -i 's/^UdpPort=.*/UdpPort=19876/' /etc/tessal/tupwatch.ini
# The frame goes out once tupwatch says it listens (within 5 s; it gives up
# after 10).
in_ct sh -c 'timeout 10 tupwatch -a 127.0.0.1 -n 1 >/tmp/tupwatch.out 2>&1 &
  for i in $(seq 1 50); do grep -q "^tupwatch: listening on" /tmp/tupwatch.out && break; sleep 0.1; done
  tupsend -H 127.0.0.1 -p 19876 --gpio 1,0,0,0; wait' >/dev/null 2>&1 || true
got=$(in_ct cat /tmp/tupwatch.out 2>/dev/null || true)
in_ct rm -f /tmp/tupwatch.out
printf '%s' "$got" | has '^tupwatch: listening on 127.0.0.1:19876$' ||
  fail "tupwatch did not listen on port 19876 (from /etc/tessal/tupwatch.ini): $got"
printf '%s' "$got" | has '{' || fail "tupwatch on port 19876 (from /etc/tessal/tupwatch.ini) received nothing: $got"
ok "tupwatch listened on UdpPort=19876 from /etc/tessal/tupwatch.ini and printed the frame tupsend sent"

step "the device: its page sandboxed, the LEDs, the registers, a download to a USB drive"
# The LED files: the container's /sys is the host's, read-only and without
# GPIO, so /sys/class gets a copy of itself with a gpio directory of four
# pins (the sample ini's), as the kernel would make them once exported.
in_ct sh -e -c 'mkdir -p /run/test-class && mount -t tmpfs -o mode=0755 test-class /run/test-class
  for d in /sys/class/*; do mkdir "/run/test-class/${d##*/}"; mount --bind "$d" "/run/test-class/${d##*/}"; done
  mkdir /run/test-class/gpio && : >/run/test-class/gpio/export
  for n in 224 225 228 230; do
    mkdir "/run/test-class/gpio/gpio$n"
    for f in direction active_low value; do : >"/run/test-class/gpio/gpio$n/$f"; done
  done
  mount --bind /run/test-class /sys/class'
# The USB drive: a vfat image on a loop device of this machine, its node in
# the container, mounted there by the packaged usbmount.sh. A kernel without
# vfat (some virtual machines' have no modules at all) gets an ext4 drive,
# the other kind usbmount.sh mounts; the line below says which.
truncate -s 32M "$WORK/usb.img"
if grep -qw vfat /proc/filesystems; then
  usb_fs=vfat
  mkfs.vfat -n TESSALUSB "$WORK/usb.img" >/dev/null
else
  usb_fs=ext4
  mkfs.ext4 -q -L TESSALUSB "$WORK/usb.img"
fi
LOOP=$(losetup -f --show "$WORK/usb.img")
in_ct mknod "/dev/${LOOP#/dev/}" b "$((16#$(stat -c '%t' "$LOOP")))" "$((16#$(stat -c '%T' "$LOOP")))"
in_ct /usr/libexec/tessalview/usbmount.sh mount "${LOOP#/dev/}" 2>&1 | sed 's/^/   | /'
opts=$(in_ct findmnt -n -o OPTIONS /usbmnt || true)
for o in ro nosuid nodev noexec; do
  printf ',%s,' "$opts" | has ",$o," || fail "/usbmnt mounted with '$opts', no $o"
done
[ $usb_fs = vfat ] || ok "this kernel has no vfat: the drive is ext4"
ok "$LOOP ($usb_fs) mounted at /usbmnt: $opts"
# The device's web server; its page leads to a download after a while.
in_ct mkdir -p /srv/device
in_ct sh -c 'cat >/srv/device/index.html' <<'HTML'
<html><body style="margin:0;background:#1b5e20;color:white" onload="fetch('/shown')"><h1>K3P measuring device</h1>
<script>setTimeout(function() { location = "/report.bin"; }, 8000);</script></body></html>
HTML
in_ct sh -c 'printf "a;b\n1;2\n" >/srv/device/report.bin'
in_ct systemd-run --quiet --unit=test-device python3 -m http.server 80 --bind 127.0.0.1 --directory /srv/device
# The kiosk again, now with its LED files there.
in_ct systemctl restart tessalview-devices.service tessalview.service
for n in 224 225 228 230; do
  mode=$(in_ct stat -c '%G %A' "/sys/class/gpio/gpio$n/value")
  case $mode in "tessalview -rw-rw-"*) ;; *) fail "gpio$n/value is $mode" ;; esac
done
ok "tessalview-devices.service handed the four pins' files to group tessalview"
in_ct systemd-run --quiet --unit=test-frames tupsend -H 127.0.0.1 -p 9876 -c 120 -i 0.5 \
  --devinfo 1,1,0,2,0,1,12345,en --gpio 1,0,3,1 --core --item 1,1,0,4,u16:4242
for _ in $(seq 1 60); do
  in_ct journalctl --no-pager -u test-device -o cat | has '"GET /index.html' && break
  sleep 0.5
done
in_ct journalctl --no-pager -u test-device -o cat | has '"GET /index.html' || fail "the device's page was never asked for"
# The page's own script says it ran (in the render process): it asks for
# /shown once loaded.
for _ in $(seq 1 40); do
  in_ct journalctl --no-pager -u test-device -o cat | has '"GET /shown' && break
  sleep 0.5
done
in_ct journalctl --no-pager -u test-device -o cat | has '"GET /shown' ||
  fail "the device's page was not shown (its script never ran)"
ok "the kiosk attached to the device at 127.0.0.1 and showed its page (its script ran)"
kiosk_pid=$(in_ct systemctl show -p MainPID --value tessalview.service)
# The render process: forked by the engine's zygote, it keeps the zygote's
# command line; it is the engine process with a compositor thread.
renderer=$(in_ct sh -c 'for p in $(pgrep -u tessalview QtWebEngineProc); do
    grep -qx Compositor /proc/$p/task/*/comm 2>/dev/null && echo "$p"; done' | head -n 1 || true)
[ -n "$renderer" ] || fail "no render process: $(in_ct ps -u tessalview -o pid=,comm=,args= | cut -c1-120)"
seccomp=$(in_ct awk '$1 == "Seccomp:" { print $2 }' "/proc/$renderer/status")
[ "$seccomp" = 2 ] || fail "the render process $renderer has Seccomp: $seccomp"
for ns in user pid; do
  a=$(in_ct readlink "/proc/$kiosk_pid/ns/$ns")
  b=$(in_ct readlink "/proc/$renderer/ns/$ns")
  [ -n "$a" ] && [ -n "$b" ] && [ "$a" != "$b" ] || fail "the render process shares the kiosk's $ns namespace ($a, $b)"
done
ok "render process $renderer: Seccomp 2, its own user and pid namespaces"
in_ct journalctl --no-pager -u tessalview.service -o cat | has "sandbox is turned off" &&
  fail "the journal says the web engine's sandbox is turned off"
# Green on, yellow off, red blinking fast, buzzer on.
sleep 1
[ "$(in_ct cat /sys/class/gpio/gpio224/value)" = 1 ] || fail "green LED: $(in_ct cat /sys/class/gpio/gpio224/value)"
[ "$(in_ct cat /sys/class/gpio/gpio225/value)" = 0 ] || fail "yellow LED: $(in_ct cat /sys/class/gpio/gpio225/value)"
[ "$(in_ct cat /sys/class/gpio/gpio230/value)" = 1 ] || fail "buzzer: $(in_ct cat /sys/class/gpio/gpio230/value)"
seen=
for _ in $(seq 1 12); do
  seen="$seen$(in_ct cat /sys/class/gpio/gpio228/value)"
  sleep 0.1
done
printf '%s' "$seen" | has 0 && printf '%s' "$seen" | has 1 || fail "red LED does not blink: $seen"
ok "LEDs from the frame: green on, yellow off, red blinking ($seen), buzzer on"
# The Core item (System.Status = 4242) in holding register 1 (the sample map).
read_status='import socket, struct, sys
s = socket.create_connection(("127.0.0.1", 502), timeout=3)
s.sendall(struct.pack(">HHHBBHH", 1, 0, 6, 1, 3, 1, 1))
r = s.recv(64)
sys.stdout.write(str(struct.unpack(">H", r[9:11])[0]) if len(r) >= 11 and r[7] == 3 else "exception " + r.hex())'
value=
for _ in $(seq 1 20); do
  value=$(in_ct python3 -c "$read_status" 2>&1 || true)
  [ "$value" = 4242 ] && break
  sleep 0.5
done
[ "$value" = 4242 ] || fail "register 1 over Modbus TCP: $value (not 4242)"
ok "register 1 read over Modbus TCP: 4242, from the frame's Core item"
# The page leads to a download: the kiosk asks for a name; Return confirms.
for _ in $(seq 1 60); do
  in_ct journalctl --no-pager -u tessalview.service -o cat | has "File will be saved\|Download canceled" && break
  win=$(in_ct env DISPLAY=:99 xdotool search --onlyvisible --name 'Download' 2>/dev/null | head -n 1 || true)
  if [ -n "$win" ]; then
    in_ct env DISPLAY=:99 xdotool windowfocus --sync "$win" key Return >/dev/null 2>&1 || true
  fi
  sleep 0.5
done
for _ in $(seq 1 40); do
  in_ct journalctl --no-pager -u tessalview.service -o cat | has "Download complete" && break
  sleep 0.5
done
in_ct journalctl --no-pager -u tessalview.service -o cat | grep -E "Download|File will be saved|USB" | sed 's/^/   | /' || true
in_ct journalctl --no-pager -u tessalview.service -o cat | has "Download complete" || fail "the download did not complete"
[ "$(in_ct cat /usbmnt/report.bin 2>/dev/null)" = "$(printf 'a;b\n1;2')" ] ||
  fail "/usbmnt/report.bin: $(in_ct ls -l /usbmnt 2>&1)"
owner=$(in_ct stat -c '%U' /usbmnt/report.bin)
[ "$owner" = tessalview ] || fail "report.bin belongs to $owner"
# The drive goes back to read-only once the completion message has closed.
for m in rw ro; do
  for _ in $(seq 1 20); do
    in_ct journalctl --no-pager -u "tessal-usbremount@$m.service" -o cat | has "remounted $m for the kiosk" && break
    sleep 0.5
  done
  in_ct journalctl --no-pager -u "tessal-usbremount@$m.service" -o cat | has "remounted $m for the kiosk" ||
    fail "tessal-usbremount@$m.service did not remount the drive for the kiosk"
done
opts=$(in_ct findmnt -n -o OPTIONS /usbmnt || true)
printf ',%s,' "$opts" | has ",ro," || fail "the drive was left '$opts'"
ok "download saved as /usbmnt/report.bin (owner $owner) through tessal-usbremount@rw and @ro; the drive is '$opts' again"
# The same download onto a full drive: refused with the drive named, and no
# partial file left (the kiosk starts again, so its page asks again).
in_ct sh -c 'mount -o remount,rw /usbmnt && rm -f /usbmnt/report.bin &&
  { dd if=/dev/zero of=/usbmnt/fill bs=64k 2>/dev/null || true; } && sync && mount -o remount,ro /usbmnt'
n0=$(in_ct journalctl --no-pager -u tessalview.service -o cat | wc -l)
in_ct systemctl restart tessalview.service
in_ct systemctl restart test-frames.service 2>/dev/null ||
  in_ct systemd-run --quiet --unit=test-frames2 tupsend -H 127.0.0.1 -p 9876 -c 120 -i 0.5 \
    --devinfo 1,1,0,2,0,1,12345,en --gpio 1,0,3,1
kiosk_log() { in_ct journalctl --no-pager -u tessalview.service -o cat | tail -n +$((n0 + 1)); }
for _ in $(seq 1 80); do
  kiosk_log | has "Error writing file\|Error synchronizing file\|Error opening file\|Download complete" && break
  win=$(in_ct env DISPLAY=:99 xdotool search --onlyvisible --name 'Download' 2>/dev/null | head -n 1 || true)
  if [ -n "$win" ]; then
    in_ct env DISPLAY=:99 xdotool windowfocus --sync "$win" key Return >/dev/null 2>&1 || true
  fi
  sleep 0.5
done
kiosk_log | grep -E "Download|Error|full" | sed 's/^/   | /' || true
kiosk_log | has "Error writing file\|Error synchronizing file\|Error opening file" ||
  fail "the download onto the full drive was not refused"
in_ct test ! -e /usbmnt/report.bin || fail "a partial report.bin was left on the full drive"
ok "onto the full drive: refused, no partial file"
in_ct systemctl stop test-frames test-frames2 test-device >/dev/null 2>&1 || true
in_ct rm -rf /srv/device
in_ct umount /usbmnt
in_ct rm -f "/dev/${LOOP#/dev/}"
losetup -d "$LOOP"
LOOP=
# The kiosk again with the system's own /sys/class.
in_ct umount /sys/class
in_ct umount -R /run/test-class
in_ct rmdir /run/test-class
in_ct systemctl restart tessalview-devices.service tessalview.service

# Modbus/TCP Security through the packaged units: the kiosk's ini names the
# certificates, the kiosk carries them into its init document, and plinthd
# (user plinthd, CAP_NET_BIND_SERVICE alone, its system-call filter) serves
# port 802 beside 502. A master with the role "reader" reads, and its write
# is answered with exception 01.
[ "$(in_ct stat -c '%a %U:%G' /etc/tessal/tls)" = "750 root:plinthd" ] ||
  fail "/etc/tessal/tls is $(in_ct stat -c '%a %U:%G' /etc/tessal/tls)"
mkdir -p "$WORK/tls"
bash "$TOP/tests/plinthd/make_tls_certs.sh" "$WORK/tls"
cp "$WORK/tls/ca.pem" "$WORK/tls/server.pem" "$WORK/tls/server.key" "$WORK/tls/reader.pem" \
  "$WORK/tls/reader.key" "$ROOT/etc/tessal/tls/"
printf '{"roles": {"reader": {"access": "r"}}}\n' >"$ROOT/etc/tessal/tls/roles.json"
in_ct chgrp plinthd /etc/tessal/tls/server.key
in_ct chmod 0640 /etc/tessal/tls/server.key
in_ct sed -i -e 's|^TlsCertificate=.*|TlsCertificate=/etc/tessal/tls/server.pem|' \
  -e 's|^TlsKey=.*|TlsKey=/etc/tessal/tls/server.key|' -e 's|^TlsCa=.*|TlsCa=/etc/tessal/tls/ca.pem|' \
  -e 's|^TlsRoles=.*|TlsRoles=/etc/tessal/tls/roles.json|' /etc/tessal/tessal-view.ini
in_ct systemctl restart tessalview.service
tls_master='import socket, ssl, struct, sys
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.load_verify_locations("/etc/tessal/tls/ca.pem")
ctx.load_cert_chain("/etc/tessal/tls/reader.pem", "/etc/tessal/tls/reader.key")
s = ctx.wrap_socket(socket.create_connection(("127.0.0.1", 802), timeout=3), server_hostname="127.0.0.1")
s.sendall(struct.pack(">HHHBBHH", 1, 0, 6, 1, 3, 1, 1))
r = s.recv(64)
s.sendall(struct.pack(">HHHBBHH", 2, 0, 6, 1, 6, 1, 7))
w = s.recv(64)
sys.stdout.write("read %d write %s" % (r[7], w[7:9].hex()))'
answer=
for _ in $(seq 1 30); do
  answer=$(in_ct python3 -c "$tls_master" 2>&1 | tail -n 1 || true)
  [ "$answer" = "read 3 write 8601" ] && break
  sleep 0.5
done
[ "$answer" = "read 3 write 8601" ] ||
  fail "Modbus/TCP Security on 802: '$answer'; plinthd: $(in_ct journalctl --no-pager -u plinthd.service -o cat | tail -n 5)"
in_ct journalctl --no-pager -o cat | has "BEGIN PRIVATE KEY\|$(sed -n 2p "$WORK/tls/server.key")" &&
  fail "the server's key is in the journal"
ok "Modbus/TCP Security on 802 under plinthd.service: the reader's read answered, its write refused with exception 01"
# The site's files go again (a purge keeps what a site put there), and the
# kiosk serves plain Modbus TCP alone once more.
in_ct sh -c 'rm -f /etc/tessal/tls/*'
in_ct sed -i -e 's|^TlsCertificate=.*|TlsCertificate=|' -e 's|^TlsKey=.*|TlsKey=|' \
  -e 's|^TlsCa=.*|TlsCa=|' -e 's|^TlsRoles=.*|TlsRoles=|' /etc/tessal/tessal-view.ini
in_ct systemctl restart tessalview.service

# --- upgrade ------------------------------------------------------------------
step "upgrade to $v2 with an edited tessal-view.ini"
in_ct sed -i 's/^ScreenSaverInterval=.*/ScreenSaverInterval=30000 ; edited by the site/' /etc/tessal/tessal-view.ini
edited=$(in_ct md5sum /etc/tessal/tessal-view.ini | cut -d' ' -f1)
in_ct sh -c 'apt-get install -y /var/tmp/debs-2/*.deb' >"$WORK/upgrade.log" 2>&1 ||
  { tail -n 30 "$WORK/upgrade.log"; fail "upgrade failed"; }
grep -E '^(Preparing|Unpacking|Setting up)' "$WORK/upgrade.log" | sed 's/^/   | /'
for p in plinthd tessalview tup-tools; do
  [ "$(in_ct dpkg-query -W -f='${Version}' "$p")" = "$v2" ] || fail "$p not upgraded to $v2"
done
[ "$(in_ct md5sum /etc/tessal/tessal-view.ini | cut -d' ' -f1)" = "$edited" ] ||
  fail "the upgrade replaced the edited tessal-view.ini"
in_ct grep -q '^ScreenSaverInterval=30000 ; edited by the site' /etc/tessal/tessal-view.ini || fail "edit lost"
in_ct sh -c 'ls /etc/tessal/*.dpkg-* 2>/dev/null' && fail "dpkg left a .dpkg-* copy beside the configuration"
wait_active plinthd.service || fail "plinthd.service not active after the upgrade"
wait_active tessalview.service || fail "tessalview.service not active after the upgrade"
ini_mode=$(in_ct stat -c '%a %U:%G' /etc/tessal/tessal-view.ini)
[ "$ini_mode" = "640 root:tessalview" ] || fail "after the upgrade tessal-view.ini is $ini_mode"
ok "all three at $v2; the edited ini kept byte for byte ($ini_mode); both services active"

# --- purge ----------------------------------------------------------------------
step "purge"
in_ct userdel tessal-opr
in_ct userdel tessal-guest
rm -rf "$ROOT/etc/systemd/system/tessalview.service.d"
in_ct systemctl daemon-reload
in_ct apt-get purge -y plinthd tessalview tup-tools >"$WORK/purge.log" 2>&1 ||
  { tail -n 30 "$WORK/purge.log"; fail "purge failed"; }
grep -E '^(Removing|Purging)' "$WORK/purge.log" | sed 's/^/   | /'
# The kiosk's display goes only now: a kiosk that lost it would fail and be
# restarted instead of being stopped by the purge.
in_ct systemctl stop test-display >/dev/null 2>&1 || true
left=$(in_ct dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' plinthd tessalview tup-tools 2>/dev/null | grep -v '^un ' || true)
[ -z "$left" ] || fail "dpkg still knows: $left"
in_ct getent group plinthd >/dev/null && fail "group plinthd left behind"
ok "group plinthd removed"
in_ct systemctl is-active plinthd.service tessalview.service >/dev/null 2>&1 && fail "a service still runs"
in_ct dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
  org.freedesktop.DBus.NameHasOwner string:vox.tessal.plinthd | has 'boolean false' ||
  fail "vox.tessal.plinthd still owned"
snapshot >"$WORK/after.txt"
in_ct md5sum /etc/passwd /etc/group /etc/shadow /etc/gshadow >"$WORK/accounts-after.txt"
if ! diff -u "$WORK/before.txt" "$WORK/after.txt" >"$WORK/purge-diff.txt"; then
  sed 's/^/   | /' "$WORK/purge-diff.txt" | head -n 40
  fail "purge left files behind (or removed some)"
fi
diff -u "$WORK/accounts-before.txt" "$WORK/accounts-after.txt" || fail "user and group files differ from before"
ok "file system ($(wc -l <"$WORK/before.txt") paths) and user/group files as before the install"

step "shut down"
in_ct systemctl poweroff >/dev/null 2>&1 || true
for _ in $(seq 1 60); do kill -0 "$NSPAWN_PID" 2>/dev/null || break; sleep 0.5; done
kill -0 "$NSPAWN_PID" 2>/dev/null && fail "container did not power off"
wait "$NSPAWN_PID" 2>/dev/null || true
NSPAWN_PID=
ok "container powered off"
printf '   (%d s)\n\n== install test passed in %d s\n' "$(($(date +%s) - TS))" "$(($(date +%s) - T0))"
