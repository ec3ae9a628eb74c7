# Sourced by the scripts that work in Debian roots (as root): making one once, mounting into it,
# and unmounting everything on exit.

# debootstrap's own default source unless QMN_DEBIAN_MIRROR names one.
qmn_mirror=(${QMN_DEBIAN_MIRROR:+"$QMN_DEBIAN_MIRROR"})
qmn_mounted=()

qmn_unmount_all() {
    for ((i = ${#qmn_mounted[@]} - 1; i >= 0; i--)); do
        umount "${qmn_mounted[i]}" 2>/dev/null || umount -l "${qmn_mounted[i]}" 2>/dev/null || true
    done
    qmn_mounted=()
}

# qmn_mount_into ROOT SOURCE TARGET MOUNT-OPTIONS...: TARGET is relative to ROOT.
qmn_mount_into() {
    mkdir -p "$1/$3"
    mount "${@:4}" "$2" "$1/$3"
    qmn_mounted+=("$1/$3")
}

# qmn_mount_system ROOT: /proc, /dev and the name servers, as a chroot needs them.
qmn_mount_system() {
    cp /etc/resolv.conf "$1/etc/resolv.conf"
    qmn_mount_into "$1" proc proc -t proc
    qmn_mount_into "$1" /dev dev --bind
    qmn_mount_into "$1" /dev/pts dev/pts --bind
}

# qmn_make_root CODENAME DIR: a minimal root of that release in DIR, made once; a root that
# debootstrap did not finish is made again.
qmn_make_root() {
    if [[ -f $2/.qmn-complete ]]; then
        echo "reusing the $1 root in $2"
        return
    fi
    echo "making a $1 root in $2"
    rm -rf "$2"
    mkdir -p "$2"
    debootstrap --variant=minbase "$1" "$2" "${qmn_mirror[@]}" >"$2.log" 2>&1 ||
        { tail -n 20 "$2.log" >&2; return 1; }
    touch "$2/.qmn-complete"
}
