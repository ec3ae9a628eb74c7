#!/usr/bin/env bash
# Tells which deliberate faults the test suite catches. Each line of tools/mutants/faults.tsv is
# one fault: it is applied alone in a scratch copy of the checkout, the copy is built and the
# suite runs (stopping at the first failing test); then the file is put back.
#
#   tools/mutants.sh [N...]           all faults, or only those numbered N (1 is the first line)
#   tools/mutants.sh --matrix [N...]  the whole suite for each fault, and every test function it
#                                     fails listed in $QMN_MUTANTS_DIR/matrix.tsv: before a test
#                                     goes, which of its faults others still catch
#
# QMN_MUTANTS_DIR (default /tmp/qmn-mutants) holds the copy and its build; it is made afresh on
# each run. A developer's tool: CI does not run it. Prints one table row per fault, with how long
# the suite ran before it caught the fault, and exits 1 when a fault goes uncaught.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
list="$root/tools/mutants/faults.tsv"
scratch=${QMN_MUTANTS_DIR:-/tmp/qmn-mutants}
jobs=$(nproc)
stop=(--stop-on-failure)
if [[ ${1:-} == --matrix ]]; then
    stop=()
    shift
fi

rm -rf "$scratch"
# shellcheck source=lib/checkout.sh
source "$root/tools/lib/checkout.sh"
qmn_copy_checkout "$root" "$scratch/src"
build="$scratch/build"
cmake -S "$scratch/src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMN_BUILD_TESTS=ON \
    -DQMN_BUILD_BENCH=OFF >"$scratch/configure.log"

# The suite; prints the failing tests, or nothing when all pass.
suite() {
    if (cd "$build" && ctest --parallel "$jobs" "${stop[@]}" --timeout 300 \
        >"$scratch/ctest.log" 2>&1); then
        return 0
    fi
    sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' "$scratch/ctest.log" | paste -sd ' ' -
    return 1
}

# The test functions the last suite run failed, QtTest's "FAIL!  : Class::function(row)".
failedFunctions() {
    sed -n 's/^FAIL!  : \([A-Za-z0-9_]*::[A-Za-z0-9_]*\).*/\1/p' \
        "$build/Testing/Temporary/LastTest.log" | sort -u | paste -sd ' ' -
}

cmake --build "$build" --parallel "$jobs" >"$scratch/build.log" 2>&1 ||
    { echo "mutants: the unchanged copy does not build, see $scratch/build.log" >&2; exit 1; }
suite >/dev/null || { echo "mutants: the unchanged copy fails its suite, see $scratch/ctest.log" >&2; exit 1; }

wanted=("$@")
missed=0
n=0
echo "| # | fault | file | caught by | suite s |"
echo "|---|---|---|---|---|"
while IFS=$'\t' read -r file original replacement description; do
    [[ -z $file || $file == \#* ]] && continue
    n=$((n + 1))
    if ((${#wanted[@]} > 0)) && [[ ! " ${wanted[*]} " == *" $n "* ]]; then
        continue
    fi
    target="$scratch/src/$file"
    cp "$target" "$scratch/original"
    ORIGINAL=$original REPLACEMENT=$replacement perl -0777 -i -pe '
        my $at = index($_, $ENV{ORIGINAL});
        die "not found\n" if $at < 0 || index($_, $ENV{ORIGINAL}, $at + 1) >= 0;
        substr($_, $at, length $ENV{ORIGINAL}) = $ENV{REPLACEMENT};' "$target"
    seconds=
    if ! cmake --build "$build" --parallel "$jobs" >"$scratch/build.log" 2>&1; then
        verdict="does not build"
    else
        started=$SECONDS
        if failing=$(suite); then
            verdict="**MISSED**"
            missed=$((missed + 1))
        else
            verdict=$failing
        fi
        seconds=$((SECONDS - started))
        ((${#stop[@]} > 0)) ||
            printf '%s\t%s\t%s\n' "$n" "$verdict" "$(failedFunctions)" >>"$scratch/matrix.tsv"
    fi
    echo "| $n | $description | \`${file#src/}\` | $verdict | $seconds |"
    # A fresh time stamp, so that the next build compiles the original again.
    cp "$scratch/original" "$target"
    touch "$target"
done <"$list"
cmake --build "$build" --parallel "$jobs" >/dev/null 2>&1 || true
echo
echo "missed: $missed"
((missed == 0))
