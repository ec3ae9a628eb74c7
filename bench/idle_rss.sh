#!/usr/bin/env bash
# Prints the idle resident memory of the stand-alone service, on a private bus in a throw-away home.
set -euo pipefail
program=${1:?usage: idle_rss.sh PATH-TO-quorin-msg-notification}
source "$(dirname "${BASH_SOURCE[0]}")/../tools/lib/private-bus.sh"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache
qmn_start_private_bus "$work/bus"
pids+=("$QMN_BUS_PID")

"$program" 2>/dev/null &
pids+=("$!")
for _ in $(seq 100); do
    dbus-send --session --print-reply --dest=com.quorin.MsgNotification /com/quorin/MsgNotification \
        org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1 && break
    sleep 0.1
done
sleep 1
echo "idle VmRSS of the stand-alone service: $(awk '/^VmRSS/ {print $2, $3}' "/proc/${pids[-1]}/status")"
echo "idle VmHWM of the stand-alone service: $(awk '/^VmHWM/ {print $2, $3}' "/proc/${pids[-1]}/status")"
