#!/usr/bin/env bash
# What the analysis keeps on hostile captures: tshark with the plugin
# reads FRAMES frames of one storm of tests/e2e/hostile_pcap.py at a time
# (a new call reference in every frame, a new port in every frame, a new
# gateway (source address) in every frame, one I-frame repeated, clearing
# messages for calls never set up) in two passes (tshark -q -2) three
# times: without the analysis layers (--disable-protocol for both), with
# them, and with them and the calls table (-z morvastelle.calls). Each run
# has -z io,stat,0 too, which keeps next to nothing but makes tshark
# dissect the second pass as the layers' own tap listeners do, so that
# only the analysis's memory tells them apart. It prints the peak resident
# memory of each (GNU time, KiB), what the analysis adds per frame and per
# call, and what the table adds per call.
#
# A storm of data link frames (link-sequence, sabme, new-link,
# tei-management, link-findings) is read without either analysis layer,
# with MORVASTELLE Link alone (--disable-protocol morvastelle_call) and
# with both; it prints what the link layer adds per frame and per data
# link (port, SAPI and TEI of a frame that is no TEI management), and what
# the call layer adds to it.
#
# Usage: bench/run-hostile-memory.sh PLUGIN.so [FRAMES] [STORM...]
#
# SPDX-License-Identifier: GPL-2.0-or-later
set -euo pipefail

plugin=${1:?path to morvastelle.so}
frames=${2:-200000}
shift $(($# < 2 ? $# : 2))
storms=("$@")
[ ${#storms[@]} -gt 0 ] || storms=(new-reference new-port new-gateway repeat unknown-clearing)
here=$(cd "$(dirname "$0")" && pwd)

for tool in tshark python3 /usr/bin/time; do
    command -v $tool >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done
/usr/bin/time --version 2>&1 | grep -q GNU || { echo "/usr/bin/time is not GNU time (apt-get install time)" >&2; exit 2; }

. "$here/../tests/e2e/lib.sh" "$plugin"

# measure CAPTURE [TSHARK ARGS...]: the peak KiB of one two-pass run.
measure() {
    local capture=$1
    shift
    host /usr/bin/time -f '%M' -o "$E2E_WORK/time" tshark -q -2 -z io,stat,0 -r "$capture" "$@" \
        > "$E2E_WORK/out" 2> "$E2E_WORK/err"
    cat "$E2E_WORK/time"
}

link_storms=" link-sequence sabme new-link tei-management link-findings "

header=
for storm in "${storms[@]}"; do
    kind=calls
    [[ $link_storms != *" $storm "* ]] || kind=links
    if [ "$header" != $kind ]; then
        header=$kind
        if [ $kind = calls ]; then
            printf '%-17s %7s %7s %9s %9s %9s %8s %8s %8s\n' storm frames calls "none" layers "+ table" \
                "B/frame" "B/call" "table/c"
        else
            printf '%-17s %7s %7s %9s %9s %9s %8s %8s %8s\n' storm frames links "none" link "+ call" \
                "B/frame" "B/link" "call/f"
        fi
    fi
    if [ $kind = links ]; then
        capture=$E2E_WORK/$storm.pcap
        python3 "$here/../tests/e2e/hostile_pcap.py" "$capture" --storm "$storm" --count "$frames"
        chmod a+r "$capture"
        links=$(host tshark -r "$capture" -Y 'lapd.sapi != 63' -T fields -e morvastelle.isdn_port -e lapd.sapi \
            -e lapd.tei | sort -u | wc -l)
        none=$(measure "$capture" --disable-protocol morvastelle_call --disable-protocol morvastelle_link)
        link=$(measure "$capture" --disable-protocol morvastelle_call)
        both=$(measure "$capture")
        awk -v s="$storm" -v f="$frames" -v l="$links" -v a="$none" -v b="$link" -v c="$both" 'BEGIN {
            d = (b - a) * 1024
            printf "%-17s %7d %7d %9d %9d %9d %8.0f %8.0f %8.0f\n", s, f, l, a, b, c, d / f, d / l,
                (c - b) * 1024 / f }'
        rm -f "$capture"
        continue
    fi
    capture=$E2E_WORK/$storm.pcap
    python3 "$here/../tests/e2e/hostile_pcap.py" "$capture" --storm "$storm" --count "$frames"
    chmod a+r "$capture"
    without=$(measure "$capture" --disable-protocol morvastelle_call --disable-protocol morvastelle_link)
    layer=$(measure "$capture")
    table=$(measure "$capture" -z morvastelle.calls)
    calls=$(grep -cE '^[0-9]+ \|[0-9a-f]* \|(user|network) \|' "$E2E_WORK/out" || true)
    awk -v s="$storm" -v f="$frames" -v c="$calls" -v a="$without" -v b="$layer" -v t="$table" 'BEGIN {
        d = (b - a) * 1024
        printf "%-17s %7d %7d %9d %9d %9d %8.0f %8.0f %8.0f\n", s, f, c, a, b, t, d / f, c ? d / c : 0,
            c ? (t - b) * 1024 / c : 0 }'
    rm -f "$capture"
done
