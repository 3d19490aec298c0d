#!/usr/bin/env bash
# Screenshots of the main window on both start pages under Xvfb (needs xvfb, xauth,
# imagemagick, xdotool). Usage: resources/screenshots.sh BUILD_BIN OUT_DIR
# A sample backup folder is written with make-sample-backup so that the list is not empty.
set -euo pipefail
bin="$(cd "$1" && pwd)"; out="$(mkdir -p "$2" && cd "$2" && pwd)"
work="$(mktemp -d)"; trap 'kill "${app:-}" "${xvfb:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/data" "$work/run"; chmod 700 "$work/run"
"$bin/make-sample-backup" "$work/data" > /dev/null
Xvfb :97 -screen 0 1280x800x24 > /dev/null 2>&1 & xvfb=$!
sleep 1
export DISPLAY=:97 XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb
export ASAN_OPTIONS=detect_leaks=0
"$bin/halvern" > "$work/halvern.log" 2>&1 & app=$!
sleep 4
# The window is centred: 1000 x 650 at (140, 75) on a 1280 x 800 screen.
import -window root -crop 1000x650+140+75 "$out/device-page.png"
xdotool mousemove 820 164 click 1; sleep 1
import -window root -crop 1000x650+140+75 "$out/backup-page.png"
echo "screenshots in $out"
