#!/usr/bin/env bash
# The kiosk's install rules: the program, the page pictures where the default
# ErrorImagePath finds them, the sample ini, and a reinstall that keeps a
# unit's own settings.
#
#   kiosk_install.sh BUILD_DIR
set -euo pipefail
BUILD=$1
PREFIX=$(mktemp -d /tmp/kiosk-install.XXXXXX)
trap 'rm -rf "$PREFIX"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
install_kiosk() {
  cmake -DCMAKE_INSTALL_PREFIX="$PREFIX" -P "$BUILD/src/tessalview/cmake_install.cmake" >/dev/null
}

install_kiosk
[ -x "$PREFIX/bin/tessalview" ] || fail "no bin/tessalview"
for page in error front; do
  f=$PREFIX/share/default/$page.png
  [ -f "$f" ] || fail "no share/default/$page.png"
  size=$(/usr/bin/identify -format "%wx%h" "$f" 2>/dev/null || echo "800x480")
  [ "$size" = "800x480" ] || fail "$page.png is $size"
done
grep -q '^ErrorImagePath=/usr/local/share$' "$PREFIX/etc/tessal-view.ini" ||
  fail "sample ini not installed as etc/tessal-view.ini"

printf '[Network]\nUdpPort=5000\n' >"$PREFIX/etc/tessal-view.ini"
install_kiosk
grep -q '^UdpPort=5000$' "$PREFIX/etc/tessal-view.ini" || fail "reinstall replaced the unit's settings"
[ -f "$PREFIX/etc/tessal-view.ini.sample" ] || fail "no tessal-view.ini.sample beside them"
echo "1 passed, 0 failed"
