#!/usr/bin/env bash
# The README's test command. In stages, each announced with the time since
# the start and timed:
#   1. the Debian packages it needs (tools/install-deps.sh);
#   2. what every later stage needs, checked before anything is built, so a
#      missing tool fails the command in its first minutes, not after the
#      build and the tests;
#   3. the build in ./build (the kiosk on QtWebEngine, the default, with the
#      suite's Qt: Qt 5.15 on Debian 12, Qt 6 on Debian 13; TESSAL_QT=5|6
#      asks for the other, and install-deps.sh then installs it too) and,
#      where QtWebKit exists (Debian 12), the kiosk built with it in
#      ./build-webkit (what its test set, label "kiosk", needs); then the
#      whole test suite on the first and the kiosk's set on the second;
#   4. the Debian packages installed on booted Debian 12 and 13 systems.
#      Their build roots and root file systems are made beside the builds
#      (on a first run they take longer than both builds), and waited for
#      before any test runs, so no test shares the machine with them.
# The closing lines: a table of the stages (passed, FAILED, skipped or not
# run, each with its reason and time), what was skipped and why, the count
# of what ran, and, when the command fails, a last line
# "FAILED: <stage>: <reason>".
set -uo pipefail
cd "$(dirname "$0")/.."
# shellcheck disable=SC1091
SUITE=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
case ${TESSAL_QT:-} in
'') case $SUITE in bookworm) TESSAL_QT=5 ;; *) TESSAL_QT=6 ;; esac ;;
5 | 6) ;;
*)
  echo "test.sh: TESSAL_QT is 5 or 6, not '$TESSAL_QT'" >&2
  exit 2
  ;;
esac
export TESSAL_QT
BUILD_DIR=${BUILD_DIR:-build}
WEBKIT_BUILD_DIR=${WEBKIT_BUILD_DIR:-build-webkit}
mkdir -p "$BUILD_DIR/logs"
LOGS=$(cd "$BUILD_DIR/logs" && pwd)
STAGES=$LOGS/stages.tsv
: >"$STAGES"
rm -f "$LOGS"/ctest*.txt "$LOGS"/install-*.txt "$LOGS/prepare.txt"
T0=$(date +%s)

# The stages in their order. In the closing count the ctest stages count
# their tests and each install test counts as one (tools/test-summary.py).
NAMES=(
  "install the Debian packages (tools/install-deps.sh)"
  "check what every stage needs"
  "build (QtWebEngine, Qt $TESSAL_QT)"
  "build (QtWebKit)"
  "the install tests' build roots, made beside the builds (the wait after them)"
  "tests (QtWebEngine, Qt $TESSAL_QT)"
  "kiosk tests (QtWebKit)"
  "install test (Debian 12)"
  "install test (Debian 13)"
)
declare -A DONE=()
FAILED=
PREPARE_PID=

# record STATUS SECONDS NAME [REASON]
record() {
  DONE[$3]=1
  printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "${4:-}" >>"$STAGES"
  case $1 in
  passed | failed) printf -- '-- %s: %s (%d s)%s\n' "$3" "$1" "$2" "${4:+: $4}" ;;
  skipped) printf -- '-- %s: skipped (%s)\n' "$3" "$4" ;;
  FAILED)
    printf -- '-- %s: FAILED in %d s: %s\n' "$3" "$2" "$4"
    FAILED="$3: $4"
    ;;
  esac
}

# The closing lines, on every way out.
finish() {
  local name
  [ -n "$PREPARE_PID" ] && kill -- "-$PREPARE_PID" 2>/dev/null
  for name in "${NAMES[@]}"; do
    [ -n "${DONE[$name]:-}" ] && continue
    if [ -n "$FAILED" ]; then
      record "not run" 0 "$name" "an earlier stage failed"
    else
      record "not run" 0 "$name" "the command was interrupted"
    fi
  done
  # The table in the stages' order, whatever order they were decided in.
  for name in "${NAMES[@]}"; do
    awk -F '\t' -v n="$name" '$3 == n' "$STAGES"
  done >"$STAGES.sorted"
  mv "$STAGES.sorted" "$STAGES"
  grep -q "	the command was interrupted$" "$STAGES" && FAILED="interrupted"
  echo
  /usr/bin/python3 tools/test-summary.py "$BUILD_DIR" --stages "$STAGES" \
    "$LOGS/ctest.txt" "$LOGS/ctest-webkit.txt" || true
  printf 'total: %d s\n' "$(($(date +%s) - T0))"
  if [ -n "$FAILED" ]; then
    echo "FAILED: $FAILED"
    exit 1
  fi
  exit 0
}
trap finish EXIT
trap 'exit 130' INT TERM

