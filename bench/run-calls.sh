#!/usr/bin/env bash
# What the call statistics cost: tshark with the plugin reads one capture of
# 30 ports and 30,000 calls (bench/gen-calls.py, 210,000 frames) with
# -z morvastelle.calls, -z morvastelle.outcomes,tree, both, and
# -z morvastelle.kpi, against the same pass with -z morvastelle.ports,tree,
# which dissects the same frames and feeds a tap too (a bare `tshark -q`
# dissects nothing). The passes run RUNS times each, interleaved; the table
# gives the best wall time, its ratio to the ports-tree pass, the peak
# resident memory and the bytes per call above the ports-tree pass.
#
# Usage: bench/run-calls.sh PLUGIN.so [RUNS] [FOLDER]
#
# FOLDER keeps the capture (calls.pcap and calls.expect) for later runs;
# without it, the capture is generated into a temporary folder.
# CALLS_BASELINE and CALLS_PASSES change what is compared: each pass is
# tshark's -z arguments separated by spaces, passes separated by ';', e.g.
#   CALLS_PASSES='io,stat,0;expert' bench/run-calls.sh build/.../morvastelle.so
# and a word that starts with a dash is a tshark option, e.g. what the call
# layer costs:
#   CALLS_PASSES='morvastelle.ports,tree --disable-protocol=morvastelle_call' ...
# CALLS_PORTS and CALLS_CALLS size a capture that is generated.
#
# SPDX-License-Identifier: GPL-2.0-or-later
set -euo pipefail

plugin=${1:?path to morvastelle.so}
runs=${2:-5}
folder=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
baseline=${CALLS_BASELINE:-morvastelle.ports,tree}
IFS=';' read -r -a passes <<<"${CALLS_PASSES:-morvastelle.calls;morvastelle.outcomes,tree;morvastelle.calls morvastelle.outcomes,tree;morvastelle.kpi}"

for tool in tshark python3 /usr/bin/time; do
    command -v $tool >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done
/usr/bin/time --version 2>&1 | grep -q GNU || { echo "/usr/bin/time is not GNU time (apt-get install time)" >&2; exit 2; }
[ -f "$plugin" ] || { echo "no $plugin: build the plugin first" >&2; exit 2; }

. "$here/../tests/e2e/lib.sh" "$plugin"

[ -n "$folder" ] || folder=$E2E_WORK/capture
capture=$folder/calls.pcap expect=$folder/calls.expect
if [ -f "$capture" ] && [ -f "$expect" ]; then
    echo "reusing $capture"
else
    mkdir -p "$folder"
    start=$EPOCHREALTIME
    python3 "$here/gen-calls.py" "$capture" --ports "${CALLS_PORTS:-30}" \
        --calls "${CALLS_CALLS:-30000}" --expect "$expect"
    awk -v a="$start" -v b="$EPOCHREALTIME" -v f="$capture" 'BEGIN { printf "generated %s in %.1f s\n", f, b - a }'
fi
# The host runs as another user when we are root: it must reach the capture.
if ! host test -r "$capture"; then
    capture=$(readable "$capture")
fi
ports=$(grep -vc '^#' "$expect")
calls=$(awk '!/^#/ { for (i = 2; i <= NF; i++) n += $i } END { print n }' "$expect")
frames=$(capinfos -M -c "$capture" | sed -n 's/^Number of packets: *//p')

# z_args PASS: the pass's -z options as tshark arguments; words that start
# with a dash are tshark options of their own (-2, --disable-protocol=...).
z_args() {
    local z
    for z in $1; do
        case $z in
            -*) printf -- '%s\n' "$z" ;;
            *) printf -- '-z\n%s\n' "$z" ;;
        esac
    done
}

# One run of PASS; appends "seconds KiB" to its results file.
measure() {
    local pass=$1 file=$E2E_WORK/result.$2 args
    mapfile -t args < <(z_args "$pass")
    host /usr/bin/time -f '%e %M' -a -o "$file" tshark -q -r "$capture" "${args[@]}" \
        >"$E2E_WORK/out.$2" 2>"$E2E_WORK/err.$2"
}

all=("$baseline" "${passes[@]}")
# A first run of each pass warms the page cache and shows the options work.
for i in "${!all[@]}"; do
    if ! measure "${all[$i]}" "$i"; then
        if grep -q 'Invalid -z argument' "$E2E_WORK/err.$i"; then
            echo "this tshark does not know -z ${all[$i]// / or -z }" >&2
            case ${all[$i]} in
                *morvastelle.calls* | *morvastelle.outcomes* | *morvastelle.kpi*)
                    echo "(the plugin $plugin lacks the call statistics)" >&2 ;;
            esac
        else
            cat "$E2E_WORK/err.$i" >&2
        fi
        exit 1
    fi
    : >"$E2E_WORK/result.$i"
done

echo "$ports ports, $calls calls, $frames frames, $(du -k "$capture" | cut -f1) KiB;" \
    "$runs runs each, $(nproc) cores, load: $(uptime | sed 's/.*load average: //')"
for _ in $(seq "$runs"); do
    for i in "${!all[@]}"; do measure "${all[$i]}" "$i"; done
done

for i in "${!all[@]}"; do
    printf '%s\t' "${all[$i]}"
    sort -n "$E2E_WORK/result.$i" | awk '
        NR == 1 { best = $1 } $2 > peak { peak = $2 } END { print best "\t" peak }'
done | awk -F'\t' -v calls="$calls" -v frames="$frames" '
    NR == 1 { base_s = $2; base_kib = $3
              print "| -z | best (s) | ratio | peak RSS (KiB) | extra bytes per call | per frame |"
              print "|---|---:|---:|---:|---:|---:|" }
    { printf "| %s | %.2f | %.2fx | %d | %.0f | %.0f |\n", $1, $2, $2 / base_s, $3,
             ($3 - base_kib) * 1024 / calls, ($3 - base_kib) * 1024 / frames }'
echo "goals: -z morvastelle.calls at most 1.30x and 512 bytes per call; -z morvastelle.kpi at most 1.30x"
