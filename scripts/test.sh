#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs every test:
#   1. a short bounded fuzz run of the core;
#   2. the C++ unit tests (ctest, CMake build in build/) and a quick run of
#      the exchange benchmark against that build (end to end, no times
#      asserted);
#   3. the package as users get it: python -m build makes an sdist and a
#      wheel from that sdist (dist/); the wheel goes into a fresh virtual
#      environment of the default python3 with its test and lint extras from
#      the package index; then b4k-mew --version, the stubs against the
#      module (stubtest), mypy --strict, ruff, and pytest against the
#      installed package (never the checkout's build folder), which include
#      the fault-injection and soak tests;
#   4. the MQTT bridge's tests once more with Debian's interpreter and its
#      paho-mqtt 1.6, on the same wheel;
#   5. pip install -e . in another environment, and a smoke run of it;
#   6. where the machine has a Python 3.9 (pyenv's), the package built and
#      the tools' tests run with it.
# The full pytest run of step 3 comes last; extra arguments go to it.
#   MEW_FUZZ_SECONDS  seconds per fuzz target (default 20; 0 skips fuzzing)
#   MEW_SOAK_SECONDS  length of the soak test (default 60)
#   MEW_PYTHON        the interpreter of the environments (default python3)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup-system.sh
scripts/build.sh
fuzz_seconds=${MEW_FUZZ_SECONDS:-20}
if [ "$fuzz_seconds" -gt 0 ]; then
    scripts/fuzz.sh "$fuzz_seconds"
fi
(cd build && ctest --output-on-failure)

# The exchange benchmark, briefly: it runs end to end; its times are not asserted.
PYTHONPATH="$root/build:$root" /usr/bin/python3 bench/bench_exchange.py --quick

python=${MEW_PYTHON:-python3}
envs=$root/build/envs
rm -rf "$envs" dist
mkdir -p "$envs"
step() { echo "== $*"; }

step "sdist and wheel (python -m build)"
"$python" -m venv "$envs/tools"
"$envs/tools/bin/pip" install -q build auditwheel
"$envs/tools/bin/python" -m build --outdir dist .
wheel=$(ls dist/b4k_mew-*.whl)
"$envs/tools/bin/auditwheel" show "$wheel" | tee "$envs/auditwheel.txt"
grep -q 'platform tag: "manylinux_' "$envs/auditwheel.txt"

step "the wheel in a fresh environment"
"$python" -m venv "$envs/wheel"
"$envs/wheel/bin/pip" install -q "$wheel[test,lint]"
# Away from the checkout, so that nothing of it can be imported by mistake.
(cd "$envs" && "$envs/wheel/bin/b4k-mew" --version && "$envs/wheel/bin/python" -c "import b4k_mew, b4k_mew_tools")
(cd "$envs" && "$envs/wheel/bin/python" -m mypy.stubtest b4k_mew --allowlist "$root/tests/stubtest-allowlist.txt")
"$envs/wheel/bin/mypy" --strict examples b4k_mew_tools
"$envs/wheel/bin/ruff" check .

step "the MQTT bridge with Debian's paho-mqtt"
/usr/bin/python3 -m venv --system-site-packages "$envs/debian"
"$envs/debian/bin/pip" install -q --no-deps "$wheel"
MEW_INSTALLED=wheel "$envs/debian/bin/python" -P -m pytest -q -p no:cacheprovider tests/test_bridge.py
"$envs/debian/bin/python" -c "import paho.mqtt; print('paho-mqtt', paho.mqtt.__version__)"

step "an editable install"
"$python" -m venv "$envs/editable"
"$envs/editable/bin/pip" install -q -e ".[test]"
(cd "$envs" && "$envs/editable/bin/b4k-mew" --version)
MEW_INSTALLED=editable "$envs/editable/bin/pytest" -q -p no:cacheprovider tests/test_package.py tests/test_readme.py

step "the oldest Python claimed (requires-python >= 3.9)"
# pyenv's 3.9 where the machine has one; Debian 12 itself has none.
oldest=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.9*/bin/python3.9 2>/dev/null | tail -n1 || true)
if [ -n "$oldest" ]; then
    "$oldest" -m venv "$envs/oldest"
    "$envs/oldest/bin/pip" install -q ".[test]"
    MEW_INSTALLED=wheel "$envs/oldest/bin/pytest" -q -p no:cacheprovider tests/test_package.py \
        tests/test_readme.py tests/test_bridge.py tests/test_cli.py -m "not soak"
else
    echo "no Python 3.9 on this machine: skipped"
fi

step "every Python test against the installed wheel"
# The entry point, not "python -m pytest", which would put the checkout on
# the path.
MEW_INSTALLED=wheel "$envs/wheel/bin/pytest" -q -p no:cacheprovider tests "$@"
