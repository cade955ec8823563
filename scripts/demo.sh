#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the module and runs the demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-system.sh
scripts/build.sh
PYTHONPATH="$PWD/build:$PWD" exec /usr/bin/python3 examples/demo.py "$@"
