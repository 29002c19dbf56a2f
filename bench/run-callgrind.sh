#!/usr/bin/env bash
# Instructions per packet the host executes for the benchmark mix, counted
# by callgrind, tunnelled (a) against bare LAPD (b), without a tree and with
# the tree of `tshark -T fields`; prints (a-b)/b and where the plugin's own
# instructions go.
#
# Usage: bench/run-callgrind.sh BUILD_DIR [PASSES]
#
# SPDX-License-Identifier: GPL-2.0-or-later
set -euo pipefail

build=${1:?build folder}
passes=${2:-50}
bench=$build/bench/morvastelle_bench
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 2; }
[ -x "$bench" ] || { echo "no $bench: build the project first" >&2; exit 2; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

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
        awk '/\* .*dissect_morvastelle/ { on = 1 } on && /^$/ { exit } on'
done
