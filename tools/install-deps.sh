#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and demo the system.
# Idempotent: does nothing when everything is already installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  qtbase5-dev libqt5webkit5-dev libqt5svg5-dev qttools5-dev-tools
  libmodbus-dev libdbus-1-dev libcjson-dev libgtest-dev
  dbus xvfb xauth socat mbpoll python3-pymodbus libglib2.0-bin
  x11-apps imagemagick netpbm iproute2 util-linux procps fonts-dejavu-core libxtst6
  clang libclang-rt-14-dev strace
  libsystemd-dev
  debhelper lintian mmdebstrap systemd-container ccache
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
