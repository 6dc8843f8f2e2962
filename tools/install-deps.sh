#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and demo the system on
# this machine (Debian 12 or 13). Idempotent: does nothing when everything is
# already installed.
#
#   tools/install-deps.sh          everything the README's two commands use
#   tools/install-deps.sh --list   print the package list, one a line, and
#                                  install nothing
#   TESSAL_QT=5|6 tools/install-deps.sh
#                                  that Qt for the kiosk as well
#
# The kiosk's Qt is the suite's: Qt 5.15 on Debian 12 (where QtWebKit, a Qt 5
# module, is built beside it), Qt 6 on Debian 13. TESSAL_QT adds the other
# one (tools/test.sh passes it on).
#
# That includes what the build roots need on this machine (mmdebstrap,
# qemu-user-static and binfmt-support): the install tests build their
# packages in a build root, and every root holds armhf beside amd64, so
# the README's test command needs them as much as tools/test-armhf.sh does.
# (One root per suite serves both architectures: an amd64-only root for the
# install tests would be a second root to make per suite.) The armhf
# libraries and the cross toolchain live in the build root
# (tools/buildroot.sh), never here: this machine's architecture list is not
# touched.
#
# A failing 'apt-get update' (a mirror that is syncing, one index of an
# unexpected size) is retried; when it still fails, the install goes on from
# the indexes apt already has, and only when a package then cannot be
# installed does the script stop, naming the index and the packages at
# fault.
set -euo pipefail

LIST=0
for arg in "$@"; do
  case $arg in
  --list) LIST=1 ;;
  *)
    echo "usage: $0 [--list]" >&2
    exit 2
    ;;
  esac
done

# shellcheck disable=SC1091
SUITE=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")

QT5=(
  qtbase5-dev qtwebengine5-dev libqt5svg5-dev qttools5-dev-tools
  qtdeclarative5-dev qtvirtualkeyboard-plugin qml-module-qtquick-virtualkeyboard
  qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-layouts
  qml-module-qt-labs-folderlistmodel
)
# The turned screen's touches use QtGui's private headers on Qt 6.
QT6=(
  qt6-base-dev qt6-base-private-dev qt6-declarative-dev qt6-webengine-dev qt6-qpa-plugins
  qt6-virtualkeyboard-plugin qml6-module-qtquick-virtualkeyboard qml6-module-qtquick
  qml6-module-qtquick-window qml6-module-qtquick-layouts qml6-module-qtqml-workerscript
  qml6-module-qt-labs-folderlistmodel
)
PACKAGES=(
  build-essential cmake pkg-config hunspell-en-us
  libmodbus-dev libdbus-1-dev libcjson-dev libssl-dev openssl libgtest-dev
  python3 dbus xvfb xauth socat mbpoll python3-pymodbus libglib2.0-bin
  x11-apps xdotool imagemagick netpbm iproute2 util-linux procps fonts-dejavu-core libxtst6
  clang strace openssl
  libsystemd-dev
  debhelper lintian systemd-container ccache
  help2man groff-base patch xz-utils
  mmdebstrap qemu-user-static binfmt-support dosfstools
)
# The keyboard's key icons are SVG: Qt 6.8 has its SVG plugins in a package
# of their own, Qt 6.4 in the library's.
case $SUITE in
bookworm) QT6+=(libqt6svg6) ;;
*) QT6+=(qt6-svg-plugins) ;;
esac
case $SUITE in
# QtWebKit is in Debian 12 only; so is clang 14's runtime (libFuzzer, ASan).
bookworm) PACKAGES+=("${QT5[@]}" libqt5webkit5-dev libclang-rt-14-dev) ;;
*) PACKAGES+=("${QT6[@]}" libclang-rt-dev) ;;
esac
case ${TESSAL_QT:-}:$SUITE in
'':* | 5:bookworm | 6:trixie) ;;
5:*) PACKAGES+=("${QT5[@]}") ;;
6:*) PACKAGES+=("${QT6[@]}") ;;
*)
  echo "install-deps: TESSAL_QT is 5 or 6, not '$TESSAL_QT'" >&2
  exit 2
  ;;
esac

if [ $LIST -eq 1 ]; then
  printf '%s\n' "${PACKAGES[@]}"
  exit 0
fi

RECORD=/var/lib/tessal-dev/install-deps.installed

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
updated=0
update_failure=""

say() { echo "install-deps: $*" >&2; }

# apt_update: up to three tries. What stays failing is remembered (the
# indexes apt names), not fatal: the indexes already on this machine may do.
apt_update() {
  local try err
  err=$(mktemp)
  for try in 1 2 3; do
    if $SUDO apt-get update -qq -o Acquire::Retries=3 2>"$err"; then
      rm -f "$err"
      update_failure=""
      return 0
    fi
    update_failure=$(grep -E '^(E|W): ' "$err" | grep -E 'Failed to fetch|Hash Sum|File has unexpected size|Release' |
      sed 's/^/    /' | head -n 5 || true)
    [ -n "$update_failure" ] || update_failure=$(tail -n 3 "$err" | sed 's/^/    /')
    [ $try -lt 3 ] && {
      say "apt-get update failed (try $try of 3), retrying in $((try * 10)) s"
      sleep $((try * 10))
    }
  done
  rm -f "$err"
  say "apt-get update still fails; going on with the indexes this machine has. At fault:"
  printf '%s\n' "$update_failure" >&2
  return 0
}

# install_missing package...
install_missing() {
  local missing=() p out status
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  if [ $updated -eq 0 ]; then
    apt_update
    updated=1
  fi
  status=0
  out=$($SUDO apt-get install -y -qq "${missing[@]}" 2>&1) || status=$?
  printf '%s\n' "$out" | grep -v -E '^(Selecting|Preparing|Unpacking|Setting up|Processing)' | grep -v '^\s*$' | tail -n 15 || true
  if [ $status -eq 0 ]; then
    # What this script installed, kept across runs: tools/purge-deps.sh
    # purges it, also after the list here no longer names it.
    $SUDO mkdir -p "$(dirname "$RECORD")"
    printf '%s\n' "${missing[@]}" | $SUDO tee -a "$RECORD" >/dev/null
    return 0
  fi
  say "cannot install the packages this project needs."
  local named
  named=$(printf '%s\n' "$out" | grep -E "Unable to locate package|has no installation candidate|Depends: |Conflicts: |Breaks: |held broken packages" |
    sed 's/^/    /' | head -n 12 || true)
  [ -n "$named" ] && {
    say "apt names:"
    printf '%s\n' "$named" >&2
  }
  [ -n "$update_failure" ] && {
    say "the package indexes could not all be refreshed, which may be the cause:"
    printf '%s\n' "$update_failure" >&2
  }
  exit 1
}

install_missing "${PACKAGES[@]}"
