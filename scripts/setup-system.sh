#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Does nothing when they are all present already.
set -euo pipefail

PACKAGES=(
  g++ make cmake
  python3 python3-dev python3-venv python3-pip python3-setuptools
  pybind11-dev python3-pybind11
  python3-serial python3-pytest
  libgtest-dev socat
  clang libclang-rt-14-dev valgrind
  mosquitto mosquitto-clients python3-paho-mqtt python3-protobuf openssl
  chromium chromium-driver python3-selenium
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
