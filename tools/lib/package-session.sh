#!/usr/bin/env bash
# Inside a booted root with the package installed, as a user whose systemd runs (linger): what the
# user's own session does with the package. The demo's message server and a notification
# service (python3-dbusmock's, with actions) stand in for the store and the desktop, a script
# that waits for the browser. Prints what it saw; any departure fails.
#
#   package-session.sh PEERS      PEERS: the demo's server and messages, the browser stand-in
set -euo pipefail
peers=$1
unit=quorin-msg-notification.service
query=quorin-msg-notification-query
say() { echo "package-check: $*"; }
fail() {
    echo "package-check: $*" >&2
    # What the user's systemd says of the service, for whoever reads a failed run.
    systemctl --user status --no-pager --lines=30 "$unit" >&2 || true
    exit 1
}
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT

# Waits up to ten seconds for a command to succeed.
await() {
    for _ in $(seq 100); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}
service_pid() { systemctl --user show -p MainPID --value "$unit"; }
# The service's lines in the journal, all of them and those after the first $1.
journal() { journalctl --user --no-pager -q -o cat _SYSTEMD_USER_UNIT="$unit"; }
journal_after() { journal | tail -n "+$(($1 + 1))"; }

say "the timer: $(systemctl --user is-enabled quorin-msg-notification-query.timer)," \
    "$(systemctl --user is-active quorin-msg-notification-query.timer)"
[[ $(systemctl --user is-active quorin-msg-notification-query.timer) == active ]] ||
    fail "the timer does not run in a session that started after the install"

# The peers: the store, the desktop's notifications, the default browser. The store has the
# demo's messages but those whose image is missing on purpose: that failure is a warning in every
# cycle, which a healthy store does not cause.
mkdir "$work/store"
cp -r "$peers/images" "$work/store/"
/usr/bin/python3 -c '
import json, os, sys
store = sys.argv[1]
with open(sys.argv[2]) as f:
    data = json.load(f)
data["messages"] = [m for m in data["messages"]
                    if os.path.exists(os.path.join(store, m.get("imgUrl") or "images"))]
with open(os.path.join(store, "messages.json"), "w") as f:
    json.dump(data, f)' "$work/store" "$peers/messages.json"
"$peers/quorin-msg-notification-demo-server" --port 0 --data "$work/store/messages.json" \
    >"$work/server.log" 2>&1 &
pids+=($!)
await grep -q 'listening on' "$work/server.log" || fail "the demo server did not start"
config="$HOME/.config/quorin/quorin-msg-notification"
mkdir -p "$config"
printf '[General]\nserver=%s\n' "$(sed -n 's/^listening on //p' "$work/server.log")" \
    >"$config/quorin-msg-notification.conf"
/usr/bin/python3 -m dbusmock --session --template notification_daemon \
    -p '{"capabilities": "body actions"}' -l "$work/notifications.log" >/dev/null 2>&1 &
pids+=($!)
await gdbus introspect --session --dest org.freedesktop.Notifications \
    --object-path /org/freedesktop/Notifications || fail "the notification stand-in did not start"
mkdir -p "$HOME/.local/share/applications"
printf '[Desktop Entry]\nType=Application\nName=Browser\nExec=%s %%u\n' \
    "$peers/stand-in-browser" >"$HOME/.local/share/applications/stand-in-browser.desktop"
printf '[Default Applications]\nx-scheme-handler/https=stand-in-browser.desktop\n' \
    >"$HOME/.config/mimeapps.list"
sleep 1
touch "$work/stamp"

# The first cycle, started as the timer starts it: the call activates the unit.
before=$(journal | wc -l)
started=$SECONDS
"$query" --wait --timeout 60 >"$work/query.log" || fail "the first cycle failed: $(cat "$work/query.log")"
pid=$(service_pid)
((pid > 0)) || fail "the call did not start $unit"
shown=$(grep -c ' Notify ' "$work/notifications.log" || true)
say "a call activated $unit (PID $pid) and its first cycle showed $shown messages" \
    "in $((SECONDS - started)) s"
((shown > 0)) || fail "the first cycle showed nothing"

# Its sandbox, as the kernel sees it.
status=$(cat "/proc/$pid/status")
grep -q '^NoNewPrivs:[[:space:]]*1' <<<"$status" || fail "the service may gain privileges"
grep -q '^Seccomp:[[:space:]]*2' <<<"$status" || fail "the service has no system call filter"
[[ $(readlink "/proc/$pid/ns/mnt") != "$(readlink /proc/self/ns/mnt)" ]] ||
    fail "the service shares the session's mounts"
