#!/usr/bin/env bash
# The real tshark on hostile captures: the sample plus COUNT generated PDUs
# in intact UDP, and the same capture mutated whole by editcap -E (IP and
# UDP headers too). Every frame must come out, tshark must exit 0 and report
# no dissector bug, and a PDU whose header is whole is never malformed as
# MORVASTELLE. The plugin's statistics (ISDN ports, calls, call outcomes)
# run over both as well.
#
# Usage: mutation_test.sh PLUGIN.so SAMPLES_DIR COUNT [SEED]
. "$(dirname "$0")/lib.sh" "$1"
samples=$2
count=$3
seed=${4:-${MUTATION_SEED:-1}}
here=$(cd "$(dirname "$0")" && pwd)
echo "seed $seed, $count generated PDUs"

tshark -Q -r "$samples/sample.pcap" -T fields -e udp.payload 2>/dev/null > "$E2E_WORK/sample.hex"
python3 "$here/hostile_pcap.py" "$E2E_WORK/payloads.pcap" --seed "$seed" --count "$count" \
    --samples "$E2E_WORK/sample.hex" --whole-headers "$E2E_WORK/whole-headers.txt"
editcap -E 0.02 --seed "$seed" "$E2E_WORK/payloads.pcap" "$E2E_WORK/whole.pcap" 2>/dev/null
chmod a+r "$E2E_WORK"/*.pcap

frame_count() {
    capinfos -M -c "$1" 2>/dev/null | awk -F: '/^Number of packets/ {print $2 + 0}'
}

for capture in payloads whole; do
    file=$E2E_WORK/$capture.pcap
    frames=$(frame_count "$file")

    # A dissector bug aborts tshark rather than leaving a line in the tree.
    status=0
    host env WIRESHARK_ABORT_ON_DISSECTOR_BUG=1 tshark -r "$file" -V \
        > "$E2E_WORK/$capture.V" 2> "$E2E_WORK/$capture.V.err" || status=$?
    check "$capture -V exit status" 0 "$status"
    check "$capture -V frames out" "$frames" "$(grep -c '^Frame [0-9]*: ' "$E2E_WORK/$capture.V")"

    status=0
    host env WIRESHARK_ABORT_ON_DISSECTOR_BUG=1 tshark -r "$file" -2 \
        > "$E2E_WORK/$capture.2" 2> "$E2E_WORK/$capture.2.err" || status=$?
    check "$capture -2 exit status" 0 "$status"
    check "$capture -2 frames out" "$frames" "$(wc -l < "$E2E_WORK/$capture.2")"

    # The plugin's statistics on the same frames, in one run: the ISDN ports
    # tree, the calls table, the call outcomes tree and the port KPIs.
    status=0
    host env WIRESHARK_ABORT_ON_DISSECTOR_BUG=1 tshark -r "$file" -q -2 -z morvastelle.ports,tree \
        -z morvastelle.calls -z morvastelle.outcomes,tree -z morvastelle.kpi \
        > "$E2E_WORK/$capture.z" 2> "$E2E_WORK/$capture.z.err" || status=$?
    check "$capture -z morvastelle.ports, .calls, .outcomes, .kpi exit status" 0 "$status"
    # Both list the calls of the call layer: each of its numbers once.
    call_rows=$(grep -E '^[0-9]+ \|[0-9a-f]* \|(user|network) \|' "$E2E_WORK/$capture.z" | cut -d' ' -f1 | sort -n || true)
    calls=$(printf '%s\n' "$call_rows" | grep -c . || true)
    check "$capture: every call in the table once" "$(seq "$calls")" "$call_rows"
    check "$capture: as many calls in the outcomes tree as rows in the table" "$calls" \
        "$(awk '/^Calls / {print $2}' "$E2E_WORK/$capture.z")"
    # The KPIs count the calls whose SETUP was captured: all but those with
    # numbers '?'.
    unknown=$(grep -cE '^[0-9]+ \|[0-9a-f]* \|(user|network) \|\? \|\? \|' "$E2E_WORK/$capture.z" || true)
    check "$capture: the KPIs' calls, those of the table with a SETUP" "$((calls - unknown))" \
        "$(awk -F' [|]' '/^all ports / {print $2}' "$E2E_WORK/$capture.z")"

    check "$capture no dissector bug" "" \
        "$(cat "$E2E_WORK/$capture".{V,2,z}{,.err} | grep -m3 -i 'dissector bug' || true)"
    [ "$status" -eq 0 ] || tail -5 "$E2E_WORK/$capture.2.err" >&2
done

# Every frame of the payload capture is one PDU, whole or not.
check "payloads: every PDU in the statistics" "$(frame_count "$E2E_WORK/payloads.pcap")" \
    "$(awk '/^MORVASTELLE PDUs / {print $3}' "$E2E_WORK/payloads.z")"

# The generated calls reach every outcome, or the statistics ran on less
# than they seem to.
for outcome in answered cancelled rejected "in progress" unknown; do
    check_contains "payloads: calls $outcome" "|$outcome |" "$(cat "$E2E_WORK/payloads.z")"
done

# Frames that -V reports malformed as MORVASTELLE, against those whose
# header is whole (none may be) and those whose header is not (all must be,
# or the check above proves nothing).
awk '/^Frame [0-9]+: / { n = $2 + 0 } /\[Malformed Packet: MORVASTELLE\]/ { print n }' \
    "$E2E_WORK/payloads.V" | sort -u > "$E2E_WORK/malformed.txt"
sort -u "$E2E_WORK/whole-headers.txt" > "$E2E_WORK/whole-sorted.txt"
seq "$(frame_count "$E2E_WORK/payloads.pcap")" | sort > "$E2E_WORK/all.txt"
check "no whole header malformed as MORVASTELLE" "" \
    "$(comm -12 "$E2E_WORK/malformed.txt" "$E2E_WORK/whole-sorted.txt" | head -5 | tr '\n' ' ')"
check "every cut header malformed as MORVASTELLE" "" \
    "$(comm -23 "$E2E_WORK/all.txt" "$E2E_WORK/whole-sorted.txt" | comm -23 - "$E2E_WORK/malformed.txt" | head -5 | tr '\n' ' ')"
echo "$(wc -l < "$E2E_WORK/malformed.txt") of $(wc -l < "$E2E_WORK/all.txt") payload frames malformed as MORVASTELLE"
echo "$(grep -cE '^[0-9]+ \|[0-9a-f]* \|(user|network) \|' "$E2E_WORK/payloads.z") calls on $(grep -c '^"' "$E2E_WORK/payloads.z") ports in the payload frames"

finish
