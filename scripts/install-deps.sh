#!/usr/bin/env bash
# Installs, with apt, whichever of the packages the plugin needs (and any
# packages named on the command line, such as the tests' in test.sh) are
# missing. Uses sudo only when not root.
set -euo pipefail

packages=(cmake g++ make libwireshark-dev wireshark-dev tshark "$@")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
