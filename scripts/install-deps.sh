#!/usr/bin/env bash
# Installs every Debian package Halvern needs to build, test and run. Safe to run again.
set -euo pipefail

PACKAGES=(
  g++ clang cmake ninja-build pkg-config ccache git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libssl-dev zlib1g-dev nlohmann-json3-dev
  libplist-dev libusbmuxd-dev libimobiledevice-dev python3 openssl libphonenumber-dev
  qt6-base-dev libqt6opengl6-dev qt6-tools-dev qt6-webengine-dev qt6-pdf-dev
  libqt6svg6 fonts-dejavu-core
  qt6-multimedia-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
