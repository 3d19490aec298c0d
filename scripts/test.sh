#!/usr/bin/env bash
# Sets up a fresh machine, builds everything and runs every test (the fuzzing run first,
# so that the test runner's summary closes the output).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
status=0
# Qt windows are built offscreen; WebEngine refuses to run as root without this.
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export QTWEBENGINE_DISABLE_SANDBOX=1
if [ -f scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}" || status=$?
fi
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 120) || status=$?
exit $status
