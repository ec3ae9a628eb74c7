#!/usr/bin/env bash
# Installs what is missing, builds in build/ and runs the demo: a demo message server, the
# stand-alone service with its files in build/demo, two cycles and a summary.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/tools/install-deps.sh"
build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMN_BUILD_TESTS=OFF \
    -DQMN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)"
exec "$root/tools/demo.sh" "$build"
