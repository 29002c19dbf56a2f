#!/usr/bin/env bash
# The call statistics in the real tshark: the "morvastelle.calls" table and
# the "morvastelle.outcomes" tree on the bundled calls capture (the same
# reference on two ports and from both sides of one port, overlap digits, a
# retransmission, a broadcast call, a stray clearing message), narrowed by
# display filters.
. "$(dirname "$0")/lib.sh" "$1"
samples=$2
calls=$(readable "$samples/calls.pcap")

# The table's rows without the rule lines and the filter line.
calls_table() {
    host tshark -q -z "morvastelle.calls${2:+,$2}" -r "$1" | grep -v -e '^=*$' -e '^Filter for statistics'
}

check "listed by -z help" "\
     morvastelle.calls
     morvastelle.outcomes,tree" \
    "$(host tshark -z help 2>&1 | grep -F -e morvastelle.calls -e morvastelle.outcomes || true)"

header="Call |Call reference |Originated by |Calling number |Called number |Start (s) |Answer delay (s) |Connected (s) |Outcome |Cause |Frames |Lost frames |"
isdn0='"isdn0"
1 |01 |user |5551000 |5552000 |1.000 |4.700 |60.000 |answered |16 Normal call clearing |8 |- |
3 |01 |network |5559999 |5551000 |10.000 |- |- |rejected |17 User busy |2 |- |
4 |02 |user |5551000 |5553000 |20.000 |- |- |cancelled |16 Normal call clearing |8 |- |'
isdn1='"isdn1"
2 |01 |user |5557000 |5558000 |6.000 |- |- |rejected |34 No circuit/channel available |5 |- |
5 |05 |network |5550100 |5557000 |40.000 |3.000 |60.000 |answered |16 Normal call clearing |8 |- |
6 |07 |user |? |? |50.000 |- |- |unknown |81 Invalid call reference value |1 |- |
7 |03 |user |5557000 |5550200 |60.000 |- |- |in progress |- |3 |- |'

check "calls table" "MORVASTELLE Calls:
$header
$isdn0
$isdn1" "$(calls_table "$calls")"
check "calls table, one port" "MORVASTELLE Calls:
$header
$isdn1" "$(calls_table "$calls" 'morvastelle.isdn_port == "isdn1"')"
# No call at all: the host still reads the table of tables.
check "calls table, no calls" "MORVASTELLE Calls:
$header" "$(calls_table "$calls" 'frame.number == 0')"
# A filter chooses calls, not what is known of them: a call is listed when
# one of its messages passes, as the whole capture shows it.
check "calls table, no SETUP" "MORVASTELLE Calls:
$header
$isdn0" "$(calls_table "$calls" 'morvastelle.isdn_port == "isdn0" && q931.message_type != 0x05')"

# A node stays at 0 when its calls moved on: a stats tree cannot drop one.
isdn0_outcomes='Calls / "isdn0" / answered: 1
Calls / "isdn0" / cancelled / 16 Normal call clearing: 1
Calls / "isdn0" / cancelled: 1
Calls / "isdn0" / in progress: 0
Calls / "isdn0" / rejected / 17 User busy: 1
Calls / "isdn0" / rejected: 1
Calls / "isdn0": 3'
check "outcomes tree" "$isdn0_outcomes
Calls / \"isdn1\" / answered: 1
Calls / \"isdn1\" / in progress: 1
Calls / \"isdn1\" / rejected / 34 No circuit/channel available: 1
Calls / \"isdn1\" / rejected: 1
Calls / \"isdn1\" / unknown: 1
Calls / \"isdn1\": 4
Calls: 7" "$(stats_tree_counts morvastelle.outcomes "$calls")"
check "outcomes tree, one port" "$isdn0_outcomes
Calls: 3" "$(stats_tree_counts morvastelle.outcomes "$calls" 'morvastelle.isdn_port == "isdn0"')"

# A generated capture of several ports, calls interleaved and references
# reused: every call in its port's table once, and the outcomes the
# generator wrote them with in the tree.
python3 "$(dirname "$0")/../../bench/gen-calls.py" "$E2E_WORK/generated.pcap" --ports 5 --calls 60 \
    --expect "$E2E_WORK/generated.expect"
chmod a+r "$E2E_WORK/generated.pcap"
check "generated: calls per port" \
    "$(awk '!/^#/ { print "\"" $1 "\" " $2 + $3 + $4 }' "$E2E_WORK/generated.expect")" \
    "$(calls_table "$E2E_WORK/generated.pcap" | awk '/^"/ { if (port) print port, n; port = $0; n = 0; next }
        port && / [|]/ { n++ } END { print port, n }')"
check "generated: outcomes per port" \
    "$(awk '!/^#/ { printf "Calls / \"%s\" / answered: %d\nCalls / \"%s\" / cancelled: %d\nCalls / \"%s\" / rejected: %d\n",
        $1, $2, $1, $4, $1, $3 }' "$E2E_WORK/generated.expect" | grep -v ': 0$' | LC_ALL=C sort)" \
    "$(stats_tree_counts morvastelle.outcomes "$E2E_WORK/generated.pcap" |
        grep -E '/ (answered|cancelled|rejected): [1-9]')"

# Keypad digits dial where no Called party number does: tshark's first pass
# of two runs no taps, so the second one reads them from the PDU again.
printf '%s\n' \
    '0000  00 05 69 73 64 6e 30 00 81 00 00 08 01 01 05 04' \
    '0010  03 80 90 a3 6c 04 00 80 35 35 2c 03 31 32 33' \
    '0000  00 0b 69 73 64 6e 31 2d 74 72 75 6e 6b 00 81 00' \
    '0010  00 08 01 02 05 04 03 80 90 a3 6c 04 00 80 36 36' \
    '0020  70 04 80 37 37 37' >"$E2E_WORK/keypad.txt"
capture -u 1000,4 "$E2E_WORK/keypad.txt" "$E2E_WORK/keypad.pcap"
keypad_rows='"isdn0"
1 |01 |user |55 |123 |0.000 |- |- |in progress |- |1 |- |
"isdn1-trunk"
2 |02 |user |66 |777 |0.000 |- |- |in progress |- |1 |- |'
for passes in "" -2; do
    check "keypad digits, passes: ${passes:-one}" "$keypad_rows" \
        "$(host tshark -q $passes -z morvastelle.calls -r "$E2E_WORK/keypad.pcap" | grep -e '^"' -e '^[0-9]')"
done

# Both at once, over two passes: each keeps its own calls.
both=$(host tshark -q -2 -z morvastelle.calls -z morvastelle.outcomes,tree -r "$calls")
check_contains "table beside the tree" "$isdn1" "$both"
check_contains "tree beside the table" "Calls                               7" "$both"

finish