begin() {
  STAGE=$1
  STAGE_T=$(date +%s)
  printf '\n== [%d s] %s\n' "$((STAGE_T - T0))" "$STAGE"
}
took() { echo "$(($(date +%s) - STAGE_T))"; }
# fail_stage REASON: the current stage failed; nothing after it runs.
fail_stage() {
  record FAILED "$(took)" "$STAGE" "$1"
  exit 1
}
# cannot_run NAME REASON: a later stage cannot run, found by the checks: the
# command fails now, naming that stage.
cannot_run() {
  record FAILED 0 "$1" "$2"
  record FAILED "$(took)" "$STAGE" "$1 cannot run"
  FAILED="$1: $2"
  exit 1
}

# --- 1. packages -------------------------------------------------------------
begin "${NAMES[0]}"
bash tools/install-deps.sh 2>&1 | tee "$LOGS/install-deps.txt"
if [ "${PIPESTATUS[0]}" -ne 0 ]; then
  why=$(grep '^install-deps: ' "$LOGS/install-deps.txt" | head -n 1 | sed 's/^install-deps: //')
  fail_stage "${why:-see $LOGS/install-deps.txt}"
fi
record passed "$(took)" "$STAGE"

# --- 2. what every stage needs ----------------------------------------------------
begin "${NAMES[1]}"
WEBKIT_SKIP=
if ! pkg-config --exists Qt5WebKitWidgets 2>/dev/null; then
  if [ "$SUITE" = bookworm ]; then
    cannot_run "${NAMES[3]}" "QtWebKit missing on Debian 12 (libqt5webkit5-dev; tools/install-deps.sh installs it)"
  fi
  WEBKIT_SKIP="QtWebKit is not available here (Debian 13 has none)"
fi
declare -A INSTALL_SKIP=()
RUNNABLE=()
for suite in bookworm trixie; do
  case $suite in bookworm) name=${NAMES[7]} ;; *) name=${NAMES[8]} ;; esac
  out=$(BUILD_DIR="$BUILD_DIR" bash tests/install/install_test.sh --suite "$suite" --check 2>&1)
  case $? in
  0) RUNNABLE+=("$suite") ;;
  77) INSTALL_SKIP[$suite]=$(printf '%s\n' "$out" | sed -n 's/^.* skipped: //p' | tail -n 1) ;;
  *)
    printf '%s\n' "$out"
    reason=$(printf '%s\n' "$out" | sed -n 's/^.* FAILED: //p' | tail -n 1)
    cannot_run "$name" "${reason:-its check failed: $(printf '%s' "$out" | tail -n 1)}"
    ;;
  esac
done
for suite in "${RUNNABLE[@]}"; do echo "install test ($suite): can run"; done
for suite in "${!INSTALL_SKIP[@]}"; do echo "install test ($suite): will be skipped: ${INSTALL_SKIP[$suite]}"; done
[ -n "$WEBKIT_SKIP" ] && echo "QtWebKit: will be skipped: $WEBKIT_SKIP"
record passed "$(took)" "$STAGE"

