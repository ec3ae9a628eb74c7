#!/usr/bin/env bash
# One demo of the service with the programs built in BUILD_DIR: a demo message server on
# loopback, the stand-alone service with its files in BUILD_DIR/demo, two cycles, a summary.
# Uses the session bus and its notification service when there is one (and our name is free),
# otherwise a private bus with the console notification service. QMN_DEMO_PRIVATE_BUS=1 forces
# the private bus; QMN_DEMO_CYCLES=N runs N more cycles at the end (memory figures);
# QMN_DEMO_WAIT=S waits S seconds for a cycle instead of 60 (a test's bound).
# Exits 0 when the cycles worked.
set -euo pipefail
build=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/private-bus.sh
source "$root/tools/lib/private-bus.sh"

service=com.quorin.MsgNotification
tools="$build/tools"
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"
# Configuration and data of the demo stay inside the build tree.
export XDG_CONFIG_HOME="$demo/config" XDG_DATA_HOME="$demo/data" XDG_CACHE_HOME="$demo/cache"
config_dir="$XDG_CONFIG_HOME/quorin/quorin-msg-notification"
data_dir="$XDG_DATA_HOME/quorin/quorin-msg-notification"

cycle_wait=${QMN_DEMO_WAIT:-60}
pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

# Waits up to 10 s for a line matching a pattern in a log file.
wait_for_line() {
    for _ in $(seq 100); do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "demo: no '$2' in $1" >&2
    return 1
}
bus_has_owner() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

"$tools/quorin-msg-notification-demo-server" --port 0 >"$demo/server.log" 2>&1 &
pids+=("$!")
wait_for_line "$demo/server.log" 'listening on'
base=$(sed -n 's/^listening on //p' "$demo/server.log")
mkdir -p "$config_dir"
printf '[General]\nserver=%s\n' "$base" >"$config_dir/quorin-msg-notification.conf"
echo "== demo message server at $base"

if [[ -z ${QMN_DEMO_PRIVATE_BUS:-} ]] && qmn_session_bus_reachable &&
    bus_has_owner org.freedesktop.Notifications && ! bus_has_owner "$service"; then
    echo "== session bus and its notification service: the bubbles appear on the desktop"
    notifications="the desktop's notification service"
else
    qmn_start_private_bus "$demo/bus"
    pids+=("$QMN_BUS_PID")
    "$tools/quorin-msg-notification-console-notifications" >"$demo/notifications.log" 2>&1 &
    pids+=("$!")
    wait_for_line "$demo/notifications.log" 'ready'
    echo "== private bus with the console notification service"
    notifications="$demo/notifications.log"
fi

# As the installed unit runs it: warnings only.
QT_LOGGING_RULES="com.quorin.MsgNotification*.debug=false" \
    "$build/quorin-msg-notification" >"$demo/service.log" 2>&1 &
pids+=("$!")
for _ in $(seq 100); do bus_has_owner "$service" && break; sleep 0.1; done
bus_has_owner "$service" || { echo "demo: the service did not start, see $demo/service.log" >&2; exit 1; }
service_pid=${pids[-1]}
rss() { awk '/^VmRSS/ {print $2 " kB"}' "/proc/$service_pid/status"; }
sleep 0.5
idle_rss=$(rss)

echo "== cycle 1: fetch, store, images, notifications"
"$tools/quorin-msg-notification-query" --wait --timeout "$cycle_wait"
if [[ -f $demo/notifications.log ]]; then
    sed -n '/^notification /,$p' "$demo/notifications.log"
fi
echo "== cycle 2: upload the events of cycle 1, nothing new to fetch, show the due messages again"
"$tools/quorin-msg-notification-query" --wait --timeout "$cycle_wait"
wait_for_line "$demo/server.log" 'POST events:'

db="$data_dir/msg_notify.db"
stored=$(sqlite3 "$db" 'SELECT COUNT(*) FROM msg_notify_info')
# Before any further cycle: the messages cycle 2 showed again, in place of their bubbles.
again=$(sqlite3 "$db" 'SELECT COUNT(*) FROM msg_notify_info WHERE notify_times = 2 AND replace_id > 0')
uploaded=$(awk '/^POST events:/ {n += $3} END {print n + 0}' "$demo/server.log")
shown=$(grep -c 'type 2,' "$demo/server.log" || true)
received=$(grep -c 'type 1,' "$demo/server.log" || true)
expected_stored=$(grep -c '"id":' "$root/data/demo/messages.json")

extra=${QMN_DEMO_CYCLES:-0}
if ((extra > 0)); then
    echo "== $extra more cycles"
    "$tools/quorin-msg-notification-query" --wait --timeout "$cycle_wait" --cycles "$extra" |
        tail -n 1
fi

echo "== what the service keeps, as quorin-msg-notification-query --list --status shows it"
"$tools/quorin-msg-notification-query" --list --status

cat <<SUMMARY

== summary
messages stored:        $stored (of $expected_stored sent by the server)
notifications shown:    $shown in cycle 1 ($notifications)
events uploaded:        $uploaded in cycle 2 ($received received, $shown shown)
shown again:            $again in cycle 2, each replacing its bubble of cycle 1 (shown twice now)
configuration:          $config_dir/quorin-msg-notification.conf
database:               $db
image cache:            $data_dir/images ($(ls "$data_dir/images" | wc -l) files)
logs:                   $demo/service.log, $demo/server.log
service memory (VmRSS): $idle_rss idle, $(rss) after $((2 + extra)) cycles
SUMMARY

[[ $stored -eq $expected_stored && $shown -ge 1 && $uploaded -eq $((received + shown)) ]]
