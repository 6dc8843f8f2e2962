#!/usr/bin/env bash
# The fixed paths as build options: a tree configured with another layout
# (the Debian one, prefix /usr) compiles that layout in, installs to it, and
# the TESSAL_ROOT seam still applies to it.
#
#   paths_test.sh SOURCE_DIR
set -euo pipefail
# A match in a pipeline: grep reads all of its input, so the writer is never
# cut off by SIGPIPE (which pipefail would report as a failed check).
has() { grep "$@" >/dev/null; }
SRC=$1
T=$(mktemp -d /tmp/tessal-paths.XXXXXX)
trap 'rm -rf "$T"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
passed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }

launcher=()
command -v ccache >/dev/null 2>&1 &&
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$SRC" -B "$T/b" -DCMAKE_BUILD_TYPE=Release -DTESSAL_BUILD_KIOSK=OFF -DBUILD_TESTING=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DTESSAL_TUPWATCH_INI=/etc/tessal/tupwatch.ini \
  -DTESSAL_MODBUS_MAP=/etc/tessal/modbus.map -DTESSAL_SCRIPT_DIR=/usr/libexec/tessalview \
  -DTESSAL_SYSTEMD_UNITDIR=/lib/systemd/system "${launcher[@]}" >"$T/configure.log" 2>&1 ||
  { cat "$T/configure.log"; fail "configure"; }
cmake --build "$T/b" -j2 >"$T/build.log" 2>&1 || { tail -n 30 "$T/build.log"; fail "build"; }

# Compiled in, and still below $TESSAL_ROOT when that is set.
"$T/b/src/tupwatch/tupwatch" --help | has '(default /etc/tessal/tupwatch.ini,' ||
  fail "tupwatch --help does not name /etc/tessal/tupwatch.ini"
mkdir -p "$T/root/etc/tessal" "$T/root/usr/local/etc"
printf '[Network]\nUdpPort=notaport\n' >"$T/root/etc/tessal/tupwatch.ini"
printf '[Network]\nUdpPort=9\n' >"$T/root/usr/local/etc/tupwatch.ini"
out=$(TESSAL_ROOT=$T/root "$T/b/src/tupwatch/tupwatch" -n 1 -t 0 2>&1 </dev/null || true)
printf '%s' "$out" | has "$T/root/etc/tessal/tupwatch.ini" ||
  fail "tupwatch did not read \$TESSAL_ROOT/etc/tessal/tupwatch.ini: $out"
pass "tupwatch reads the configured ini, below TESSAL_ROOT"

# Installed where configured: below the prefix relative (DESTDIR applies),
# elsewhere absolute; units name the configured binary directory.
DESTDIR=$T/dest cmake --install "$T/b" >"$T/install.log" 2>&1 || { cat "$T/install.log"; fail "install"; }
for f in usr/bin/plinthd usr/bin/tupwatch usr/libexec/tessalview/mbserverstart.sh \
  etc/tessal/tupwatch.ini etc/tessal/modbus.map lib/systemd/system/plinthd.service \
  lib/systemd/system/tessalview.service usr/share/dbus-1/system.d/vox.tessal.plinthd.conf; do
  [ -e "$T/dest/$f" ] || fail "$f not installed (got: $(cd "$T/dest" && find . -type f | tr '\n' ' '))"
done
[ -z "$(find "$T/dest" -path '*/usr/local*' -print -quit)" ] || fail "something went to /usr/local"
grep -qx 'ExecStart=/usr/bin/plinthd' "$T/dest/lib/systemd/system/plinthd.service" || fail "plinthd.service ExecStart"
grep -qx 'ExecStart=/usr/bin/tessalview' "$T/dest/lib/systemd/system/tessalview.service" ||
  fail "tessalview.service ExecStart"
grep -q '^; Installed as /etc/tessal/tupwatch.ini' "$T/dest/etc/tessal/tupwatch.ini" ||
  fail "the sample tupwatch.ini does not name its configured place"
# The manual pages name the configured paths (filled in at configure time).
grep -qF '/etc/tessal/tupwatch.ini' "$T/dest/usr/share/man/man1/tupwatch.1" ||
  fail "tupwatch.1 does not name /etc/tessal/tupwatch.ini"
