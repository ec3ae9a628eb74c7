#!/usr/bin/env bash
# Installs what is missing, builds in build/ and runs the stand-alone service on the session bus
# (a private bus when none is reachable), then asks it what it offers.
# --serve keeps it running until Ctrl-C.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/private-bus.sh
source "$root/tools/lib/private-bus.sh"

"$root/tools/install-deps.sh"
build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target qmn_standalone

demo="$build/demo"
mkdir -p "$demo"
# Configuration and data of the run stay inside the build tree.
export XDG_CONFIG_HOME="$demo/config" XDG_DATA_HOME="$demo/data" XDG_CACHE_HOME="$demo/cache"

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

if qmn_session_bus_reachable; then
    echo "== using the session bus $DBUS_SESSION_BUS_ADDRESS"
else
    qmn_start_private_bus "$demo/bus"
    pids+=("$QMN_BUS_PID")
    echo "== no session bus reachable: private bus $DBUS_SESSION_BUS_ADDRESS"
fi

service=com.quorin.MsgNotification
path=/com/quorin/MsgNotification
"$build/quorin-msg-notification" &
pids+=("$!")

ask() { dbus-send --session --print-reply --dest="$service" "$path" "$@"; }
for _ in $(seq 100); do
    ask org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1 && break
    sleep 0.1
done

echo "== Instance"
ask "$service.Instance" >/dev/null
echo "== version"
ask org.freedesktop.DBus.Properties.Get string:"$service" string:version | tail -n 1
echo "== running"
ask org.freedesktop.DBus.Properties.Get string:"$service" string:running | tail -n 1
echo "== introspection"
ask org.freedesktop.DBus.Introspectable.Introspect | sed -n '/interface name="com.quorin/,/<\/interface>/p'

if [[ ${1:-} == --serve ]]; then
    echo "== serving as $service; Ctrl-C stops"
    wait "${pids[-1]}"
fi
