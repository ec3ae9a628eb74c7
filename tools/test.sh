#!/usr/bin/env bash
# Installs what is missing, builds from scratch in build-test/ and runs the whole suite.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/tools/install-deps.sh" --test

build="$root/build-test"
rm -rf "$build"
jobs=$(nproc)
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMN_BUILD_TESTS=ON
cmake --build "$build" --parallel "$jobs"
cd "$build"
ctest --output-on-failure --parallel "$jobs" "$@"
