#!/usr/bin/env bash
# Builds the .deb, installs it on this machine, checks that the host loads
# the plugin from its global folder (no personal folder involved), and
# removes the package again.
#
# Usage: deb_test.sh CPACK BUILD_DIR PACKAGE_NAME PLUGIN_DIR HOST_VERSION
#
# SPDX-License-Identifier: GPL-2.0-or-later

set -euo pipefail
cpack=$1 build_dir=$2 package=$3 plugin_dir=$4 host_version=$5

[ "$(id -u)" -eq 0 ] || { echo "needs root: it installs the package with dpkg" >&2; exit 1; }
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    echo "$package is already installed here; not replacing it" >&2
    exit 1
fi

out=$(mktemp -d)
chmod 755 "$out"
trap 'dpkg -r "$package" > /dev/null 2>&1 || true; rm -rf "$out"' EXIT

(cd "$out" && "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" > cpack.log) ||
    { cat "$out/cpack.log" >&2; exit 1; }
deb=$(ls "$out"/*.deb)

failures=0
check() {
    if [ "$2" != "$3" ]; then
        failures=$((failures + 1))
        printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3" >&2
    fi
}

library_package=$(dpkg-query -S "$(readlink -f "$(dpkg -L libwireshark-dev | grep '/libwireshark\.so$')")" | cut -d: -f1)
next_minor=$((${host_version#*.} + 1))
check "depends on exactly this host minor version" \
    "$library_package (>= $host_version), $library_package (<< ${host_version%%.*}.$next_minor)" \
    "$(dpkg-deb -f "$deb" Depends)"
files() { sort | tr '\n' ' '; }
check "contents" \
    "$(printf '%s\n' ".$plugin_dir/morvastelle.so" ./usr/share/doc/"$package"/{LICENSE,README.md} | files)" \
    "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | files)"

dpkg -i "$deb" > /dev/null
check "installed where the host looks" "$plugin_dir/morvastelle.so" \
    "$(dpkg -L "$package" | grep '\.so$')"

# An unprivileged user whose personal plugin folder does not exist.
empty_home=$(mktemp -d)
chmod 755 "$empty_home"
listed=$(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$empty_home" \
    tshark -G plugins | awk '$1 == "morvastelle.so" {print $1, $2, $3, $4}')
rmdir "$empty_home"
check "listed from the global folder" "morvastelle.so 0.0.1 dissector $plugin_dir/morvastelle.so" "$listed"

dpkg -r "$package" > /dev/null
check "removed" "" "$(ls "$plugin_dir"/morvastelle.so 2>/dev/null || true)"

[ "$failures" -eq 0 ] && echo "package $(basename "$deb") checked"
[ "$failures" -eq 0 ]
