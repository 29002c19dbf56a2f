#!/usr/bin/env bash
# Whether following a fleet of gateways scales: gateways of one make name
# their ports alike and send in step, so a port is told apart by the
# gateway it travels from, and that should cost about what telling ports
# apart by name does. tshark with the plugin lists the calls
# (-z morvastelle.calls) of two captures of bench/gen-calls.py --links:
#   A  GATEWAYS gateways (10.0.0.1, ...), each sending port "isdn0"
#   B  the same frames from one gateway, as GATEWAYS ports named
#      isdn0.0001, ... instead
# each port 3 calls (an answered, a cancelled and a rejected one, 24 s in
# all). It prints the instructions callgrind counts for each whole run,
# median of three, and for tshark reading no frames; the ratio A/B, of the
# whole runs and above that start-up; and how many calls each lists,
# exiting 1 when either misses some.
#
# Usage: bench/run-gateways.sh BUILD_DIR|PLUGIN.so [GATEWAYS]
#
# GATEWAYS: 1000 by default; a run takes a few minutes, most of it
# callgrind's.
#
# SPDX-License-Identifier: GPL-2.0-or-later
set -euo pipefail

plugin=${1:?build folder or path to morvastelle.so}
[ -d "$plugin" ] && plugin=$plugin/plugins/morvastelle/morvastelle.so
gateways=${2:-1000}
here=$(cd "$(dirname "$0")" && pwd)
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 2; }
[ -f "$plugin" ] || { echo "no $plugin: build the project first" >&2; exit 2; }

. "$here/../tests/e2e/lib.sh" "$plugin"

calls=$((3 * gateways))
python3 "$here/gen-calls.py" "$E2E_WORK/A.pcap" --port-names isdn0 --calls 3 --links --gateways "$gateways"
python3 "$here/gen-calls.py" "$E2E_WORK/B.pcap" --port-names isdn0 --calls 3 --links --name-copies "$gateways"
python3 "$here/gen-calls.py" "$E2E_WORK/none.pcap" --port-names isdn0 --calls 0
chmod a+r "$E2E_WORK"/*.pcap

median() {
    sort -n | sed -n 2p
}

# count CAPTURE: instructions of a whole run, median of three; the last
# run's calls table is left in CAPTURE.calls.
count() {
    for _ in 1 2 3; do
        host valgrind --tool=callgrind --callgrind-out-file=/dev/null \
            tshark -q -z morvastelle.calls -r "$1" 2>"$1.log" >"$1.calls" || { cat "$1.log" >&2; exit 1; }
        sed -n 's/.*Collected : \([0-9]*\)/\1/p' "$1.log"
    done | median
}

# listed CAPTURE: the rows of its calls table.
listed() {
    grep -cE '^[0-9]+ \|' "$1.calls" || true
}

none=$(count "$E2E_WORK/none.pcap")
a=$(count "$E2E_WORK/A.pcap")
b=$(count "$E2E_WORK/B.pcap")
if [ -z "$none" ] || [ -z "$a" ] || [ -z "$b" ]; then
    echo "callgrind counted nothing:" >&2
    cat "$E2E_WORK"/*.log >&2
    exit 1
fi
frames=$(capinfos -M -c "$E2E_WORK/A.pcap" | sed -n 's/^Number of packets: *//p')

echo "$gateways ports, 3 calls each, $frames frames; instructions, median of 3 callgrind runs"
printf '%-36s %14s %10s %14s\n' capture "whole run" "per frame" "calls listed"
row() {
    awk -v t="$1" -v n="$2" -v s="$none" -v f="$frames" -v l="$3" \
        'BEGIN { printf "%-36s %14.0f %10.0f %14s\n", t, n, (n - s) / f, l }'
}
row "A: $gateways gateways, port isdn0" "$a" "$(listed "$E2E_WORK/A.pcap") of $calls"
row "B: one gateway, $gateways port names" "$b" "$(listed "$E2E_WORK/B.pcap") of $calls"
printf '%-36s %14d\n' "start-up: no frames" "$none"
awk -v a="$a" -v b="$b" -v s="$none" \
    'BEGIN { printf "A / B: %.3f whole runs, %.3f above start-up\n", a / b, (a - s) / (b - s) }'

missing=0
for capture in A B; do
    if [ "$(listed "$E2E_WORK/$capture.pcap")" -ne "$calls" ]; then
        echo "capture $capture lists $(listed "$E2E_WORK/$capture.pcap") of its $calls calls" >&2
        missing=1
    fi
done
exit $missing
