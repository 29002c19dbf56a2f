#!/usr/bin/env bash
# One collector, a fleet of gateways, in the real tshark: three gateways
# (IPv4 and IPv6) send ports of the same names with the same call
# references and LAPD sequence numbers, in step. Nothing is found; every
# view holds each call once, under its own gateway's port, named by the
# gateway's address; one pass as with -2; a display filter narrows the
# views to one gateway.
. "$(dirname "$0")/lib.sh" "$1"

fleet=$E2E_WORK/fleet.pcap
python3 "$(dirname "$0")/../../bench/gen-calls.py" "$fleet" --gateways 192.0.2.1,192.0.2.2,2001:db8::7 \
    --port-names isdn0,isdn1 --calls 6 --links --expect "$E2E_WORK/fleet.expect"
chmod a+r "$fleet"

check_findings_agree fleet "$fleet"
check "nothing found" "" "$(cat "$E2E_WORK/fleet.findings")"

# The outcomes tree as the generator counted each gateway's ports.
expected=$(awk '!/^#/ {
    port = "Calls / \"" $2 "\" " $1
    print port ": " $3 + $4 + $5; print port " / answered: " $3; print port " / rejected: " $4; print port " / cancelled: " $5
}' "$E2E_WORK/fleet.expect" | grep -v ': 0$' | LC_ALL=C sort)
outcomes() {
    stats_tree_counts morvastelle.outcomes "$fleet" "${1:-}" | grep -E '^Calls / [^/]*(: | / (answered|rejected|cancelled): )'
}
check "outcomes per gateway's port" "$expected" "$(outcomes)"
check "outcomes of one gateway" "$(grep '" 192.0.2.2' <<< "$expected")" "$(outcomes 'ip.src == 192.0.2.2')"

# The calls table: each port's calls by number and reference, the same in
# one pass as with -2.
calls() {
    host tshark -q -z "morvastelle.calls${1:+,$1}" -r "$fleet" "${@:2}" |
        awk -F' [|]' '/^"/ { port = $0 } $1 ~ /^[0-9]+$/ { print port ": " $1 " " $2 " " $9 }'
}
table=$(calls)
check "the calls table, 18 calls" 18 "$(wc -l <<< "$table")"
check "the calls table, -2" "$table" "$(calls '' -2)"
check "each gateway's first call on isdn0" '"isdn0" 192.0.2.1: 1 01 answered
"isdn0" 192.0.2.2: 2 01 answered
"isdn0" 2001:db8::7: 3 01 answered' "$(grep -E ': [123] ' <<< "$table")"
check "the calls table of one gateway" "$(grep '2001:db8::7:' <<< "$table")" "$(calls 'ipv6.src == 2001:db8::7')"
check "a call's frames are its gateway's" "192.0.2.2" \
    "$(host tshark -r "$fleet" -Y 'morvastelle_call.id == 2' -T fields -e ip.src | sort -u)"

# The ports tree and the port KPIs name the same six ports.
ports=$(awk '!/^#/ { print "\"" $2 "\" " $1 }' "$E2E_WORK/fleet.expect" | LC_ALL=C sort)
check "ports tree" "$ports" "$(stats_tree_counts morvastelle.ports "$fleet" |
    sed -n 's|^MORVASTELLE PDUs / LAPD (0) / \([^/]*\): [0-9]*$|\1|p')"
check "port KPIs" "$ports" "$(host tshark -q -z morvastelle.kpi -r "$fleet" | sed -n 's/^\("[^|]*\) |3 |.*/\1/p' |
    LC_ALL=C sort)"
finish
