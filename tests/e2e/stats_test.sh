#!/usr/bin/env bash
# The "morvastelle.ports" stats tree in the real tshark: exact counts on the
# sample capture and on a generated one with several ports and every LAPD
# frame function, a display filter on the tree, and PDUs cut short by the
# capture's snapshot length.
. "$(dirname "$0")/lib.sh" "$1"
samples=$2
sample=$(readable "$samples/sample.pcap")

tree_counts() {
    stats_tree_counts morvastelle.ports "$@"
}

check "listed by -z help" "     morvastelle.ports,tree" \
    "$(host tshark -z help 2>&1 | grep -F morvastelle.ports || true)"

check "sample capture" "\
LAPD frames by kind / I-frame: 7
LAPD frames by kind / S-frame / RR: 1
LAPD frames by kind / S-frame: 1
LAPD frames by kind / U-frame / SABME: 1
LAPD frames by kind / U-frame / UA: 1
LAPD frames by kind / U-frame: 2
LAPD frames by kind: 10
MORVASTELLE PDUs / LAPD (0) / \"\" / U-frame / UA: 1
MORVASTELLE PDUs / LAPD (0) / \"\" / U-frame: 1
MORVASTELLE PDUs / LAPD (0) / \"\": 1
MORVASTELLE PDUs / LAPD (0) / \"BRI-3/0\" / U-frame / SABME: 1
MORVASTELLE PDUs / LAPD (0) / \"BRI-3/0\" / U-frame: 1
MORVASTELLE PDUs / LAPD (0) / \"BRI-3/0\": 1
MORVASTELLE PDUs / LAPD (0) / \"isdn0\" / I-frame: 4
MORVASTELLE PDUs / LAPD (0) / \"isdn0\" / S-frame / RR: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn0\" / S-frame: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn0\": 5
MORVASTELLE PDUs / LAPD (0) / \"isdn1\" / I-frame: 3
MORVASTELLE PDUs / LAPD (0) / \"isdn1\": 3
MORVASTELLE PDUs / LAPD (0): 10
MORVASTELLE PDUs / Truncated or malformed / \"isd\": 1
MORVASTELLE PDUs / Truncated or malformed: 1
MORVASTELLE PDUs / UNKNOWN (1): 1
MORVASTELLE PDUs / Unknown (42): 1
MORVASTELLE PDUs: 13" "$(tree_counts "$sample")"

check "filtered on one port" "\
LAPD frames by kind / I-frame: 4
LAPD frames by kind / S-frame / RR: 1
LAPD frames by kind / S-frame: 1
LAPD frames by kind: 5
MORVASTELLE PDUs / LAPD (0) / \"isdn0\" / I-frame: 4
MORVASTELLE PDUs / LAPD (0) / \"isdn0\" / S-frame / RR: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn0\" / S-frame: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn0\": 5
MORVASTELLE PDUs / LAPD (0): 5
MORVASTELLE PDUs: 5" "$(tree_counts "$sample" 'morvastelle.isdn_port == "isdn0"')"

# Port k carries k I-frames and one S-frame; the odd ones are named after
# the tree's own nodes, quoted, or cut short. On "dchan" the k-th function
# of each kind comes k times, P/F set on every other copy from the first
# (in the second control octet of an S-frame, the only one of a U-frame),
# then a REJ with its reserved bits set and frames of a kind but no
# function of it.
hex_pdu() { # PORT FRAME-HEX
    printf '0000 00 %02x' "${#1}"
    printf '%s' "$1" | od -An -tx1 | tr -d '\n'
    printf ' %s\n' "$2"
}
i_frame="00 81 00 00 08 01 01 05"
s_frame="00 81 01 08"
generated=$E2E_WORK/ports.txt
{
    for k in 1 2 3 4; do
        for _ in $(seq "$k"); do hex_pdu "isdn$k" "$i_frame"; done
        hex_pdu "isdn$k" "$s_frame"
    done
    hex_pdu "MORVASTELLE PDUs" "$s_frame"
    hex_pdu 'say "hi"' "02 7f 7f"
    hex_pdu "isdn1" "00"
    k=0
    for u in 6f 0f 03 43 63 87 af; do
        k=$((k + 1))
        for i in $(seq "$k"); do hex_pdu dchan "00 81 $(printf %02x $((0x$u | i % 2 * 0x10)))"; done
    done
    k=0
    for s in 01 05 09; do
        k=$((k + 1))
        for i in $(seq "$k"); do hex_pdu dchan "00 81 $s 0$((i % 2))"; done
    done
    hex_pdu dchan "00 81 f9 00"
    hex_pdu dchan "00 81 23"
    hex_pdu dchan "00 81 ff"
    hex_pdu dchan "00 81 0d 00"
    echo "0000 00 09 69 73 64"
    echo "0000 02 00"
} >"$generated"
host text2pcap -q -4 192.0.2.1,192.0.2.2 -u 1234,4 "$generated" "$E2E_WORK/ports.pcap"

