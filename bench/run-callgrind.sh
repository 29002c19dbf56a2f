#!/usr/bin/env bash
# Instructions per packet the host executes for the benchmark mix, counted
# by callgrind, tunnelled (a) against bare LAPD (b), without a tree and with
# the tree of `tshark -T fields`; prints (a-b)/b and where the plugin's own
# instructions go. First in process (the benchmark's dissections alone), then
# through tshark reading Exported PDU captures, where the per-packet cost
# also holds reading the file and printing the output. Each figure is the
# median of three runs: the host seeds its hash maps at random, which moves
# a count by a few dozen instructions per packet from run to run.
#
# With the call layer on (the default) and disabled: in process through a
# configuration folder whose disabled_protos names it, through tshark with
# --disable-protocol.
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

# The host reads its disabled protocols from its personal configuration
# folder; the benchmark's host takes no profile of its own, so name the
# folder under both of the host's namespaces.
mkdir -p "$out/layer-off"
echo morvastelle_call >"$out/layer-off/disabled_protos"
chmod -R a+rX "$out/layer-off"

median() {
    sort -n | sed -n 2p
}

# count CASE LAYER: instructions per packet of one case, median of three
# runs; leaves the last run's profile in $out/CASE-LAYER.
count() {
    local packets profile=$out/${1//\//-}-$2 env=() run
    [ "$2" = off ] && env=(WIRESHARK_CONFIG_DIR="$out/layer-off" LOGRAY_CONFIG_DIR="$out/layer-off")
    for run in 1 2 3; do
        env "${env[@]}" valgrind --tool=callgrind --callgrind-out-file="$profile" \
            --toggle-collect='count_dissections*' "$bench" --count "$1" "$passes" >"$profile.log" 2>&1
        packets=$(sed -n "s|^$1: \([0-9]*\) packets$|\1|p" "$profile.log")
        [ -n "$packets" ] || { cat "$profile.log" >&2; exit 1; }
        callgrind_annotate "$profile" | awk -v n="$packets" \
            '/PROGRAM TOTALS/ { gsub(",", "", $1); printf "%d\n", $1 / n }'
    done | median
}

row() {
    awk -v t="$1" -v a="$2" -v b="$3" 'BEGIN {
        printf "%-24s %12d %12d %8d %7.1f%%\n", t, a, b, a - b, 100 * (a - b) / b }'
}

echo "== in process, instructions per packet"
printf '%-24s %12s %12s %8s %8s\n' "tree, call layer" "morvastelle" "lapd" "a - b" ratio
for layer in on off; do
    for tree in no_tree fields_tree; do
        row "$tree, $layer" "$(count "morvastelle/$tree" $layer)" "$(count "lapd/$tree" $layer)"
    done
done

# The plugin's dissector, the layer and what they call, inclusive, per
# packet of the last run with the layer on.
for tree in no_tree fields_tree; do
    echo
    echo "== the plugin's functions and their callees, $tree, inclusive instructions per packet"
    callgrind_annotate --inclusive=yes --threshold=100 "$out/morvastelle-$tree-on" 2>/dev/null |
        awk -v n=$((passes * 48)) '/plugins\/morvastelle\/[a-z-]*\.cpp:/ {
            cost = $1; gsub(",", "", cost); name = $0
            sub(/.*plugins\/morvastelle\//, "", name); sub(/\(.*/, "", name); sub(/ \[.*/, "", name)
            if (!seen[name]++ && cost / n >= 5) printf "%8.0f  %s\n", cost / n, name }'
done

# Through tshark: the difference between captures of two sizes removes the
# start-up, leaving what each further packet costs.
host_version=$(tshark --version 2>/dev/null | sed -n '1s/.*(Wireshark) \([0-9]*\.[0-9]*\).*/\1/p')
mkdir -p "$out/home/.local/lib/wireshark/plugins/$host_version/epan" "$out/small" "$out/large"
cp "$plugin" "$out/home/.local/lib/wireshark/plugins/$host_version/epan/"
small=2000 large=22000
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
    local capture=$1 run
    shift
    for run in 1 2 3; do
        echo $((($(tshark_count "$out/large/$capture" "$@") - $(tshark_count "$out/small/$capture" "$@")) /
            (large - small)))
    done | median
}

echo
echo "== through tshark, instructions per packet"
printf '%-24s %12s %12s %8s %8s\n' "mode, call layer" "morvastelle" "lapd" "a - b" ratio
for layer in on off; do
    for mode in summary fields; do
        args=()
        [ $layer = off ] && args=(--disable-protocol morvastelle_call)
        [ $mode = fields ] && args+=(-T fields -e morvastelle.isdn_port -e q931.message_type)
        row "$mode, $layer" "$(per_packet morvastelle-export.pcap "${args[@]}")" \
            "$(per_packet lapd-export.pcap "${args[@]}")"
    done
done
