#!/usr/bin/env bash
# Instructions per packet the host executes, counted by callgrind,
# tunnelled (a) against bare LAPD (b), without a tree and with the tree of
# `tshark -T fields`; prints (a-b)/b and where the plugin's own
# instructions go. First in process (the benchmark's dissections alone),
# then through tshark reading Exported PDU captures, where the per-packet
# cost also holds reading the file and printing the output. Each figure is
# the median of three runs: the host seeds its hash maps at random, which
# moves a count by a few dozen instructions per packet from run to run.
#
# With the plugin's analysis layers on (the default) and disabled: every
# protocol of the plugin whose filter name starts with morvastelle_, as
# the host lists them; in process through a configuration folder whose
# disabled_protos names them, through tshark with one --disable-protocol
# each.
#
# --traffic mix (the default) measures the benchmark mix (bench/frames.txt),
# in process and through tshark. --traffic calls measures through tshark
# alone the calls of bench/gen-calls.py --links: data links set up once,
# calls one after another on 30 ports, N(S) and N(R) as the two sides send
# them, RR where a side has nothing to send back; per packet over the
# difference between 200 and 2,000 calls. --mate adds the host's MATE
# grouping the same calls (bench/calls.mate) with the layers disabled, as
# a multiple of the layers' own work (on less disabled); calls only.
#
# Usage: bench/run-callgrind.sh [--traffic mix|calls] [--mate] BUILD_DIR [PASSES]
#
# SPDX-License-Identifier: GPL-2.0-or-later
set -euo pipefail

traffic=mix mate=
while [ $# -gt 0 ]; do
    case $1 in
        --traffic) traffic=${2:?mix or calls}; shift 2 ;;
        --mate) mate=1; shift ;;
        -*) echo "unknown option $1" >&2; exit 2 ;;
        *) break ;;
    esac
done
case $traffic in mix | calls) ;; *) echo "--traffic: mix or calls, not $traffic" >&2; exit 2 ;; esac
[ -z "$mate" ] || [ "$traffic" = calls ] || { echo "--mate goes with --traffic calls" >&2; exit 2; }
build=${1:?build folder}
passes=${2:-20}
bench=$build/bench/morvastelle_bench
plugin=$build/plugins/morvastelle/morvastelle.so
here=$(cd "$(dirname "$0")" && pwd)
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 2; }
[ -f "$plugin" ] || { echo "no $plugin: build the project first" >&2; exit 2; }
[ "$traffic" = calls ] || [ -x "$bench" ] ||
    { echo "no $bench: build the project first, with libbenchmark-dev installed (./test.sh does both)" >&2; exit 2; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
chmod 755 "$out"

# tshark with the plugin in a personal folder of its own; as root it runs
# as nobody, since the host ignores personal plugins for root.
host_version=$(tshark --version 2>/dev/null | sed -n '1s/.*(Wireshark) \([0-9]*\.[0-9]*\).*/\1/p')
mkdir -p "$out/home/.local/lib/wireshark/plugins/$host_version/epan"
cp "$plugin" "$out/home/.local/lib/wireshark/plugins/$host_version/epan/"
chmod -R a+rX "$out"
as_host=
[ "$(id -u)" -eq 0 ] && as_host="setpriv --reuid=nobody --regid=nogroup --clear-groups"

# The plugin's analysis layers, as this build registers them.
mapfile -t layers < <($as_host env HOME="$out/home" tshark -G protocols |
    awk -F'\t' '$3 ~ /^morvastelle_/ { print $3 }')
[ ${#layers[@]} -gt 0 ] || { echo "tshark lists no morvastelle_ protocol: is $plugin loaded?" >&2; exit 1; }
layers_off=()
for layer in "${layers[@]}"; do layers_off+=(--disable-protocol "$layer"); done
echo "analysis layers: ${layers[*]}"

# The host reads its disabled protocols from its personal configuration
# folder; the benchmark's host takes no profile of its own, so name the
# folder under both of the host's namespaces.
mkdir -p "$out/layer-off"
printf '%s\n' "${layers[@]}" >"$out/layer-off/disabled_protos"
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

if [ "$traffic" = mix ]; then
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
fi

# Through tshark: the difference between captures of two sizes removes the
# start-up, leaving what each further packet costs.
mkdir -p "$out/small" "$out/large"
if [ "$traffic" = mix ]; then
    python3 "$here/gen-captures.py" "$out/small" 2000
    python3 "$here/gen-captures.py" "$out/large" 22000
else
    for size in small:200 large:2000; do
        python3 "$here/gen-calls.py" "$out/${size%:*}/calls.pcap" --ports 30 --calls "${size#*:}" --links \
            --export-pdus "$out/${size%:*}/morvastelle-export.pcap" --export-lapd "$out/${size%:*}/lapd-export.pcap"
    done
fi
chmod -R a+rX "$out"
packets() {
    capinfos -M -c "$1" | sed -n 's/^Number of packets: *//p'
}
small=$(packets "$out/small/lapd-export.pcap") large=$(packets "$out/large/lapd-export.pcap")

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

if [ "$traffic" = calls ]; then
    # Both ways in, the same frames: every LAPD frame and Q.931 message
    # decoded alike, none malformed, no call frame taken for a repeat.
    decoded() {
        $as_host env HOME="$out/home" tshark -r "$1" -T fields -e lapd.control -e q931.message_type
    }
    for size in small large; do
        if [ "$(decoded "$out/$size/morvastelle-export.pcap")" != "$(decoded "$out/$size/lapd-export.pcap")" ] ||
            [ -n "$($as_host env HOME="$out/home" tshark -r "$out/$size/morvastelle-export.pcap" \
                -Y '_ws.malformed || morvastelle_call.retransmission_of')" ]; then
            echo "the $size calls captures do not decode as generated" >&2
            exit 1
        fi
    done
fi

echo
echo "== through tshark, $traffic traffic, instructions per packet over $((large - small)) packets"
printf '%-24s %12s %12s %8s %8s\n' "mode, analysis layers" "morvastelle" "lapd" "a - b" ratio
declare -A tunnelled
for layer in on off; do
    for mode in summary fields; do
        args=()
        [ $layer = off ] && args=("${layers_off[@]}")
        [ $mode = fields ] && args+=(-T fields -e morvastelle.isdn_port -e q931.message_type)
        tunnelled[$mode-$layer]=$(per_packet morvastelle-export.pcap "${args[@]}")
        row "$mode, $layer" "${tunnelled[$mode-$layer]}" "$(per_packet lapd-export.pcap "${args[@]}")"
    done
done

if [ -n "$mate" ]; then
    cp "$here/calls.mate" "$out/calls.mate"
    chmod a+r "$out/calls.mate"
    echo
    echo "== MATE grouping the calls (bench/calls.mate), analysis layers disabled, instructions per packet"
    printf '%-24s %12s %12s %8s %8s %8s\n' mode "with MATE" without MATE layers "MATE / layers"
    for mode in summary fields; do
        args=("${layers_off[@]}" -o "mate.config:$out/calls.mate")
        [ $mode = fields ] && args+=(-T fields -e morvastelle.isdn_port -e q931.message_type)
        with=$(per_packet morvastelle-export.pcap "${args[@]}")
        awk -v t="$mode" -v w="$with" -v wo="${tunnelled[$mode-off]}" -v on="${tunnelled[$mode-on]}" 'BEGIN {
            printf "%-24s %12d %12d %8d %8d %7.1fx\n", t, w, wo, w - wo, on - wo, (w - wo) / (on - wo) }'
    done
fi
