#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs every test:
# a short bounded fuzz run of the core, the C++ unit tests (ctest) and the
# Python tests (pytest, which include the fault-injection and soak tests).
#   MEW_FUZZ_SECONDS  seconds per fuzz target (default 20; 0 skips fuzzing)
#   MEW_SOAK_SECONDS  length of the soak test (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-system.sh
scripts/build.sh
fuzz_seconds=${MEW_FUZZ_SECONDS:-20}
if [ "$fuzz_seconds" -gt 0 ]; then
    scripts/fuzz.sh "$fuzz_seconds"
fi
(cd build && ctest --output-on-failure)
PYTHONPATH="$PWD/build:$PWD" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests "$@"