grep -qF '/usr/libexec/tessalview/mbserverstart.sh' "$T/dest/usr/share/man/man1/plinthctl.1" ||
  fail "plinthctl.1 does not name /usr/libexec/tessalview/mbserverstart.sh"
[ -f "$T/dest/usr/share/man/man8/plinthd.8" ] || fail "plinthd.8 not installed"
pass "installed to the configured layout (/usr/bin, /usr/libexec/tessalview, /etc/tessal, /lib/systemd/system, /usr/share/man)"

# A source install keeps a unit's own settings and puts the sample beside them.
printf '[Network]\nUdpPort=5000\n' >"$T/dest/etc/tessal/tupwatch.ini"
DESTDIR=$T/dest cmake --install "$T/b" >"$T/install2.log" 2>&1 || fail "reinstall"
grep -qx 'UdpPort=5000' "$T/dest/etc/tessal/tupwatch.ini" || fail "reinstall replaced the unit's tupwatch.ini"
[ -f "$T/dest/etc/tessal/tupwatch.ini.sample" ] || fail "no tupwatch.ini.sample beside it"
# ...unless a package manager takes that job (TESSAL_KEEP_SITE_CONFIG=OFF).
cmake -S "$SRC" -B "$T/b" -DTESSAL_KEEP_SITE_CONFIG=OFF >/dev/null 2>&1 || fail "reconfigure"
rm -rf "$T/dest2"
DESTDIR=$T/dest2 cmake --install "$T/b" >/dev/null 2>&1 || fail "install without keeping"
printf '[Network]\nUdpPort=5000\n' >"$T/dest2/etc/tessal/tupwatch.ini"
DESTDIR=$T/dest2 cmake --install "$T/b" >/dev/null 2>&1 || fail "reinstall without keeping"
grep -q '^UdpPort=9876' "$T/dest2/etc/tessal/tupwatch.ini" || fail "plain install did not write the sample"
[ ! -e "$T/dest2/etc/tessal/tupwatch.ini.sample" ] || fail "plain install wrote a .sample"
pass "site settings kept (default) or installed plainly for a package manager"

# What the kiosk writes while it runs goes to its runtime directory, never
# below /tmp, and nothing is installed there: the directory is made at run
# time (owner-only).
gen=$T/b/generated/tessalpaths.h
grep -qx '#define TESSAL_PATH_TMPCFG_DIR "/run/tessalview/etc"' "$gen" ||
  fail "TmpCfgDir's default is not /run/tessalview/etc: $(grep TMPCFG "$gen")"
grep -qx '#define TESSAL_PATH_WEBCACHE_DIR "/run/tessalview/web"' "$gen" ||
  fail "WebCache Path's default is not /run/tessalview/web: $(grep WEBCACHE "$gen")"
! grep -n '"/tmp' "$gen" || fail "a default path lies below /tmp"
grep -qF '/run/tessalview/etc/mbserver_init.dbus' "$T/dest/usr/share/man/man1/plinthctl.1" ||
  fail "plinthctl.1 does not name /run/tessalview/etc/mbserver_init.dbus"
for d in "$T/dest" "$T/dest2"; do
  [ ! -e "$d/run" ] && [ ! -e "$d/tmp" ] || fail "the install made $d/run or $d/tmp"
done
# A tree configured with the former /tmp defaults moves to /run; another
# choice stays.
cmake -S "$SRC" -B "$T/b" -DTESSAL_TMPCFG_DIR=/tmp/etc \
  -DTESSAL_WEBCACHE_DIR=/tmp/tessal-view-cache >/dev/null 2>&1 || fail "reconfigure with the old defaults"
grep -q '"/run/tessalview/etc"' "$gen" && grep -q '"/run/tessalview/web"' "$gen" ||
  fail "the old /tmp defaults were kept: $(grep -E 'TMPCFG|WEBCACHE' "$gen")"
cmake -S "$SRC" -B "$T/b" -DTESSAL_TMPCFG_DIR=/var/lib/tessal >/dev/null 2>&1 || fail "reconfigure"
grep -qx '#define TESSAL_PATH_TMPCFG_DIR "/var/lib/tessal"' "$gen" || fail "a chosen TmpCfgDir was not kept"
pass "the kiosk's generated files default to /run/tessalview/etc, nothing installed to /run or /tmp"

echo "$passed passed, 0 failed"