check "several ports" "\
LAPD frames by kind / I-frame: 10
LAPD frames by kind / S-frame / REJ: 4
LAPD frames by kind / S-frame / RNR: 2
LAPD frames by kind / S-frame / RR: 6
LAPD frames by kind / S-frame / other: 1
LAPD frames by kind / S-frame: 13
LAPD frames by kind / U-frame / DISC: 4
LAPD frames by kind / U-frame / DM: 2
LAPD frames by kind / U-frame / FRMR: 6
LAPD frames by kind / U-frame / SABME: 2
LAPD frames by kind / U-frame / UA: 5
LAPD frames by kind / U-frame / UI: 3
LAPD frames by kind / U-frame / XID: 7
LAPD frames by kind / U-frame / other: 2
LAPD frames by kind / U-frame: 31
LAPD frames by kind / no LAPD frame: 1
LAPD frames by kind: 55
MORVASTELLE PDUs / LAPD (0) / \"MORVASTELLE PDUs\" / S-frame / RR: 1
MORVASTELLE PDUs / LAPD (0) / \"MORVASTELLE PDUs\" / S-frame: 1
MORVASTELLE PDUs / LAPD (0) / \"MORVASTELLE PDUs\": 1
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / S-frame / REJ: 4
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / S-frame / RNR: 2
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / S-frame / RR: 1
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / S-frame / other: 1
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / S-frame: 8
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / U-frame / DISC: 4
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / U-frame / DM: 2
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / U-frame / FRMR: 6
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / U-frame / SABME: 1
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / U-frame / UA: 5
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / U-frame / UI: 3
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / U-frame / XID: 7
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / U-frame / other: 2
MORVASTELLE PDUs / LAPD (0) / \"dchan\" / U-frame: 30
MORVASTELLE PDUs / LAPD (0) / \"dchan\": 38
MORVASTELLE PDUs / LAPD (0) / \"isdn1\" / I-frame: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn1\" / S-frame / RR: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn1\" / S-frame: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn1\" / no LAPD frame: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn1\": 3
MORVASTELLE PDUs / LAPD (0) / \"isdn2\" / I-frame: 2
MORVASTELLE PDUs / LAPD (0) / \"isdn2\" / S-frame / RR: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn2\" / S-frame: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn2\": 3
MORVASTELLE PDUs / LAPD (0) / \"isdn3\" / I-frame: 3
MORVASTELLE PDUs / LAPD (0) / \"isdn3\" / S-frame / RR: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn3\" / S-frame: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn3\": 4
MORVASTELLE PDUs / LAPD (0) / \"isdn4\" / I-frame: 4
MORVASTELLE PDUs / LAPD (0) / \"isdn4\" / S-frame / RR: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn4\" / S-frame: 1
MORVASTELLE PDUs / LAPD (0) / \"isdn4\": 5
MORVASTELLE PDUs / LAPD (0) / \"say \\\"hi\\\"\" / U-frame / SABME: 1
MORVASTELLE PDUs / LAPD (0) / \"say \\\"hi\\\"\" / U-frame: 1
MORVASTELLE PDUs / LAPD (0) / \"say \\\"hi\\\"\": 1
MORVASTELLE PDUs / LAPD (0): 55
MORVASTELLE PDUs / Truncated or malformed / \"isd\": 1
MORVASTELLE PDUs / Truncated or malformed: 1
MORVASTELLE PDUs / Unknown (2): 1
MORVASTELLE PDUs: 57" "$(tree_counts "$E2E_WORK/ports.pcap")"

# 42 octets of Ethernet, IPv4 and UDP headers, then 4 of each PDU: most
# names are cut short, the empty one and Types 1 and 42 stay whole.
host editcap -s 46 "$sample" "$E2E_WORK/sliced.pcap"
check "cut by the snapshot length" "\
LAPD frames by kind / no LAPD frame: 1
LAPD frames by kind: 1
MORVASTELLE PDUs / LAPD (0) / \"\" / no LAPD frame: 1
MORVASTELLE PDUs / LAPD (0) / \"\": 1
MORVASTELLE PDUs / LAPD (0): 1
MORVASTELLE PDUs / Truncated or malformed / \"BR\": 1
MORVASTELLE PDUs / Truncated or malformed / \"is\": 9
MORVASTELLE PDUs / Truncated or malformed: 10
MORVASTELLE PDUs / UNKNOWN (1): 1
MORVASTELLE PDUs / Unknown (42): 1
MORVASTELLE PDUs: 13" "$(tree_counts "$E2E_WORK/sliced.pcap")"

finish
