#!/bin/sh
# soak.sh MINUTES [BUILD_DIR]
#
# Runs the whole unit for MINUTES minutes under a steady load (10 frames a
# second, 20 Modbus masters and a writer, page reloads, a download a minute)
# in a private network namespace and prints per-minute figures and a verdict
# (see bench/soak.py). Needs root (namespace, port 80) and a build with the
# kiosk: BUILD_DIR defaults to ./build. Exit status 0 when the verdict is
# PASS, 1 when it is FAIL, 77 when not run as root.
here=$(dirname "$(readlink -f "$0")")
[ $# -ge 1 ] || { echo "usage: soak.sh MINUTES [BUILD_DIR]" >&2; exit 2; }
exec /usr/bin/python3 "$here/soak.py" --minutes "$1" --build "${2:-build}"
