#!/usr/bin/env bash
# Screenshots of the program on a 1366 x 768 screen at 125 % scaling under Xvfb (needs xvfb,
# xauth, imagemagick, xdotool): the first screen with no backup (the empty-list hint), and the
# About box. Then the tests that save their windows (HALVERN_SCREENSHOTS) run on the same
# display: the scan page in each outcome, a selected row, a HEIC preview.
# Usage: resources/screenshots_small_screen.sh BUILD_BIN OUT_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"; out="$(mkdir -p "$2" && cd "$2" && pwd)"
work="$(mktemp -d)"; trap 'kill "${app:-}" "${xvfb:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/data" "$work/run"; chmod 700 "$work/run"
Xvfb :96 -screen 0 1366x768x24 > /dev/null 2>&1 & xvfb=$!
sleep 1
export DISPLAY=:96 XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb
export QT_SCALE_FACTOR=1.25 QTWEBENGINE_DISABLE_SANDBOX=1 ASAN_OPTIONS=detect_leaks=0
"$bin/halvern" > "$work/halvern.log" 2>&1 & app=$!
sleep 5
# The backup page: the option on the right of the source bar.
wid=$(xdotool search --sync --name '^Halvern$' | head -1)
eval "$(xdotool getwindowgeometry --shell "$wid")"
echo "window ${WIDTH}x${HEIGHT} at ${X},${Y} on 1366x768"
xdotool mousemove $((X + WIDTH * 3 / 4 - 60)) $((Y + 60 * 5 / 4 + 48 * 5 / 4)) click 1; sleep 1
import -window root "$out/empty-list-125.png"
# The assist menu (fourth button from the right of the title bar), then About.
xdotool mousemove $((X + WIDTH - 190)) $((Y + 30)) click 1; sleep 1
import -window root "$out/menu-125.png"
xdotool mousemove $((X + WIDTH - 150)) $((Y + 30 + 38 + 60)) click 1; sleep 1
import -window root "$out/about-125.png"
xdotool key Return; sleep 1
kill "$app" 2>/dev/null || true; app=""
unset QT_SCALE_FACTOR
export HALVERN_SCREENSHOTS="$out"
(cd "$bin/.." && ./bin/app_test --gtest_filter='ScanOutcomeTest.*:MainWindowTest.About*:DeviceWiringTest.Unplugged*' > "$work/app_test.log" 2>&1) || tail -30 "$work/app_test.log"
(cd "$bin/.." && ./bin/preview_print_test --gtest_filter='*Heic*' > "$work/preview.log" 2>&1) || tail -30 "$work/preview.log"
echo "screenshots in $out"
