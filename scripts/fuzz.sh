#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour checks on) in a build
# folder of their own, then runs each from its committed corpus for FUZZ_SECONDS (default 60).
# A crash fails the run; its input is kept in the artifacts folder, to be added under
# fuzz/regressions/<target>/ where the normal suite replays it.
#
#   FUZZ_SECONDS    seconds per target (default 60)
#   FUZZ_BUILD_DIR  build folder (default <repo>/build-fuzz)
#   FUZZ_TARGETS    targets to run (default: all four)
#   FUZZ_JOBS       ninja jobs (default 2)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD_DIR:-$repo/build-fuzz}"
targets=(${FUZZ_TARGETS:-primary_lines secondary_poll numbers identifier})
jobs="${FUZZ_JOBS:-2}"

cxx="$(command -v clang++-14 || command -v clang++ || true)"
fuzzer_rt="$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null | head -n1 || true)"
if [[ -z "$cxx" || -z "$fuzzer_rt" ]]; then
    echo "fuzz: installing clang-14 and its libFuzzer runtime"
    if [[ $(id -u) -ne 0 ]]; then
        echo "fuzz: clang-14 and libclang-rt-14-dev are needed (apt-get install as root)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q clang-14 libclang-rt-14-dev ||
        { apt-get update -q && apt-get install -y -q clang-14 libclang-rt-14-dev; }
    cxx="$(command -v clang++-14)"
fi

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$cxx" -DNP_FUZZ=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
ninja -C "$build" -j"$jobs" $(printf 'fuzz_%s ' "${targets[@]}")

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LC_ALL=C.UTF-8
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
status=0
for t in "${targets[@]}"; do
    work="$(mktemp -d)"
    log="$build/fuzz/fuzz_$t.log"
    echo "fuzz: $t for ${seconds}s"
    # New inputs go to the scratch folder; the committed corpus is only read.
    if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=16384 -print_final_stats=1 -artifact_prefix="$artifacts/${t}-" \
        "$work" "$repo/fuzz/corpus/$t" >"$log" 2>&1; then
        grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
        grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9a-zA-Z]+' "$log" | tail -n1 || true
    else
        status=1
        echo "fuzz: $t FAILED; the input is in $artifacts (add it to fuzz/regressions/$t/)" >&2
        tail -n 40 "$log" >&2
    fi
    rm -rf "$work"
done
exit $status
