#!/usr/bin/env bash
# Installs the package in a clean root of its release (this machine's unless told), checks its
# units offline, boots the root with systemd-nspawn and tries the package there as a user whose
# systemd runs (package-session.sh), purges it, and compares the root's files before the install
# and after the purge. As root.
#
#   package-check.sh PACKAGE.deb PEERS [CODENAME]   PEERS: the demo's message server and its
#                                                   messages; CODENAME: the release the package
#                                                   is for, default this machine's
set -euo pipefail
deb=$(realpath "$1")
peers=$(realpath "$2")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=debian-root.sh
source "$here/debian-root.sh"
codename=${3:-$(. /etc/os-release && echo "$VERSION_CODENAME")}
cache=/var/cache/quorin-msg-notification
work=$(mktemp -d /var/tmp/qmn-package.XXXXXX)
nspawn=
trap 'halt_root; qmn_unmount_all; rm -rf "$work"' EXIT
user=quser
started=$SECONDS

# A copy of a clean root, made once per release; packages fetched are kept between runs.
qmn_make_root "$codename" "$cache/$codename-clean"
target="$work/root"
cp -a "$cache/$codename-clean" "$target"
mount_root() {
    qmn_mount_system "$target"
    mkdir -p "$cache/$codename-archives"
    qmn_mount_into "$target" "$cache/$codename-archives" var/cache/apt/archives --bind
}
# systemd-analyze --user wants a runtime folder even offline.
in_root() {
    chroot "$target" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb XDG_RUNTIME_DIR=/run/user/0 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# The booted root: systemd as its PID 1, only loopback for a network. No system bus runs outside
# to register with, and the check runs in no unit of its own.
boot_root() {
    qmn_unmount_all
    systemd-nspawn --boot --register=no --keep-unit --private-network -D "$target" \
        >"$work/boot.log" 2>&1 </dev/null &
    nspawn=$!
    leader=
    # The container's namespaces, its root and folder named one by one: --all leaves the root
    # of a chroot that runs this script (the Debian 13 lane) at the host's.
    enter=(nsenter -m -u -i -n -p -C -r -w -t)
    # The container's PID 1 once it is systemd, and then its answer once it has finished booting.
    local state=
    for _ in $(seq 300); do
        [[ -n $leader ]] || leader=$(pgrep -P "$nspawn" -x systemd || true)
        if [[ -n $leader ]]; then
            # "offline" until systemd has made /run/systemd/system.
            state=$("${enter[@]}" "$leader" systemctl is-system-running --wait 2>/dev/null || true)
            [[ -n $state && $state != offline ]] && break
        fi
        sleep 0.2
    done
    [[ $state == running ]] || {
        echo "package-check: the booted root is ${state:-not up}:" >&2
        tail -n 20 "$work/boot.log" >&2
        [[ -z $leader ]] || "${enter[@]}" "$leader" systemctl --failed --no-pager >&2 || true
        return 1
    }
}
in_box() {
    "${enter[@]}" "$leader" /usr/bin/env -i LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
halt_root() {
    [[ -n $nspawn ]] || return 0
    in_box systemctl poweroff >/dev/null 2>&1 || kill "$nspawn" 2>/dev/null || true
    for _ in $(seq 300); do
        kill -0 "$nspawn" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$nspawn" 2>/dev/null || true
    wait "$nspawn" 2>/dev/null || true
    nspawn=
}

# What the package depends on, a system to boot with a user bus under systemd, and the
# notification stand-in; a user whose systemd starts with the machine.
echo "package-check: preparing a clean $codename root"
mount_root
in_root apt-get update -qq
DEBIAN_FRONTEND=noninteractive in_root apt-get satisfy -y -qq --no-install-recommends \
    "$(dpkg-deb -f "$deb" Depends), systemd, systemd-sysv, libpam-systemd, dbus-user-session," \
    "python3-dbusmock" >"$work/satisfy.log" 2>&1 ||
    { tail -n 20 "$work/satisfy.log" >&2; exit 1; }
in_root useradd --create-home --shell /bin/bash "$user"
uid=$(in_root id -u "$user")
mkdir -p "$target/var/lib/systemd/linger"
touch "$target/var/lib/systemd/linger/$user"
mkdir -p "$target/opt/qmn-check"
cp -r "$peers/." "$here/package-session.sh" "$target/opt/qmn-check/"
cat >"$target/opt/qmn-check/stand-in-browser" <<'EOF'
#!/bin/sh
# The default browser: notes its process and link, and stays, as a browser does.
echo "$$ $1" >"/tmp/stand-in-browser.$(id -u)"
exec sleep 600
EOF
chmod -R a+rX "$target/opt/qmn-check"
chmod a+x "$target/opt/qmn-check/stand-in-browser"
# A first boot writes what every boot finds then; the comparison starts after it.
boot_root
halt_root
mount_root
files() {
    in_root find / -xdev \( -path /proc -o -path /dev -o -path /tmp -o -path /run \
        -o -path /var/cache/apt/archives -o -path /var/log/journal -o -path "/home/$user" \) \
        -prune -o -print | LC_ALL=C sort
}
files >"$work/before"

cp "$deb" "$target/tmp/package.deb"
in_root dpkg -i /tmp/package.deb >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; exit 1; }
echo "package-check: installed $(in_root dpkg-query -W -f='${Package} ${Version}' quorin-msg-notification)"
in_root systemctl --user is-enabled --global quorin-msg-notification-query.timer |
    sed 's/^/package-check: the timer for every user: /'

units=/usr/lib/systemd/user/quorin-msg-notification
mkdir -p -m 700 "$target/run/user/0"
in_root systemd-analyze --version | head -n 1
in_root systemd-analyze --user verify --man=no "$units.service" "$units-query.service" \
    "$units-query.timer"
echo "package-check: systemd-analyze --user verify: no complaint"
for limit in quorin-msg-notification.service=4.0 quorin-msg-notification-query.service=3.5; do
    unit=${limit%=*}
    exposure=$(in_root systemd-analyze security --offline=yes --user "/usr/lib/systemd/user/$unit" |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    echo "package-check: exposure of $unit: ${exposure:-none} (at most ${limit#*=})"
    awk -v e="${exposure:-99}" -v m="${limit#*=}" 'BEGIN { exit !(e + 0 <= m + 0) }'
done

echo "package-check: booting the root with systemd-nspawn"
booted=$SECONDS
boot_root
# nspawn hides the host's kernel log behind a deleted FIFO on /proc/kmsg, which a unit with
# ProtectKernelLogs= and PrivateUsers= cannot mount over (226/NAMESPACE); a machine has none.
in_box umount /proc/kmsg
as_user() {
    in_box runuser -u "$user" -- /usr/bin/env HOME="/home/$user" USER="$user" LOGNAME="$user" \
        XDG_RUNTIME_DIR="/run/user/$uid" DBUS_SESSION_BUS_ADDRESS="unix:path=/run/user/$uid/bus" \
        "$@"
}
[[ $(as_user timeout 60 systemctl --user is-system-running --wait) == running ]] ||
    { echo "package-check: the user's systemd did not come up" >&2; exit 1; }
as_user bash /opt/qmn-check/package-session.sh /opt/qmn-check
echo "package-check: the checks in the booted root took $((SECONDS - booted)) s"
halt_root
mount_root

in_root dpkg --purge quorin-msg-notification >"$work/purge.log" 2>&1 ||
    { cat "$work/purge.log" >&2; exit 1; }
echo "package-check: left in the user's home, as for any package: $(cd "$target/home/$user" &&
    find .config/quorin .local/share/quorin -mindepth 1 -maxdepth 1 | paste -sd ' ')"
files >"$work/after"
echo "package-check: the root's files before the install and after the purge:"
if diff "$work/before" "$work/after" >"$work/diff"; then
    echo "  the same ($(wc -l <"$work/before") paths)"
else
    sed 's/^/  /' "$work/diff"
    echo "package-check: the purge left files behind or took some" >&2
    exit 1
fi
echo "package-check: passed in $((SECONDS - started)) s"