# The install tests' build roots and root file systems, beside the build.
# A process group of its own (setsid), so that a stop ends all of it.
if [ ${#RUNNABLE[@]} -gt 0 ]; then
  rm -f "$LOGS/prepare.end"
  BUILD_DIR="$BUILD_DIR" END="$LOGS/prepare.end" setsid bash -c 'for suite; do
      bash tests/install/install_test.sh --suite "$suite" --prepare || exit 1
    done
    date +%s >"$END"' prepare "${RUNNABLE[@]}" >"$LOGS/prepare.txt" 2>&1 &
  PREPARE_PID=$!
  echo "(making the install tests' build roots beside the build: $LOGS/prepare.txt)"
fi
PREPARE_T=$(date +%s)
# wait_prepare: before the first test, so no test shares the machine with it.
wait_prepare() {
  begin "${NAMES[4]}"
  if [ -z "$PREPARE_PID" ]; then
    record skipped 0 "$STAGE" "no install test runs here"
    return 0
  fi
  local ok=1
  wait "$PREPARE_PID" || ok=0
  PREPARE_PID=
  cat "$LOGS/prepare.txt"
  if [ $ok -eq 1 ]; then
    record passed "$(took)" "$STAGE" "made in $(($(cat "$LOGS/prepare.end") - PREPARE_T)) s"
  else
    # Not the command's failure: the install test makes what is missing
    # again and reports what fails.
    record failed "$(took)" "$STAGE" "the install tests try again ($LOGS/prepare.txt)"
  fi
}

launcher=()
if command -v ccache >/dev/null; then
  # A rebuild of the same sources, in this clone or another, compiles little.
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$PWD
fi

# ctest_stage LOG BUILD [ctest args]: runs ctest, records the stage.
ctest_stage() {
  local log=$1 dir=$2 failed
  shift 2
  (cd "$dir" && ctest --output-on-failure -j2 --timeout 600 "$@") 2>&1 | tee "$log"
  if [ "${PIPESTATUS[0]}" -ne 0 ]; then
    failed=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' "$log" | tr '\n' ' ')
    fail_stage "$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1 | sed 's/.*, //')${failed:+: $failed}"
  fi
  record passed "$(took)" "$STAGE"
}

# --- 3. both builds, while the build roots are made; then the tests ------------
begin "${NAMES[2]}"
{
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAL_WEB_ENGINE=webengine \
    -DTESSAL_QT="$TESSAL_QT" "${launcher[@]}" &&
    cmake --build "$BUILD_DIR" -j"$(nproc)"
} 2>&1 | tee "$LOGS/build.txt"
if [ "${PIPESTATUS[0]}" -ne 0 ]; then
  fail_stage "$(grep -m1 -E 'error|Error' "$LOGS/build.txt" || echo 'see '"$LOGS/build.txt")"
fi
record passed "$(took)" "$STAGE"

# The kiosk on QtWebKit: only what its test set needs is built.
begin "${NAMES[3]}"
if [ -n "$WEBKIT_SKIP" ]; then
  record skipped 0 "$STAGE" "$WEBKIT_SKIP"
else
  {
    cmake -S . -B "$WEBKIT_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAL_WEB_ENGINE=webkit -DTESSAL_QT=5 \
      "${launcher[@]}" &&
      KIOSK_TARGETS=$(cd "$WEBKIT_BUILD_DIR" && ctest -N -L kiosk | sed -n 's/^ *Test *#[0-9]*: //p') &&
      # shellcheck disable=SC2046
      cmake --build "$WEBKIT_BUILD_DIR" -j"$(nproc)" --target tessalview tupsend plinthd plinthctl mbscripts_listener \
        $(for t in $KIOSK_TARGETS; do case $t in tst_*) echo "$t" ;; esac; done)
  } 2>&1 | tee "$LOGS/build-webkit.txt"
  if [ "${PIPESTATUS[0]}" -ne 0 ]; then
    fail_stage "$(grep -m1 -E 'error|Error' "$LOGS/build-webkit.txt" || echo 'see '"$LOGS/build-webkit.txt")"
  fi
  record passed "$(took)" "$STAGE"
fi
wait_prepare

begin "${NAMES[5]}"
ctest_stage "$LOGS/ctest.txt" "$BUILD_DIR"

begin "${NAMES[6]}"
if [ -n "$WEBKIT_SKIP" ]; then
  record skipped 0 "$STAGE" "$WEBKIT_SKIP"
else
  ctest_stage "$LOGS/ctest-webkit.txt" "$WEBKIT_BUILD_DIR" -L kiosk
fi

# --- 4. the packages on booted Debian 12 and 13 ------------------------------------
for suite in bookworm trixie; do
  case $suite in bookworm) begin "${NAMES[7]}" ;; *) begin "${NAMES[8]}" ;; esac
  if [ -n "${INSTALL_SKIP[$suite]:-}" ]; then
    record skipped 0 "$STAGE" "${INSTALL_SKIP[$suite]}"
    continue
  fi
  BUILD_DIR="$BUILD_DIR" bash tests/install/install_test.sh --suite "$suite" 2>&1 | tee "$LOGS/install-$suite.txt"
  case ${PIPESTATUS[0]} in
  0) record passed "$(took)" "$STAGE" ;;
  77) record skipped "$(took)" "$STAGE" "$(sed -n 's/^.* skipped: //p' "$LOGS/install-$suite.txt" | tail -n 1)" ;;
  *)
    reason=$(sed -n 's/^ *FAIL: //p; s/^.* FAILED: //p' "$LOGS/install-$suite.txt" | tail -n 1)
    fail_stage "${reason:-see $LOGS/install-$suite.txt}"
    ;;
  esac
done
