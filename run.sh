#!/usr/bin/env bash
# Installs what the plugin needs and is missing, builds the plugin, installs
# it for you and shows tshark decoding the bundled sample capture.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target morvastelle

# The detail view reads the sample twice, so that frame 1 shows its call
# as it ended and links to its later frames: in one pass tshark shows a
# call only as far as it has read.
show() {
    "$@" tshark -r "$sample"
    echo
    "$@" tshark -r "$sample" -2 -V -O morvastelle,lapd,q931,morvastelle_call -Y 'frame.number == 1'
}

if [ "$(id -u)" -ne 0 ]; then
    cmake --build build --target install-user
    sample=samples/sample.pcap
    show env
else
    # tshark ignores personal plugin folders when run as root, and this
    # script does not write to system folders unasked: the sample is shown
    # by an unprivileged user with the plugin in a throwaway home.
    home=$(mktemp -d)
    trap 'rm -rf "$home"' EXIT
    version=$(tshark --version 2>/dev/null | sed -n '1s/.*(Wireshark) \([0-9]*\.[0-9]*\).*/\1/p')
    mkdir -p "$home/.local/lib/wireshark/plugins/$version/epan"
    cp build/plugins/morvastelle/morvastelle.so "$home/.local/lib/wireshark/plugins/$version/epan/"
    cp samples/sample.pcap "$home/"
    chmod -R a+rX "$home"
    sample=$home/sample.pcap
    echo "Running as root: tshark runs as 'nobody' with the plugin in $home (removed afterwards)."
    echo "To install for good: 'cmake --install build' (all users) or 'cmake --build build --target install-user' as a normal user."
    echo
    show setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$home"
fi
