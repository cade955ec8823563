#!/usr/bin/env bash
# Configures and builds the core, the extension module and the C++ tests
# into build/ (or $MEW_BUILD_DIR) with Debian's interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${MEW_BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DPython_EXECUTABLE=/usr/bin/python3 "$@" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
