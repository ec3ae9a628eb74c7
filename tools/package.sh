#!/usr/bin/env bash
# Builds the Debian package of this machine's release from a copy of the checkout, with the suite
# run at build time, and checks it and its source with lintian (pedantic): an error or a warning
# fails. With
# --check it then installs the package in a clean root of the same release, boots that root with
# systemd-nspawn, tries the package there as a user of a real systemd user manager, and purges it
# (tools/lib/package-check.sh; as root, through sudo when needed).
#
#   tools/package.sh [--check] [OUT]     packages, build log and lintian's report in OUT
#                                        (default build-package/)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
check=
if [[ ${1:-} == --check ]]; then
    check=1
    shift
fi
out=$(realpath -m "${1:-$root/build-package}")
"$root/tools/install-deps.sh" --package

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src="$work/quorin-msg-notification"
mkdir -p "$out"
# shellcheck source=lib/checkout.sh
source "$root/tools/lib/checkout.sh"
qmn_copy_checkout "$root" "$src"
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo "$out"/*.dsc "$out"/*.tar.xz
# The source package too, from the untouched copy, so that lintian reads the source's files.
(cd "$work" && dpkg-source -b quorin-msg-notification >/dev/null)
echo "package: building (log in $out/build.log)"
started=$SECONDS
if ! (cd "$src" && dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1; then
    tail -n 40 "$out/build.log" >&2
    echo "package: the build failed, see $out/build.log" >&2
    exit 1
fi
echo "package: built in $((SECONDS - started)) s"
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$work"/*.dsc "$work"/*.tar.xz "$out/"
# The demo's message server and sample data, for the cycles of the check: built with the
# package, never in it.
rm -rf "$out/peers"
mkdir -p "$out/peers"
cp "$src"/obj-*/tools/quorin-msg-notification-demo-server "$out/peers/"
cp -r "$src/data/demo/." "$out/peers/"

echo "package: lintian --pedantic on $(. /etc/os-release && echo "$PRETTY_NAME")"
lintian --version
status=0
lintian --pedantic --fail-on error,warning "$out"/*.dsc "$out"/*.changes >"$out/lintian.txt" 2>&1 ||
    status=$?
grep -v 'running with root privileges' "$out/lintian.txt" || echo "(no tags)"
((status == 0)) || { echo "package: lintian found errors or warnings" >&2; exit 1; }

[[ -n $check ]] || exit 0
deb=$(ls "$out"/quorin-msg-notification_*.deb)
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo --preserve-env=QMN_DEBIAN_MIRROR)
"${sudo[@]}" "$root/tools/lib/package-check.sh" "$deb" "$out/peers"
