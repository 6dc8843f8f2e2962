#!/bin/bash
# Fetches libmodbus's own unit-test-client.c from Debian's libmodbus source
# package (the version installed here) into CACHE_DIR, points it at the
# port and device given in the environment, lets it go on after a failed
# assertion, and builds it. Prints the binary's path on the last line.
# Exit status 77 (ctest's skip) with "skipped: why" when the package
# registry cannot be reached; 1 on any other failure.
#   fetch_unit_test_client.sh CACHE_DIR
set -u
CACHE_DIR=$1
mkdir -p "$CACHE_DIR"
cd "$CACHE_DIR" || exit 1
BIN=$CACHE_DIR/unit-test-client
if [ -x "$BIN" ]; then
    echo "$BIN"
    exit 0
fi

# With the library of a second architecture installed (a cross build
# root), dpkg lists both: they are of one version.
VERSION=$(dpkg-query -W -f='${Version}\n' libmodbus-dev 2>/dev/null | head -n 1)
if [ -z "$VERSION" ]; then
    echo "skipped: libmodbus-dev is not installed, so its source version is unknown"
    exit 77
fi

# A private apt configuration in the build tree: the same mirrors as the
# system's, with deb-src lines; the system's apt state is not touched.
APT_DIR=$CACHE_DIR/apt
mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial"
: >"$APT_DIR/sources.list"
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '/^URIs:/ {uri=$2} /^Suites:/ {for (i = 2; i <= NF; i++) suites[++n] = $i}
         /^Components:/ {comp=""; for (i = 2; i <= NF; i++) comp = comp " " $i}
         /^$/ {if (uri != "") for (i = 1; i <= n; i++) print "deb-src " uri " " suites[i] comp; uri=""; n=0}
         END {if (uri != "") for (i = 1; i <= n; i++) print "deb-src " uri " " suites[i] comp}' \
        "$f" >>"$APT_DIR/sources.list"
done
if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >>"$APT_DIR/sources.list"
fi
APT_OPTS=(-o Dir::Etc::SourceList="$APT_DIR/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o Dir::State::Lists="$APT_DIR/lists" -o Dir::Cache="$APT_DIR/cache"
          -o APT::Sandbox::User=root -o Acquire::Retries=1 -o Acquire::http::Timeout=20)
if ! apt-get "${APT_OPTS[@]}" update >"$APT_DIR/update.log" 2>&1 ||
    grep -q '^\(Err\|W: Failed\)' "$APT_DIR/update.log"; then
    echo "skipped: the Debian package registry cannot be reached ($(grep -m1 '^\(Err\|W:\|E:\)' "$APT_DIR/update.log"))"
    exit 77
fi
if ! apt-get "${APT_OPTS[@]}" source --download-only "libmodbus=$VERSION" >"$APT_DIR/source.log" 2>&1; then
    echo "skipped: libmodbus $VERSION source could not be fetched: $(tail -1 "$APT_DIR/source.log")"
    exit 77
fi
UPSTREAM=${VERSION%%-*}
rm -rf src && mkdir src
tar xzf libmodbus_"$UPSTREAM".orig.tar.gz -C src || exit 1
SRC=src/libmodbus-$UPSTREAM
TESTS=$SRC/tests
# Debian's patches, in the order of their series: some change the tests to
# match the library as Debian builds it (the float byte orders).
DEBIAN_TAR=$(ls libmodbus_"${VERSION#*:}".debian.tar.* 2>/dev/null | head -1)
if [ -n "$DEBIAN_TAR" ]; then
    tar xf "$DEBIAN_TAR" -C "$SRC" || exit 1
    if [ -f "$SRC/debian/patches/series" ]; then
        while read -r patch; do
            case "$patch" in '' | '#'*) continue ;; esac
            (cd "$SRC" && patch -p1 -s <"debian/patches/$patch") || { echo "patch $patch failed"; exit 1; }
        done <"$SRC/debian/patches/series"
    fi
fi
sed -e 's/@HAVE_INTTYPES_H@/1/; s/@HAVE_STDINT_H@/1/' "$TESTS/unit-test.h.in" >"$TESTS/unit-test.h"
# Line for line (so the reported line numbers stay those of the release):
# the server's address from the environment, and a failed assertion is
# reported and counted instead of ending the run, so that every assertion
# is tried.
sed -e 's|^\(int equal_dword(uint16_t \*tab_reg, const uint32_t value);\)$|\1 static int ut_failures = 0;|' \
    -e 's|^        goto close;                               \\$|        ut_failures++;                            \\|' \
    -e 's|modbus_new_tcp("127.0.0.1", 1502)|modbus_new_tcp("127.0.0.1", atoi(getenv("UT_TCP_PORT")))|' \
    -e 's|modbus_new_rtu("/dev/ttyUSB1", 115200|modbus_new_rtu(getenv("UT_RTU_DEVICE"), 115200|' \
    "$TESTS/unit-test-client.c" >"$TESTS/unit-test-client-plinthd.c"
for s in ut_failures UT_TCP_PORT UT_RTU_DEVICE; do
    grep -q "$s" "$TESTS/unit-test-client-plinthd.c" || { echo "patching the client failed ($s)"; exit 1; }
done
# shellcheck disable=SC2046
cc -o "$BIN.tmp" -I"$TESTS" "$TESTS/unit-test-client-plinthd.c" $(pkg-config --cflags --libs libmodbus) \
    -include stdlib.h >"$CACHE_DIR/build.log" 2>&1 || { cat "$CACHE_DIR/build.log"; exit 1; }
mv "$BIN.tmp" "$BIN"
echo "$BIN"
