#!/usr/bin/env bash
# Instructions per packet the host executes for the benchmark mix, counted
# by callgrind, tunnelled (a) against bare LAPD (b), without a tree and with
# the tree of `tshark -T fields`; prints (a-b)/b and where the plugin's own
# instructions go. First in process (the benchmark's dissections alone), then
# through tshark reading Exported PDU captures, where the per-packet cost
# also holds reading the file and printing the output.
#
# Usage: bench/run-callgrind.sh BUILD_DIR [PASSES]
#
# SPDX-License-Identifier: GPL-2.0-or-later
set -euo pipefail

build=${1:?build folder}
passes=${2:-20}
bench=$build/bench/morvastelle_bench
plugin=$build/plugins/morvastelle/morvastelle.so
here=$(cd "$(dirname "$0")" && pwd)
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 2; }
[ -x "$bench" ] || { echo "no $bench: build the project first, with libbenchmark-dev installed (./test.sh does both)" >&2; exit 2; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
chmod 755 "$out"

# Instructions per packet of one case; leaves its profile in $out/CASE.
count() {
    local packets profile=$out/${1//\//-}
    valgrind --tool=callgrind --callgrind-out-file="$profile" \
        --toggle-collect='count_dissections*' "$bench" --count "$1" "$passes" \
        >"$profile.log" 2>&1
    packets=$(sed -n "s|^$1: \([0-9]*\) packets$|\1|p" "$profile.log")
    [ -n "$packets" ] || { cat "$profile.log" >&2; exit 1; }
    callgrind_annotate "$profile" | awk -v n="$packets" \
        '/PROGRAM TOTALS/ { gsub(",", "", $1); printf "%d\n", $1 / n }'
}

printf '%-12s %14s %14s %10s %8s\n' tree "morvastelle" "lapd" "overhead" ratio
for tree in no_tree fields_tree; do
    a=$(count "morvastelle/$tree" | tail -1)
    b=$(count "lapd/$tree" | tail -1)
    awk -v t="$tree" -v a="$a" -v b="$b" 'BEGIN {
        printf "%-12s %14d %14d %10d %7.1f%%\n", t, a, b, a - b, 100 * (a - b) / b }'
done

# The plugin's dissector and what it calls, inclusive, per whole run.
for tree in no_tree fields_tree; do
    echo
    echo "== dissect_morvastelle and its callees, $tree, instructions for $((passes * 48)) packets"
    callgrind_annotate --inclusive=yes --tree=calling --threshold=100 "$out/morvastelle-$tree" 2>/dev/null |
        awk '/\* .*dissect_morvastelle/ { on = 1 } on && /^$/ { on = 0 } on'
done

# Through tshark: the difference between captures of two sizes removes the
# start-up, leaving what each further packet costs.
host_version=$(tshark --version 2>/dev/null | sed -n '1s/.*(Wireshark) \([0-9]*\.[0-9]*\).*/\1/p')
mkdir -p "$out/home/.local/lib/wireshark/plugins/$host_version/epan" "$out/small" "$out/large"
cp "$plugin" "$out/home/.local/lib/wireshark/plugins/$host_version/epan/"
small=2000 large=6000
python3 "$here/gen-captures.py" "$out/small" $small
python3 "$here/gen-captures.py" "$out/large" $large
chmod -R a+rX "$out"
as_host=
[ "$(id -u)" -eq 0 ] && as_host="setpriv --reuid=nobody --regid=nogroup --clear-groups"

# tshark_count CAPTURE [TSHARK ARGS...]: instructions of one whole run.
tshark_count() {
    $as_host env HOME="$out/home" valgrind --tool=callgrind --callgrind-out-file=/dev/null \
        tshark -r "$@" 2>&1 >/dev/null | sed -n 's/.*Collected : \([0-9]*\)/\1/p'
}

per_packet() {
    local capture=$1
    shift
    local a b
    a=$(tshark_count "$out/small/$capture" "$@")
    b=$(tshark_count "$out/large/$capture" "$@")
    echo $(( (b - a) / (large - small) ))
}

echo
echo "== through tshark, instructions per packet"
printf '%-12s %14s %14s %10s %8s\n' mode "morvastelle" "lapd" "overhead" ratio
for mode in summary fields; do
    args=()
    [ $mode = fields ] && args=(-T fields -e morvastelle.isdn_port -e q931.message_type)
    a=$(per_packet morvastelle-export.pcap "${args[@]}")
    b=$(per_packet lapd-export.pcap "${args[@]}")
    awk -v t="$mode" -v a="$a" -v b="$b" 'BEGIN {
        printf "%-12s %14d %14d %10d %7.1f%%\n", t, a, b, a - b, 100 * (a - b) / b }'
done