# The mount /home is on there (the last one mounted at /home, or else at /).
home_options=$(awk '$5 == "/home" { home = $6 } $5 == "/" { root = $6 }
    END { print (home != "" ? home : root) }' "/proc/$pid/mountinfo")
[[ $home_options == ro* ]] || fail "the service can write /home ($home_options)"
say "its sandbox: NoNewPrivs, a seccomp filter, a mount namespace of its own, /home read-only"
sleep 1
first=$(journal_after "$before")
say "the journal of the first cycle: $(grep -c . <<<"$first" || true) lines"
[[ -z $first ]] || sed 's/^/  /' <<<"$first"

# A second cycle: the events of the first go up, the server has nothing new.
before=$(journal | wc -l)
"$query" --wait --timeout 60 >"$work/query.log" || fail "the second cycle failed"
grep -q 'POST events: [1-9]' "$work/server.log" || fail "the second cycle uploaded nothing"
grep -q 'not modified since' "$work/server.log" || fail "the second cycle fetched again"
sleep 1
second=$(journal_after "$before")
say "the second cycle uploaded $(grep 'POST events' "$work/server.log" | tail -n 1 |
    sed 's/^POST events: \([0-9]*\).*/\1/') events, the server had nothing new;" \
    "its journal: $(grep -c . <<<"$second" || true) lines"
[[ -z $second ]] || { sed 's/^/  /' <<<"$second"; fail "a cycle with nothing new wrote to the journal"; }

# The timer's one-shot, in its own sandbox without a network.
systemctl --user start quorin-msg-notification-query.service ||
    fail "the timer's one-shot failed: $(systemctl --user status quorin-msg-notification-query.service)"
say "the timer's one-shot: $(systemctl --user show -p Result --value quorin-msg-notification-query.service)"

written=$(find "$HOME" -newer "$work/stamp" -type f \
    ! -path "$HOME/.config/quorin/quorin-msg-notification/*" \
    ! -path "$HOME/.local/share/quorin/quorin-msg-notification/*")
[[ -z $written ]] || fail "written outside the service's two folders: $written"
say "nothing written in the home outside the service's two folders"

# A click on the bubble of the message with a web link, sent from the notification service's
# own connection: the browser it starts outlives gio, the link's unit and the service.
id=$(grep ' Notify ' "$work/notifications.log" | grep -n 'Spring sale' | head -n 1 | cut -d: -f1)
[[ -n $id ]] || fail "no bubble of the message with a web link"
gdbus call --session --dest org.freedesktop.Notifications \
    --object-path /org/freedesktop/Notifications --method org.freedesktop.DBus.Mock.EmitSignal \
    org.freedesktop.Notifications ActionInvoked us "[<uint32 $id>, <'default'>]" >/dev/null
await test -s "/tmp/stand-in-browser.$UID" || fail "a click opened no browser"
read -r browser link <"/tmp/stand-in-browser.$UID"
say "a click opened $link in the browser (PID $browser," \
    "$(sed -n 's|^0::.*/||p' "/proc/$browser/cgroup"))"
sleep 5
systemctl --user stop "$unit"
kill -0 "$browser" 2>/dev/null || fail "the browser did not live 5 s after the click"
say "the browser still runs 5 s later, with the service stopped"
kill "$browser"

# A bus that systemd does not run: the service starts on it, not in the unit, and ends with it.
# shellcheck disable=SC2016
dbus-run-session -- bash -c '
    "$1" --wait --timeout 20 >/dev/null
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.GetConnectionUnixProcessID string:com.quorin.MsgNotification |
        sed -n "s/.*uint32 //p"' bash "$query" >"$work/private-bus" 2>"$work/private-bus.log" ||
    fail "a call on a dbus-run-session bus failed: $(cat "$work/private-bus.log")"
private=$(cat "$work/private-bus")
[[ $private != "$(service_pid)" && $(systemctl --user is-active "$unit") != active ]] ||
    fail "a call on a dbus-run-session bus started the unit"
await bash -c "! kill -0 $private" || fail "the service outlived its dbus-run-session bus"
say "on a dbus-run-session bus the service ran there (PID $private) and ended with that bus"
