#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages (12 or 13) that building (and, with --test, testing)
# needs; --package what building and checking the Debian package needs; --debian13 what the
# Debian 13 lane needs on the host; --desktops what the desktop matrix needs. Only what is missing
# is installed, through sudo when not root.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qt6-base-dev libqt6sql6-sqlite qt6-l10n-tools
    libglib2.0-dev
    dbus-daemon dbus-bin libglib2.0-bin sqlite3
)
case ${1:-} in
--test) packages+=(binutils openssl tzdata nginx tinyproxy-bin desktop-file-utils) ;;
--fuzz) packages+=(clang libclang-rt-14-dev) ;;
--package) packages+=(binutils openssl tzdata nginx tinyproxy-bin desktop-file-utils build-essential
    debhelper dpkg-dev lintian debootstrap systemd-container procps) ;;
--debian13) packages=(debootstrap git tar systemd-container procps) ;;
--desktops)
    # The real notification services and what drives them: a display, a pointer, screenshots,
    # a stand-in logind for GNOME Shell, and the bus tools.
    packages+=(python3 python3-dbusmock gjs gnome-shell xfce4-notifyd notification-daemon
        lxqt-notificationd dunst xvfb xdotool imagemagick systemd dbus-bin)
    ;;
esac

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
    sudo=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# The tests start nginx (and tinyproxy, whose -bin package has no service) themselves, on
# loopback ports: nginx's package must not start a system-wide daemon. Without a policy of the
# machine's own, one that forbids starting any service holds for this installation.
policy=/usr/sbin/policy-rc.d
if [[ ! -e $policy ]]; then
    trap '"${sudo[@]}" rm -f "$policy"' EXIT
    printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
    "${sudo[@]}" chmod 755 "$policy"
fi
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
