#!/usr/bin/env bash
# Installs the package in a clean root of this machine's release, tries it there, purges it, and
# compares the root's files before the install and after the purge. As root.
#
#   package-check.sh PACKAGE.deb PEERS      PEERS: the demo's message server and console
#                                           notification service, and its messages
set -euo pipefail
deb=$(realpath "$1")
peers=$(realpath "$2")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=debian-root.sh
source "$here/debian-root.sh"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
cache=/var/cache/quorin-msg-notification
work=$(mktemp -d /var/tmp/qmn-package.XXXXXX)
trap 'qmn_unmount_all; rm -rf "$work"' EXIT

# A copy of a clean root, made once per release; packages fetched are kept between runs.
qmn_make_root "$codename" "$cache/$codename-clean"
target="$work/root"
cp -a "$cache/$codename-clean" "$target"
qmn_mount_system "$target"
mkdir -p "$cache/$codename-archives"
qmn_mount_into "$target" "$cache/$codename-archives" var/cache/apt/archives --bind
# systemd-analyze --user wants a runtime folder even offline.
in_root() {
    chroot "$target" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb XDG_RUNTIME_DIR=/run/user/0 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# What the package depends on, and systemd for the unit checks, before the first look.
echo "package-check: preparing a clean $codename root"
in_root apt-get update -qq
DEBIAN_FRONTEND=noninteractive in_root apt-get satisfy -y -qq --no-install-recommends \
    "$(dpkg-deb -f "$deb" Depends), systemd" >"$work/satisfy.log" 2>&1 ||
    { tail -n 20 "$work/satisfy.log" >&2; exit 1; }
files() {
    in_root find / -xdev \( -path /proc -o -path /dev -o -path /tmp -o -path /run \
        -o -path /var/cache/apt/archives \) -prune -o -print | LC_ALL=C sort
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

# The query program on an empty home, and a cycle through D-Bus activation. No user systemd runs
# in a chroot, so the D-Bus file starts the service itself there, without the sandbox.
if [[ -d /run/systemd/system ]]; then
    echo "package-check: no user systemd in a chroot: the cycle runs without the unit's sandbox"
else
    echo "package-check: this machine was not booted with systemd, so no user systemd can run here:" \
        "the cycle runs without the unit's sandbox"
fi
mkdir -p "$target/tmp/peers"
cp -r "$peers/." "$here/package-cycle.sh" "$target/tmp/peers/"
in_root bash /tmp/peers/package-cycle.sh /tmp/peers

in_root dpkg --purge quorin-msg-notification >"$work/purge.log" 2>&1 ||
    { cat "$work/purge.log" >&2; exit 1; }
files >"$work/after"
echo "package-check: the root's files before the install and after the purge:"
if diff "$work/before" "$work/after" >"$work/diff"; then
    echo "  the same ($(wc -l <"$work/before") paths)"
else
    sed 's/^/  /' "$work/diff"
    echo "package-check: the purge left files behind or took some" >&2
    exit 1
fi
