#!/usr/bin/env bash
# Sets up the machine, builds, and runs every benchmark into one report:
# build/bench-report/report.md with bench-latency.png beside it.
# Arguments go to bench/report.py (--quick, --out DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-system.sh
# Only the report draws a picture, so the build and the tests go without it.
if ! dpkg-query -W -f='${Status}' python3-matplotlib 2>/dev/null | grep -q "install ok installed"; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "Installing: python3-matplotlib"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends python3-matplotlib
fi
scripts/build.sh
BUILD_DIR=$(cd "${MEW_BUILD_DIR:-build}" && pwd)
PYTHONPATH="$BUILD_DIR:$PWD${PYTHONPATH:+:$PYTHONPATH}" exec /usr/bin/python3 bench/report.py --build-dir "$BUILD_DIR" "$@"
