#!/usr/bin/env bash
# The desktop matrix: the service on the real notification services of Debian's packages (GNOME
# Shell, xfce4-notifyd, notification-daemon, lxqt-notificationd, dunst), one scenario each, as a
# user meets it. Installs what is missing, builds BUILD_DIR (default build-test/) when it has no
# service yet, and runs tools/desktops/matrix.py with its results in BUILD_DIR/desktops. Exits 1
# when any cell of the matrix fails.
#
#   tools/desktops.sh [BUILD_DIR] [--services gnome,xfce,...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$root/build-test}")
[[ $# -gt 0 ]] && shift
"$root/tools/install-deps.sh" --desktops
if [[ ! -x $build/quorin-msg-notification ]]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMN_BUILD_TESTS=OFF \
        -DQMN_BUILD_BENCH=OFF
    cmake --build "$build" --parallel "$(nproc)"
fi
started=$SECONDS
/usr/bin/python3 "$root/tools/desktops/matrix.py" --build "$build" --out "$build/desktops" "$@"
echo "desktops: passed in $((SECONDS - started)) s; screenshots and logs in $build/desktops"
