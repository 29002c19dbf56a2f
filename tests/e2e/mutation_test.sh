#!/usr/bin/env bash
# The real tshark on hostile captures: the sample plus COUNT generated PDUs
# in intact UDP, and the same capture mutated whole by editcap -E (IP and
# UDP headers too). Every frame must come out, tshark must exit 0 and report
# no dissector bug, and a PDU whose header is whole is never malformed as
# MORVASTELLE. The plugin's statistics (ISDN ports, calls, call outcomes)
# run over both as well, and the call layer must give every frame the same
# call in one pass as with -2, never a call of another port, reference or
# originating side. Its findings and those of the link layer must be the
# same in one pass as with -2, by frame and on the expert tap, and no frame
# may show more than a few.
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

# call_faults FIELDS: the frames of tshark -T fields output (frame, call,
# repeated frame, port, TEI, C/R, call reference, flag) whose call has a
# frame of another port, reference or originating side (or, on a user's
# call, data link), or which repeat a frame that is not an earlier one of
# their call.
call_faults() {
    python3 - "$1" <<'PY'
import sys
calls, frames_call = {}, {}
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    frame, call, repeated, port, tei, cr, ref, flag = (line.rstrip("\n").split("\t") + [""] * 8)[:8]
    if not call:
        continue
    frames_call[frame] = call
    # 4.0 writes a set bit as 1, newer hosts as True.
    network_originated = (flag in ("1", "True")) != (cr in ("1", "True"))
    key = (port, ref, network_originated, "" if network_originated else tei)
    if calls.setdefault(call, key) != key:
        print("frame %s in call %s of %s, not %s" % (frame, call, calls[call], key))
    if repeated and (int(repeated) >= int(frame) or frames_call.get(repeated) != call):
        print("frame %s of call %s repeats frame %s of call %s" % (frame, call, repeated, frames_call.get(repeated)))
PY
}

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

    # The call layer's answer, in one pass and in the second of -2.
    for passes in 1 2; do
        status=0
        host tshark -r "$file" $([ $passes = 1 ] || echo -2) -T fields -E occurrence=f \
            -e frame.number -e morvastelle_call.id -e morvastelle_call.retransmission_of \
            -e morvastelle.isdn_port -e lapd.tei -e lapd.cr -e q931.call_ref -e q931.call_ref_flag \
            > "$E2E_WORK/$capture.calls$passes" 2> "$E2E_WORK/$capture.calls$passes.err" || status=$?
        check "$capture: -T fields in $passes pass(es) exit status" 0 "$status"
    done
    check "$capture: every frame's call and repeated frame the same in one pass as with -2" "" \
        "$(diff <(cut -f1-3 "$E2E_WORK/$capture.calls1") <(cut -f1-3 "$E2E_WORK/$capture.calls2") | head -5)"
    check "$capture: no frame in another port's, reference's or side's call" "" \
        "$(call_faults "$E2E_WORK/$capture.calls2" | head -5)"

    # The analysis layers' findings in one pass and in the second of -2.
    # The host's own dissectors of mutated IP headers need not agree
    # between the passes (newer hosts' IPv6 does not): only the layers'
    # expert infos are compared.
    check_findings_agree "$capture" "$file" 'MORVASTELLE (Link|Call)'

    check "$capture no dissector bug" "" \
        "$(cat "$E2E_WORK/$capture".{V,2,z,calls1,calls2}{,.err} | grep -m3 -i 'dissector bug' || true)"
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

# The data link storms reach every link finding, or the checks above see
# less than they seem to.
for finding in lost retransmission out_of_order timer_recovery busy reject reset frame_reject tei_removed tei_denied; do
    check_contains "payloads: morvastelle_link.$finding" " morvastelle_link.$finding" "$(cat "$E2E_WORK/payloads.findings")"
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
echo "$(cut -f2 "$E2E_WORK/payloads.calls2" | grep -c .) payload frames in calls, $(cut -f3 "$E2E_WORK/payloads.calls2" | grep -c .) of them repeated frames"
echo "$(wc -l < "$E2E_WORK/payloads.findings") payload frames with findings, $(grep -c morvastelle_link "$E2E_WORK/payloads.findings" || true) of them the link layer's"

finish
