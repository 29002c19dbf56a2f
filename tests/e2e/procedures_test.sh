#!/usr/bin/env bash
# Normal Q.921/Q.931 procedures and their faulty twins in the real tshark,
# one per ISDN port of bench/gen-procedures.py's capture: the analysis finds
# on each frame just what the generator expects, the same in one pass and
# with -2, and the calls table ends every call the way it ended.
. "$(dirname "$0")/lib.sh" "$1"

capture=$E2E_WORK/procedures.pcap
python3 "$(dirname "$0")/../../bench/gen-procedures.py" "$capture" --expect-findings "$E2E_WORK/findings.expect" \
    --expect-calls "$E2E_WORK/calls.expect" --expect-states "$E2E_WORK/states.expect"
chmod a+r "$capture"

check_findings_agree procedures "$capture"
# Each line led by its frame's port and its words sorted, so that a
# difference names the procedure.
declare -A port_of
while read -r frame port; do port_of[$frame]=$port; done \
    < <(host tshark -r "$capture" -T fields -E separator=' ' -e frame.number -e morvastelle.isdn_port)
by_port() {
    local frame words
    while read -r frame words; do
        # shellcheck disable=SC2086
        echo "${port_of[$frame]} $frame $(printf '%s\n' $words | LC_ALL=C sort | paste -sd' ')"
    done < "$1"
}
check "the frames with findings and their findings (< expected, > found)" "" \
    "$(diff <(by_port "$E2E_WORK/findings.expect") <(by_port "$E2E_WORK/procedures.findings"))"

# The table's rows as "PORT COLUMN...", columns by number, causes by value.
table=$(host tshark -q -2 -z morvastelle.calls -r "$capture")
rows() {
    awk -F' [|]' -v columns="$*" '
        BEGIN { n = split(columns, column, " ") }
        /^"/ { port = substr($0, 2, length($0) - 2); next }
        $1 ~ /^[0-9]+$/ {
            line = port
            for (i = 1; i <= n; i++) { value = $column[i]; if (value ~ /^[0-9]+ /) sub(/ .*/, "", value); line = line " " value }
            print line
        }' <<< "$table"
}
check "each call's port, outcome and cause (< expected, > found)" "" \
    "$(diff "$E2E_WORK/calls.expect" <(rows 9 10))"
# Frames sent again count once, and so do the digits they carry.
check "calls' frames and called number, go-back-N" "gobackn 03020001 8
gobackn-user 12 10" "$(rows 5 11 | grep -E '^gobackn(-user)? ')"
check "a suspended and resumed call's states" "$(cat "$E2E_WORK/states.expect")" \
    "$(host tshark -r "$capture" -2 -T fields -E separator=' ' -e frame.number -e morvastelle_call.state \
        -Y "frame.number in {$(cut -d' ' -f1 "$E2E_WORK/states.expect" | paste -sd,)}")"
finish
