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
for tool in systemd-nspawn:systemd-container nsenter:util-linux dpkg-buildpackage:dpkg-dev; do
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
case $SUITE in
bookworm) INCLUDE=$INCLUDE,libqt5webkit5,libqt5widgets5,libqt5network5,libqt5gui5 ;;
trixie) INCLUDE=$INCLUDE,libqt5widgets5t64,libqt5network5t64,libqt5gui5t64 ;;
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
  rm -rf "$ROOT" "/run/systemd/nspawn/propagate/$MACHINE"
}
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
snapshot() {
  in_ct sh -c 'find /etc /usr /opt /srv /var /run /tmp -xdev \
      \( -path /var/log -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache/apt \
         -o -path /var/cache/debconf -o -path /var/cache/ldconfig -o -path /run/systemd \
         -o -path /run/user -o -path /run/log -o -path /run/agetty.reload -o -path /var/tmp/debs-1 -o -path /var/tmp/debs-2 \) -prune \
      -o -print 2>/dev/null | grep -v "^/etc/.*-$" | sort'
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
# The container has no frame buffer: the kiosk draws offscreen (a drop-in of
# this test; the shipped unit keeps linuxfb).
mkdir -p "$ROOT/etc/systemd/system/tessalview.service.d"
printf '[Service]\nEnvironment=QT_QPA_PLATFORM=offscreen\n' \
  >"$ROOT/etc/systemd/system/tessalview.service.d/offscreen.conf"
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
[ "$(in_ct stat -c '%U %a' /run/tessalview)" = "root 700" ] ||
  fail "/run/tessalview is $(in_ct stat -c '%U %a' /run/tessalview)"
in_ct test ! -e /tmp/etc || fail "the kiosk wrote to /tmp/etc"
in_ct test -d /var/cache/tessalview || fail "no web storage in /var/cache/tessalview"
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
ok "procstate 2 (Init); the map's tables 0+7, 100+9, 200+4 in $init_doc (root-only /run/tessalview), opened and served"
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
ok "all three at $v2; the edited ini kept byte for byte; both services active"

# --- purge ----------------------------------------------------------------------
step "purge"
in_ct userdel tessal-opr
in_ct userdel tessal-guest
rm -rf "$ROOT/etc/systemd/system/tessalview.service.d"
in_ct systemctl daemon-reload
in_ct apt-get purge -y plinthd tessalview tup-tools >"$WORK/purge.log" 2>&1 ||
  { tail -n 30 "$WORK/purge.log"; fail "purge failed"; }
grep -E '^(Removing|Purging)' "$WORK/purge.log" | sed 's/^/   | /'
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
