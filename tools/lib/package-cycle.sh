#!/usr/bin/env bash
# Inside a root with the package installed: the query program on an empty home, then one cycle
# started through D-Bus activation, against the demo message server and the console
# notification service on a session bus of its own.
#
#   package-cycle.sh PEERS      PEERS: the demo's server, notification service and messages
set -euo pipefail
peers=$1
home=$(mktemp -d)
export HOME=$home XDG_RUNTIME_DIR=$home/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
query=quorin-msg-notification-query

"$query" --help >/dev/null
echo "package-cycle: $query --help and --list on an empty home:"
"$query" --list | sed 's/^/  /'

"$peers/quorin-msg-notification-demo-server" --port 0 --data "$peers/messages.json" \
    >"$home/server.log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    grep -q 'listening on' "$home/server.log" && break
    sleep 0.1
done
config="$home/.config/quorin/quorin-msg-notification"
mkdir -p "$config"
printf '[General]\nserver=%s\n' "$(sed -n 's/^listening on //p' "$home/server.log")" \
    >"$config/quorin-msg-notification.conf"

# shellcheck disable=SC2016
dbus-run-session -- bash -c '
    set -euo pipefail
    "$1/quorin-msg-notification-console-notifications" >"$HOME/notifications.log" 2>&1 &
    for _ in $(seq 100); do grep -q ready "$HOME/notifications.log" && break; sleep 0.1; done
    quorin-msg-notification-query --wait --timeout 60 | sed "s/^/  /"
    pid=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.GetConnectionUnixProcessID string:com.quorin.MsgNotification |
        sed -n "s/.*uint32 //p")
    echo "package-cycle: the activated service: $(tr "\0" " " </proc/"$pid"/cmdline)"
    kill "$pid"
    kill %1' bash "$peers"
shown=$(grep -c '^notification ' "$home/notifications.log" || true)
echo "package-cycle: one cycle through D-Bus activation showed $shown notifications"
((shown > 0))
