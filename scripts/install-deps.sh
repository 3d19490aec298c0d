#!/usr/bin/env bash
# Installs every Debian package Halvern needs to build, test and run. Safe to run again.
set -euo pipefail

PACKAGES=(
  g++ clang cmake ninja-build pkg-config ccache git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libssl-dev zlib1g-dev nlohmann-json3-dev libicu-dev
  libplist-dev libusbmuxd-dev libimobiledevice-dev python3 openssl libphonenumber-dev
  qt6-base-dev libqt6opengl6-dev qt6-tools-dev qt6-webengine-dev qt6-pdf-dev
  libqt6svg6 fonts-dejavu-core qt6-translations-l10n
  qt6-multimedia-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
  libheif-dev libheif-examples
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev ffmpeg
  chromium python3-icalendar
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

# One line per step; the package manager's own output only when the step fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
step() {
  local what=$1
  shift
  printf 'install-deps: %s ... ' "$what"
  if "$@" >"$log" 2>&1; then
    echo "done"
  else
    local status=$?
    echo "FAILED (exit status $status)"
    cat "$log" >&2
    exit "$status"
  fi
}
export DEBIAN_FRONTEND=noninteractive
step "updating the package lists" $SUDO apt-get update
step "installing ${#missing[@]} package(s): ${missing[*]}" \
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
