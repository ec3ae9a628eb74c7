# Sourced by the scripts: starts a private session dbus-daemon in a given folder.
# qmn_start_private_bus DIR: exports DBUS_SESSION_BUS_ADDRESS and sets QMN_BUS_PID.
qmn_start_private_bus() {
    local dir=$1 output
    mkdir -p "$dir"
    cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$dir</listen>
  <auth>EXTERNAL</auth>
  <limit name="max_incoming_bytes">1000000000</limit>
  <limit name="max_outgoing_bytes">1000000000</limit>
  <limit name="max_message_size">1000000000</limit>
  <limit name="service_start_timeout">120000</limit>
  <limit name="max_completed_connections">100000</limit>
  <limit name="max_names_per_connection">50000</limit>
  <limit name="max_match_rules_per_connection">50000</limit>
  <limit name="max_replies_per_connection">50000</limit>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
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
