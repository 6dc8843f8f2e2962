#!/usr/bin/env bash
# The configure-time choice of the kiosk's Qt: the default follows what is
# installed, QtWebKit never comes with Qt 6, a wrong value or a missing Qt 6
# stops the configuration with one line saying why, and a build directory
# keeps the Qt it was first configured with.
#
#   kiosk_qt_choice.sh SOURCE_DIR
set -uo pipefail
SRC=$1/tests/tessalview/qtchoice
WORK=$(mktemp -d /tmp/kiosk-qt-choice.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# configure NAME ARGS...: configures a fresh directory; its output in NAME.log.
configure() {
  local name=$1
  shift
  cmake -S "$SRC" -B "$WORK/$name" "$@" >"$WORK/$name.log" 2>&1
}
chosen() { cat "$WORK/$1/chosen" 2>/dev/null; }
# refused NAME TEXT ARGS...: the configuration fails and says TEXT.
refused() {
  local name=$1 text=$2
  shift 2
  if configure "$name" "$@"; then
    fail "$name: configured ($(chosen "$name")), expected a refusal"
  elif ! grep -qF -- "$text" "$WORK/$name.log"; then
    fail "$name: refused without saying '$text':"
    sed 's/^/    /' "$WORK/$name.log"
  fi
}
# picks NAME EXPECTED ARGS...: the configuration succeeds with EXPECTED.
picks() {
  local name=$1 expected=$2
  shift 2
  if ! configure "$name" "$@"; then
    fail "$name: not configured:"
    sed 's/^/    /' "$WORK/$name.log"
  elif [ "$(chosen "$name")" != "$expected" ]; then
    fail "$name: chose '$(chosen "$name")', expected '$expected'"
  fi
}

refused webkit-qt6 "TESSAL_WEB_ENGINE=webkit needs TESSAL_QT=5" -DTESSAL_QT=6 \
  -DTESSAL_WEB_ENGINE=webkit
refused qt7 "TESSAL_QT must be 5 or 6, not '7'" -DTESSAL_QT=7
refused no-engine "TESSAL_WEB_ENGINE must be webengine or webkit, not 'gecko'" -DTESSAL_QT=5 \
  -DTESSAL_WEB_ENGINE=gecko
# Debian 13's machines may have Qt 6 alone.
qt5=0
installed qtbase5-dev && installed qtdeclarative5-dev && installed qtwebengine5-dev && qt5=1
if [ $qt5 -eq 1 ]; then
  picks qt5 "5 webengine" -DTESSAL_QT=5
elif ! installed qtbase5-dev; then
  refused qt5 "TESSAL_QT=5 needs the package qtbase5-dev" -DTESSAL_QT=5
fi
if installed libqt5webkit5-dev; then
  # QtWebKit asks for Qt 5 whatever else is installed.
  picks webkit-default "5 webkit" -DTESSAL_WEB_ENGINE=webkit
fi
if installed qt6-webengine-dev; then
  picks default "6 webengine"
  picks qt6 "6 webengine" -DTESSAL_QT=6
  # Given once, the choice stays with the directory: configured again
  # without it, a Qt 5 build stays on Qt 5 beside an installed Qt 6.
  if [ $qt5 -eq 1 ]; then
    configure qt5
    [ "$(chosen qt5)" = "5 webengine" ] || fail "qt5: a second configuration chose '$(chosen qt5)'"
  fi
else
  picks default "5 webengine"
  if ! installed qt6-base-dev; then
    refused qt6 "TESSAL_QT=6 needs the package qt6-base-dev" -DTESSAL_QT=6
  else
    refused qt6 "needs the package qt6-webengine-dev" -DTESSAL_QT=6
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "OK: the kiosk's Qt is chosen as configured"
