# Sourced by the scripts: starts a private session dbus-daemon in a given folder.
# qmn_start_private_bus DIR: exports DBUS_SESSION_BUS_ADDRESS and sets QMN_BUS_PID.
qmn_start_private_bus() {
    local dir=$1 output
    mkdir -p "$dir"
    sed -e "s|@DIR@|$dir|" -e 's|@SERVICEDIRS@||' "$(dirname "${BASH_SOURCE[0]}")/private-bus.conf" \
        >"$dir/bus.conf"
    output=$(dbus-daemon --config-file="$dir/bus.conf" --fork --print-address=1 --print-pid=1)
    DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$output")
    QMN_BUS_PID=$(sed -n 2p <<<"$output")
    export DBUS_SESSION_BUS_ADDRESS
}

# True when a session bus is reachable with the current environment.
qmn_session_bus_reachable() {
    [[ -n ${DBUS_SESSION_BUS_ADDRESS:-} ]] &&
        dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
            org.freedesktop.DBus.GetId >/dev/null 2>&1
}
