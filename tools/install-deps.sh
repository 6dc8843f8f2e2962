#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and demo the system.
# Idempotent: does nothing when everything is already installed.
#
#   tools/install-deps.sh            the native build, tests and demo
#   tools/install-deps.sh --armhf    also the armhf cross build and its tests
#                                    under qemu-user (tools/test-armhf.sh)
set -euo pipefail

ARMHF=0
for arg in "$@"; do
  case $arg in
    --armhf) ARMHF=1 ;;
    *) echo "usage: $0 [--armhf]" >&2; exit 2 ;;
  esac
done

PACKAGES=(
  build-essential cmake pkg-config
  qtbase5-dev libqt5webkit5-dev qtwebengine5-dev libqt5svg5-dev qttools5-dev-tools
  libmodbus-dev libdbus-1-dev libcjson-dev libgtest-dev
  dbus xvfb xauth socat mbpoll python3-pymodbus libglib2.0-bin
  x11-apps imagemagick netpbm iproute2 util-linux procps fonts-dejavu-core libxtst6
  clang libclang-rt-14-dev strace
  libsystemd-dev
  debhelper lintian mmdebstrap systemd-container ccache
)

# The cross toolchain, the emulator and the armhf libraries. The :armhf
# packages go in without their recommends: with them apt would remove
# unrelated amd64 packages (geoclue, modemmanager and friends).
ARMHF_HOST_PACKAGES=(crossbuild-essential-armhf qemu-user-static binfmt-support ccache)
ARMHF_PACKAGES=(
  qtbase5-dev libqt5webkit5-dev libqt5svg5-dev libmodbus-dev libdbus-1-dev
  libcjson-dev libgtest-dev libsystemd-dev libasan8 libubsan1
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
updated=0

# install_missing [apt options --] package...
install_missing() {
  local opts=()
  if [ "$1" != "${1#-}" ]; then
    while [ "$1" != "--" ]; do opts+=("$1"); shift; done
    shift
  fi
  local missing=() p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  if [ $updated -eq 0 ]; then
    $SUDO apt-get update -qq
    updated=1
  fi
  $SUDO apt-get install -y -qq "${opts[@]}" "${missing[@]}"
}

install_missing "${PACKAGES[@]}"

if [ $ARMHF -eq 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "Adding the armhf architecture"
    $SUDO dpkg --add-architecture armhf
    updated=0
  fi
  install_missing "${ARMHF_HOST_PACKAGES[@]}"
  install_missing --no-install-recommends -- "${ARMHF_PACKAGES[@]/%/:armhf}"
  # Tests start ARM programs directly (scripts, child processes): the kernel
  # must hand them to qemu. Without systemd the entry is installed but off.
  if [ "$(head -n1 /proc/sys/fs/binfmt_misc/qemu-arm 2>/dev/null)" != "enabled" ]; then
    echo "Enabling the qemu-arm binfmt entry"
    $SUDO update-binfmts --enable qemu-arm
  fi
fi
