#!/usr/bin/env bash
# Builds the plugin with -Werror and runs its unit and end-to-end tests in a
# Debian root of another release, against the host version that release
# ships: trixie (Wireshark 4.4) or sid (4.6). First it builds the plugin
# alone, as without GTest and benchmark (tests/plain_build_test.sh).
#
# The root is made once with debootstrap and kept under
# /var/cache/morvastelle/debian-SUITE (MORVASTELLE_DEBIAN_CACHE overrides
# the folder); later runs only refresh its package index and packages.
# Needs root, debootstrap and the network to reach Debian's archive.
#
# Usage: scripts/test-on-debian.sh trixie|sid [SOURCE_DIR]
#
# SPDX-License-Identifier: GPL-2.0-or-later

set -euo pipefail

suite=${1:?usage: $0 trixie|sid [SOURCE_DIR]}
source_dir=$(cd "${2:-$(dirname "$0")/..}" && pwd)
cache=${MORVASTELLE_DEBIAN_CACHE:-/var/cache/morvastelle}
mirror=${MORVASTELLE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
root=$cache/debian-$suite

case $suite in
    trixie) apt_options=() ;;
    # sid's index is signed with a validity date that has passed here.
    sid) apt_options=(-o Acquire::Check-Valid-Until=false) ;;
    *) echo "unknown suite '$suite': trixie or sid" >&2; exit 2 ;;
esac

[ "$(id -u)" -eq 0 ] || { echo "needs root (debootstrap, chroot, mount)" >&2; exit 1; }
command -v debootstrap > /dev/null || { echo "needs debootstrap (apt-get install debootstrap)" >&2; exit 1; }

mkdir -p "$cache"
# One run per root at a time: several checkouts may test on the same machine.
exec 9> "$cache/debian-$suite.lock"
flock 9

if [ ! -x "$root/usr/bin/apt-get" ]; then
    echo "== debootstrap $suite into $root"
    rm -rf "$root.partial"
    debootstrap --variant=minbase "$suite" "$root.partial" "$mirror"
    mv "$root.partial" "$root"
fi

mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" || umount -l "${mounted[i]}" || true
    done
}
trap unmount_all EXIT
# Signals end the script through its EXIT trap, so nothing stays mounted.
trap 'exit 130' INT TERM HUP
mount_in_root() {
    mountpoint -q "$root$2" && umount -l "$root$2"
    mount "${@:3}" "$1" "$root$2"
    mounted+=("$root$2")
}
mount_in_root proc /proc -t proc
mount_in_root /dev /dev --bind

cp /etc/resolv.conf "$root/etc/resolv.conf"
in_root() {
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}

echo "== packages in $suite"
in_root apt-get update -q "${apt_options[@]}"
in_root apt-get install -y -q --no-install-recommends "${apt_options[@]}" \
    cmake g++ make libwireshark-dev wireshark-dev tshark libgtest-dev libbenchmark-dev
in_root apt-get clean

echo "== build and test in $suite ($(in_root tshark --version | head -n 1))"
work=$root/morvastelle
rm -rf "$work"
mkdir -p "$work/src"
tar -C "$source_dir" --exclude='./build*' --exclude=./out --exclude=./.git -cf - . | tar -C "$work/src" -xf -
echo "== the plugin alone, without GTest and benchmark"
in_root bash /morvastelle/src/tests/plain_build_test.sh /morvastelle/src
echo "== the plugin and all its tests"
# (plain_build has just run.)
in_root bash -c '
    set -e
    cmake -S /morvastelle/src -B /morvastelle/build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DMORVASTELLE_REQUIRE_TESTS=ON -DMORVASTELLE_WERROR=ON -DMORVASTELLE_EXTENDED_TESTS=OFF \
        -DMORVASTELLE_PACKAGE_TEST=ON
    cmake --build /morvastelle/build -j 2
    ctest --test-dir /morvastelle/build --output-on-failure -j 2 -E "^plain_build\$"
'
