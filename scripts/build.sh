#!/usr/bin/env bash
# Configures and builds Halvern into build/ (AddressSanitizer and UBSan on, as the tests use it).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DHALVERN_SANITIZE=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" "$@"
