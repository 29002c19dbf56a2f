#!/usr/bin/env bash
# How long the real Wireshark GUI takes to fill Telephony > VoIP Calls with
# the MORVASTELLE Call layer's rows, against the same capture with the layer
# off (--disable-protocol morvastelle_call: only the host's own rows). The
# capture is the one of bench/run-calls.sh: 30 ports, 30,000 calls,
# 210,000 frames (bench/gen-calls.py).
#
# Each run starts Wireshark on a virtual X display (scripts/gui-session.sh),
# waits until it has loaded the capture, opens VoIP Calls through the menu
# (Telephony, then its mnemonic V) and times from that key until the dialog
# has finished filling: until Wireshark's CPU time stops growing. The host
# gives no other sign: the dialog's title and buttons are the same while it
# fills. Wireshark's CPU time is read from /proc every 0.1 s; the end is the
# last reading that grew, once none has for QUIET seconds (an idle Wireshark
# uses no CPU at all). So the wall time is within about 0.1 s, plus what
# other processes take from Wireshark; the CPU time Wireshark used in the
# same span is given too, as it depends less on the machine's load.
#
# Usage: bench/run-voip-gui.sh PLUGIN.so [RUNS] [FOLDER]
#
# The modes alternate, RUNS times each (3 by default); the table gives the
# median and the range of each, and the difference of the medians.
# FOLDER keeps the generated capture for later runs. VOIP_CAPTURE measures
# another capture instead (e.g. samples/calls.pcap), VOIP_SHOT=FILE.png
# saves the last dialog with the layer on, VOIP_QUIET (2 s) and VOIP_LIMIT
# (900 s, the longest wait for one run) change the timing.
#
# SPDX-License-Identifier: GPL-2.0-or-later
set -euo pipefail

plugin=${1:?path to morvastelle.so}
runs=${2:-3}
folder=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
quiet=${VOIP_QUIET:-2}
limit=${VOIP_LIMIT:-900}
tick_hz=$(getconf CLK_TCK)

. "$here/../scripts/gui-session.sh"

work=$(mktemp -d)
trap 'gui_stop; rm -rf "$work"' EXIT
results=$work/result
if [ -n "${VOIP_CAPTURE:-}" ]; then
    capture=$VOIP_CAPTURE
else
    [ -n "$folder" ] || folder=$work
    capture=$folder/calls.pcap
    if [ -f "$capture" ]; then
        echo "reusing $capture"
    else
        mkdir -p "$folder"
        python3 "$here/gen-calls.py" "$capture" --ports 30 --calls 30000
    fi
fi

now() { echo "$EPOCHREALTIME"; }

# wait_until_idle START: waits until Wireshark's CPU time has not grown for
# $quiet seconds; prints the wall and CPU seconds from START (a time and a
# tick count) to its last growth, or fails after $limit seconds.
wait_until_idle() {
    local start_time=$1 start_ticks=$2 ticks last_ticks=$2 last_time=$1 t
    while :; do
        sleep 0.1
        gui_check_running || return 1
        ticks=$(gui_cpu_ticks)
        t=$(now)
        if [ "$ticks" != "$last_ticks" ]; then
            last_ticks=$ticks
            last_time=$t
        elif awk -v t="$t" -v l="$last_time" -v q="$quiet" 'BEGIN { exit !(t - l >= q) }'; then
            break
        fi
        if awk -v t="$t" -v s="$start_time" -v m="$limit" 'BEGIN { exit !(t - s >= m) }'; then
            echo "still busy after $limit s" >&2
            return 1
        fi
    done
    awk -v l="$last_time" -v s="$start_time" -v a="$last_ticks" -v b="$start_ticks" -v hz="$tick_hz" \
        'BEGIN { printf "%.2f %.2f\n", l - s, (a - b) / hz }'
}

# measure MODE: one run; appends "wall cpu" to the mode's results.
measure() {
    local mode=$1 args=(-o gui.byte_view_show:FALSE) t0 c0 result shot
    [ "$mode" = enabled ] || args+=(--disable-protocol morvastelle_call)
    gui_start "$plugin" "$capture" "${args[@]}"
    # Loading the capture.
    wait_until_idle "$(now)" "$(gui_cpu_ticks)" > /dev/null
    xdotool mousemove 640 120 click 1
    xdotool key alt+y
    sleep 0.5
    t0=$(now)
    c0=$(gui_cpu_ticks)
    xdotool key v
    result=$(wait_until_idle "$t0" "$c0")
    shot=$(gui_dialog 'VoIP Calls')
    if [ "$mode" = enabled ] && [ -n "${VOIP_SHOT:-}" ]; then
        xdotool windowmove "$shot" 0 40 windowsize "$shot" 1280 600
        sleep 1
        import -window "$shot" "$VOIP_SHOT"
    fi
    gui_stop
    echo "$result" >> "$results.$mode"
    echo "  $mode: $result"
}

echo "$(capinfos -M -c "$capture" | sed -n 's/^Number of packets: *//p') frames in $capture;" \
    "$runs runs each, $(nproc) cores, load: $(uptime | sed 's/.*load average: //')"
for i in $(seq "$runs"); do
    echo "run $i (wall s, Wireshark CPU s):"
    measure enabled
    measure disabled
done

# median FILE COLUMN
median() {
    sort -n -k "$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}
range() {
    sort -n -k "$2" "$1" | awk -v c="$2" 'NR == 1 { lo = $c } { hi = $c } END { print lo "-" hi }'
}
echo "| layer | wall (s), median | range | Wireshark CPU (s), median | range |"
echo "|---|---:|---:|---:|---:|"
for mode in enabled disabled; do
    echo "| $mode | $(median "$results.$mode" 1) | $(range "$results.$mode" 1) |" \
        "$(median "$results.$mode" 2) | $(range "$results.$mode" 2) |"
done
awk -v a="$(median "$results.enabled" 1)" -v b="$(median "$results.disabled" 1)" \
    -v c="$(median "$results.enabled" 2)" -v d="$(median "$results.disabled" 2)" \
    'BEGIN { printf "difference of the medians: %.2f s wall, %.2f s CPU\n", a - b, c - d }'
