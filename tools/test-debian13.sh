#!/usr/bin/env bash
# The second lane: builds a copy of the checkout in a Debian 13 root (Qt 6.8, g++ 14) and runs the
# whole suite there, with tools/test.sh inside the root.
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

chroot_dir=${QMN_DEBIAN13_ROOT:-/var/cache/quorin-msg-notification/debian13}
# debootstrap's own default source unless QMN_DEBIAN_MIRROR names one.
mirror=(${QMN_DEBIAN_MIRROR:+"$QMN_DEBIAN_MIRROR"})
started=$SECONDS

mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null || true
    done
}
trap cleanup EXIT
mount_into() {
    mkdir -p "$chroot_dir/$2"
    mount "${@:3}" "$1" "$chroot_dir/$2"
    mounted+=("$chroot_dir/$2")
}

# A root is complete only once debootstrap has finished; a broken one is made again.
if [[ ! -f $chroot_dir/.qmn-complete ]]; then
    echo "test-debian13: making a Debian 13 root in $chroot_dir"
    rm -rf "$chroot_dir"
    mkdir -p "$chroot_dir"
    debootstrap --variant=minbase trixie "$chroot_dir" "${mirror[@]}" >"$chroot_dir.log" 2>&1 ||
        { tail -n 20 "$chroot_dir.log" >&2; exit 1; }
    touch "$chroot_dir/.qmn-complete"
else
    echo "test-debian13: reusing the Debian 13 root in $chroot_dir"
fi
cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf"
mount_into proc proc -t proc
mount_into /dev dev --bind
mount_into /dev/pts dev/pts --bind

# A fresh copy of the checkout's files, without its builds.
rm -rf "$chroot_dir/src"
mkdir -p "$chroot_dir/src"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$root" ls-files -z --cached --others --exclude-standard |
        tar -C "$root" --null -T - -cf - | tar -C "$chroot_dir/src" -xf -
else
    tar -C "$root" --exclude='./build*' -cf - . | tar -C "$chroot_dir/src" -xf -
fi

chroot "$chroot_dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /src/tools/test.sh "$@"
echo "test-debian13: passed in $((SECONDS - started)) s"
