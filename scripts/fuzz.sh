#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (build-fuzz/, or
# $MEW_FUZZ_BUILD_DIR) and runs each for a bounded time:
#   scripts/fuzz.sh [seconds-per-target] [target...]
# Targets: codec, slave, master (all by default); 20 seconds each unless
# told otherwise. Each run starts from a copy of the committed seed corpus
# in the build directory, which it grows; the committed corpus is never
# written. Crashing inputs land in build-fuzz/crashes/<target>/. Exits
# non-zero when any target crashed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(codec slave master)
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "usage: $0 [seconds-per-target] [codec|slave|master ...]" >&2
    exit 2
fi

missing=()
for p in clang libclang-rt-14-dev cmake make; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    echo "Installing: ${missing[*]}"
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

dir=${MEW_FUZZ_BUILD_DIR:-build-fuzz}
cmake -S fuzz -B "$dir" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$dir" -j"$(nproc)"
dir=$(cd "$dir" && pwd)

# Every report must end the run and leave its input behind.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1}

status=0
summary=()
for t in "${targets[@]}"; do
    bin=$dir/fuzz_$t
    if [ ! -x "$bin" ]; then
        echo "fuzz.sh: no target $t" >&2
        exit 2
    fi
    work=$dir/corpus/$t
    crashes=$dir/crashes/$t
    mkdir -p "$work" "$crashes"
    cp -n fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
    log=$dir/fuzz_$t.log
    echo "== fuzz_$t: $seconds s"
    rc=0
    # -timeout: one input that hangs (a query waiting forever) is a finding.
    dict=()
    [ -f fuzz/"$t".dict ] && dict=(-dict=fuzz/"$t".dict)
    # MEW_FUZZ_RUNS ends a target after that many executions, if sooner.
    runs_limit=()
    [ -n "${MEW_FUZZ_RUNS:-}" ] && runs_limit=(-runs="$MEW_FUZZ_RUNS")
    "$bin" "$work" "${dict[@]}" "${runs_limit[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$crashes/" >"$log" 2>&1 || rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    corpus=$(ls "$work" | wc -l)
    if [ $rc -ne 0 ]; then
        status=1
        tail -n 40 "$log"
        summary+=("fuzz_$t: CRASHED after ${runs:-?} executions, see $log and $crashes/")
    else
        summary+=("fuzz_$t: ${runs:-?} executions, corpus $corpus inputs, no crash")
    fi
done

printf '%s\n' "${summary[@]}"
exit $status
