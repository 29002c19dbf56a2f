#!/usr/bin/env bash
# The "morvastelle.kpi" table in the real tshark: every figure on the bundled
# calls capture in one pass and in two, narrowed by display filters, and the
# ratios of a generated capture of several ports against what its generator
# wrote.
. "$(dirname "$0")/lib.sh" "$1"
samples=$2
calls=$(readable "$samples/calls.pcap")

# The table's rows without the rule lines and the filter line.
kpi_table() {
    host tshark -q ${3:-} -z "morvastelle.kpi${2:+,$2}" -r "$1" | grep -v -e '^=*$' -e '^Filter for statistics'
}

check "listed by -z help" "     morvastelle.kpi" "$(host tshark -z help 2>&1 | grep -F morvastelle.kpi || true)"

header="MORVASTELLE Port KPIs:
ISDN port |Calls |Answered |ASR (%) |NER (%) |ACD (s) |PDD (s) |Peak calls |Peak at (s) |Erlangs |
ISDN ports"
# samples/calls.txt: on isdn0 A answered (alerted after 1.2 s, 60 s
# connected, over when the RESTART is acknowledged), B refused busy, C
# given up before ALERTING, 34.42 s of calls over 65.76 s; on isdn1 F refused for want of a channel, G answered
# (alerted after 0.1 s), I still ringing (after 1 s) when the capture ends,
# a stray message that is no seizure, 106.68 s over 97.12 s.
isdn0='"isdn0" |3 |1 |33.3 |66.7 |60.000 |1.200 |2 |10.000 |0.523 |'
isdn1='"isdn1" |3 |1 |50.0 |50.0 |60.000 |0.550 |2 |60.000 |1.098 |'
all_ports='all ports |6 |2 |40.0 |60.0 |60.000 |0.767 |2 |6.000 |1.369 |'

check "kpi table" "$header
$isdn0
$isdn1
$all_ports" "$(kpi_table "$calls")"
# The second pass sees every call whole from its first message on.
check "kpi table, two passes" "$header
$isdn0
$isdn1
$all_ports" "$(kpi_table "$calls" '' -2)"
check "kpi table, one port" "$header
$isdn0
all ports |3 |1 |33.3 |66.7 |60.000 |1.200 |2 |10.000 |0.523 |" \
    "$(kpi_table "$calls" 'morvastelle.isdn_port == "isdn0"')"
check "kpi table, no calls" "$header
all ports |0 |0 |- |- |- |- |0 |- |- |" "$(kpi_table "$calls" 'frame.number == 0')"

# Every generated call alerts 1.2 s after its SETUP, before it ends: all
# effective.
python3 "$(dirname "$0")/../../bench/gen-calls.py" "$E2E_WORK/generated.pcap" --ports 5 --calls 60 \
    --expect "$E2E_WORK/generated.expect"
chmod a+r "$E2E_WORK/generated.pcap"
check "generated: calls and ratios per port" \
    "$(awk '!/^#/ { n = $2 + $3 + $4; tenths = int((2000 * $2 + n) / (2 * n))
        printf "\"%s\" %d %d %d.%d 100.0 1.200\n", $1, n, $2, tenths / 10, tenths % 10 }' "$E2E_WORK/generated.expect")" \
    "$(kpi_table "$E2E_WORK/generated.pcap" | awk -F' [|]' '/^"/ { print $1, $2, $3, $4, $5, $7 }')"

finish
