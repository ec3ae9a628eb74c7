#!/usr/bin/env bash
# The second lane: builds a copy of the checkout in a Debian 13 root (Qt 6.8, g++ 14) and runs the
# whole suite there, with tools/test.sh inside the root; with --package, the Debian package built
# and linted there instead, then checked from here in a clean Debian 13 root
# (tools/lib/package-check.sh); with --desktops, the suite and then the desktop matrix (tools/desktops.sh).
#
# The root is made with debootstrap from Debian's registry once and kept outside the checkout, in
# QMN_DEBIAN13_ROOT (default /var/cache/quorin-msg-notification/debian13); later runs reuse it
# and install only what the dependency script finds missing. Whatever this script mounts is
# unmounted on every exit. Runs as root, or through sudo.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ $(id -u) -ne 0 ]]; then
    exec sudo --preserve-env=QMN_DEBIAN13_ROOT,QMN_DEBIAN_MIRROR "$0" "$@"
fi
"$root/tools/install-deps.sh" --debian13

# shellcheck source=lib/debian-root.sh
source "$root/tools/lib/debian-root.sh"
chroot_dir=${QMN_DEBIAN13_ROOT:-/var/cache/quorin-msg-notification/debian13}
started=$SECONDS
trap qmn_unmount_all EXIT
qmn_make_root trixie "$chroot_dir"
qmn_mount_system "$chroot_dir"

# shellcheck source=lib/checkout.sh
source "$root/tools/lib/checkout.sh"
qmn_copy_checkout "$root" "$chroot_dir/src"

# --package: the Debian package of Debian 13 instead, built, linted and checked there;
# --desktops: the suite, then the desktop matrix on Debian 13's notification services.
case ${1:-} in
--package) inside=(/src/tools/package.sh /src/build-package) ;;
--desktops) inside=(/bin/sh -c '/src/tools/test.sh && /src/tools/desktops.sh /src/build-test') ;;
*) inside=(/src/tools/test.sh "$@") ;;
esac
chroot "$chroot_dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    ${QMN_DEBIAN_MIRROR:+QMN_DEBIAN_MIRROR="$QMN_DEBIAN_MIRROR"} \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${inside[@]}"
if [[ ${1:-} == --package ]]; then
    # The package's check boots a clean Debian 13 root with this machine's systemd-nspawn: run
    # from inside a chroot, nspawn boots it, but the kernel refuses user namespaces to processes
    # under a chroot, and the service's unit (PrivateUsers=yes) could not start there.
    qmn_unmount_all
    out="$chroot_dir/src/build-package"
    "$root/tools/lib/package-check.sh" "$(ls "$out"/quorin-msg-notification_*.deb)" "$out/peers" trixie
fi
echo "test-debian13: passed in $((SECONDS - started)) s"
