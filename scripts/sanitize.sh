#!/usr/bin/env bash
# Builds with sanitizers in a directory of its own and runs the tests under
# them:
#   scripts/sanitize.sh address   AddressSanitizer and UndefinedBehaviorSanitizer
#                                 (build-asan): C++ tests, then the Python tests
#   scripts/sanitize.sh thread    ThreadSanitizer (build-tsan): C++ tests
# Further arguments go to pytest. Exits non-zero when any run failed.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
address)
    sanitize=address,undefined
    dir=${MEW_BUILD_DIR:-build-asan}
    targets=(--target all)
    ;;
thread)
    sanitize=thread
    dir=${MEW_BUILD_DIR:-build-tsan}
    targets=(--target mew_cpp_tests)
    ;;
*)
    echo "usage: $0 address|thread [pytest arguments]" >&2
    exit 2
    ;;
esac
shift

cmake -S . -B "$dir" -DPython_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMEW_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
dir=$(cd "$dir" && pwd)

# A report must fail the run, not scroll past in the output.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
export ASAN_OPTIONS=detect_stack_use_after_return=1:strict_init_order=1
status=0

(cd "$dir" && ctest --output-on-failure) || status=1

if [[ $sanitize == address* ]]; then
    # The interpreter is not instrumented, so the runtime the module was
    # linked with has to be loaded before anything else. The C++ library
    # comes with it: the runtime finds the real __cxa_throw only in a library
    # that is there when it starts, and the interpreter does not load
    # libstdc++ itself. The interpreter keeps objects alive until exit by
    # design: leaks are not findings here. pytest captures the standard error
    # stream, and a report that ends the process would be lost with it, so
    # reports go to files of their own.
    module=$(ls "$dir"/b4k_mew*.so)
    libasan=$(ldd "$module" | awk '/libasan|libclang_rt\.asan/ {print $3}')
    libstdcxx=$(ldd "$module" | awk '/libstdc\+\+/ {print $3}')
    if [[ -z $libasan || -z $libstdcxx ]]; then
        echo "sanitize.sh: $module is not linked with libasan and libstdc++" >&2
        exit 1
    fi
    reports=$dir/sanitizer-reports
    rm -rf "$reports" && mkdir -p "$reports"
    LD_PRELOAD="$libasan $libstdcxx" ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0:log_path=$reports/asan \
        UBSAN_OPTIONS=$UBSAN_OPTIONS:log_path=$reports/ubsan PYTHONPATH="$dir" \
        /usr/bin/python3 -m pytest -q -p no:cacheprovider tests "$@" || status=1
    if compgen -G "$reports/*" >/dev/null; then
        cat "$reports"/*
        status=1
    fi
fi

if [[ $status == 0 ]]; then echo "sanitize.sh $sanitize: all tests passed"; else echo "sanitize.sh $sanitize: FAILED"; fi
exit $status
