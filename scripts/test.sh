#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs every test:
# the C++ unit tests (ctest) and the Python tests (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-system.sh
scripts/build.sh
(cd build && ctest --output-on-failure)
PYTHONPATH="$PWD/build" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests "$@"
