#!/usr/bin/env bash
# Installs what the tests need, checks the layers' includes, builds from scratch and runs every
# test: the normal build, then the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer.
#   scripts/test.sh            both builds
#   NP_SKIP_SANITIZE=1 scripts/test.sh   the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --test
# Layers point one way; a wrong include fails the run before anything is built.
scripts/check-layers.sh

jobs=$(nproc)
run_suite() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
}

# Warnings are errors in both builds.
run_suite build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
if [[ -z "${NP_SKIP_SANITIZE:-}" ]]; then
    # Leaks are reported too; tests/lsan.supp names the one-time allocations of the libraries
    # underneath that live until the process ends.
    ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS=print_stacktrace=1 \
        run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DNP_SANITIZE=ON \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
fi
