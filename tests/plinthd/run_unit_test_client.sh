#!/bin/bash
# Fetches and builds libmodbus's unit-test-client (cached in CACHE_DIR), then
# runs the test binary against it. Exit status 77 (skipped) when the client
# cannot be fetched, with the reason.
#   run_unit_test_client.sh CACHE_DIR TEST_BINARY
set -u
HERE=$(dirname "$0")
OUT=$(bash "$HERE/fetch_unit_test_client.sh" "$1")
STATUS=$?
if [ $STATUS -ne 0 ]; then
    echo "$OUT"
    exit $STATUS
fi
UT_CLIENT=$(echo "$OUT" | tail -1) exec "$2"
