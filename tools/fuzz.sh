#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang in build-fuzz/ and runs each for SECONDS (default 30)
# on the seeds in tests/fuzz/corpus; a crash fails the run and leaves its input in build-fuzz.
#   tools/fuzz.sh [SECONDS]        for example tools/fuzz.sh 3600 for a long run
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-30}
"$root/tools/install-deps.sh" --fuzz

build="$root/build-fuzz"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DQMN_BUILD_FUZZERS=ON -DQMN_BUILD_TESTS=OFF \
    -DQMN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target fuzz_page fuzz_event fuzz_record fuzz_filename

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
for target in page event record filename; do
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    cp -n "$root/tests/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
    echo "== fuzz_$target for $seconds s"
    (cd "$build" && "./tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        "$corpus" 2>&1 | grep -E 'Done|stat::number_of_executed_units|ERROR|SUMMARY|crash-' )
done
