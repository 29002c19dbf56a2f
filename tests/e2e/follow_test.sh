#!/usr/bin/env bash
# Following one call in the real tshark: the MORVASTELLE Call layer's number,
# outcome and links on every frame of a call, the same in one pass and two,
# the calls table's Call column leading to them, the layer switched off, the
# Keypad facility as the called number, and the records on the "voip" tap.
. "$(dirname "$0")/lib.sh" "$1"
samples=$2
calls=$(readable "$samples/calls.pcap")

frames() { host tshark -r "$1" "${@:3}" -Y "$2" -T fields -e frame.number | paste -sd,; }
fields() { host tshark -r "$@" | tr '\t' ' '; }

# The calls of samples/calls.txt, in the order they start, with their frames:
# a retransmission belongs to its call, the RR, link set-ups and the RESTART
# to none.
expected_frames=(
    "3,4,5,6,7,8,40,41,42"
    "11,12,13,14,15"
    "16,17"
    "18,19,20,22,23,24,25,26"
    "29,30,33,34,35,43,44,45"
    "36"
    "37,38,39"
)
for pass in 1 2; do
    two=()
    [ $pass = 2 ] && two=(-2)
    for n in 1 2 3 4 5 6 7; do
        check "call $n's frames, $pass pass(es)" "${expected_frames[n - 1]}" \
            "$(frames "$calls" "morvastelle_call.id == $n" "${two[@]}")"
    done
    check "frames of no call, $pass pass(es)" "1,2,9,10,21,27,28,31,32" \
        "$(frames "$calls" "!morvastelle_call.id" "${two[@]}")"
done

# The calls table's Call column names the same calls: its port, reference
# and side are those of the frames the number selects.
table=$(host tshark -q -z morvastelle.calls -r "$calls" |
    awk -F' [|]' '/^"/ { port = $0; next } port && NF > 5 { print $1, port, $2, $3 }' | sort -n)
selected=$(for n in 1 2 3 4 5 6 7; do
    fields "$calls" -Y "morvastelle_call.id == $n" -T fields -e morvastelle.isdn_port -e q931.call_ref \
        -e morvastelle_call.originated_by | sort -u | sed "s/^\([^ ]*\) /$n \"\1\" /"
done)
check "calls table rows lead to their frames" "$table" "$selected"

# The links after both passes, and what one pass knows when it reads a frame.
links=(-T fields -e frame.number -e morvastelle_call.outcome -e morvastelle_call.setup_frame
    -e morvastelle_call.connect_frame -e morvastelle_call.clearing_frame)
check "links on every call's SETUP, two passes" "\
3 answered 3 7 40
11 rejected 11  13
16 rejected 16  17
18 cancelled 18  24
29 answered 29 34 43
37 in progress 37  " "$(fields "$calls" -2 -Y 'morvastelle_call.setup_frame == frame.number' "${links[@]}")"
check "links as one pass has read them" "\
3 in progress 3  
29 in progress 29  
33 in progress 29  
34 answered 29 34 
43 answered 29 34 43" "$(fields "$calls" -Y 'frame.number in {3, 29, 33, 34, 43}' "${links[@]}")"
check "the stray RELEASE COMPLETE: a call of its own without SETUP" "36 unknown   36" \
    "$(fields "$calls" -2 -Y 'frame.number == 36' "${links[@]}")"
check "retransmission and time since setup" "6 5 2.200000000 7  4.700000000" \
    "$(fields "$calls" -2 -Y 'frame.number in {6, 7}' -T fields -e frame.number \
        -e morvastelle_call.retransmission_of -e morvastelle_call.time_since_setup | paste -sd' ')"

# Switched off, the layer adds nothing, the rest decodes as before and the
# call statistics list no calls.
off=(--disable-protocol morvastelle_call)
check "layer off: no call items" "" "$(frames "$calls" morvastelle_call "${off[@]}")"
check "layer off: the same summary lines" "$(host tshark -r "$calls")" "$(host tshark -r "$calls" "${off[@]}")"
check "layer off: no calls in the table" "0" \
    "$(host tshark -q -z morvastelle.calls -r "$calls" "${off[@]}" | grep -cE '^[0-9]+ [|]' || true)"

# A basic-rate terminal dialling with the Keypad facility: SETUP with "55"
# and no Called party number, then INFORMATION with "12".
cat >"$E2E_WORK/keypad.txt" <<'EOF'
0000 00 05 69 73 64 6e 30 00 81 00 00 08 01 01 05 04 03 80 90 a2 2c 02 35 35
0000 00 05 69 73 64 6e 30 00 81 02 00 08 01 01 7b 2c 02 31 32
0000 00 05 69 73 64 6e 30 02 81 00 04 08 01 81 01
EOF
capture -u 1234,4 "$E2E_WORK/keypad.txt" "$E2E_WORK/keypad.pcap"
for two in "" -2; do
    check "keypad digits as the called number ${two:-one pass}" "1 |01 |user |- |5512 |" \
        "$(host tshark -q $two -z morvastelle.calls -r "$E2E_WORK/keypad.pcap" | grep '^1 |' | cut -d'|' -f1-5)|"
done

# The host's VoIP Calls gets a record per call frame, drawn between the
# sides of the port, both ways, in one pass and two.
cat >"$E2E_WORK/voip.lua" <<'EOF'
local voip = Listener.new("voip")
function voip.packet(pinfo)
    print(string.format("voip %d %s > %s", pinfo.number, tostring(pinfo.src), tostring(pinfo.dst)))
end
EOF
chmod a+r "$E2E_WORK/voip.lua"
call_frames=$(frames "$calls" morvastelle_call.id | tr , '\n')
for two in "" -2; do
    records=$(host tshark -q $two -r "$calls" -X "lua_script:$E2E_WORK/voip.lua" | grep '^voip ')
    check "voip: one record per call frame ${two:-one pass}" "$call_frames" "$(printf '%s\n' "$records" | cut -d' ' -f2)"
    check "voip: frame 3 from the user" "voip 3 isdn0 user TEI 64 > isdn0 network" "$(printf '%s\n' "$records" | grep '^voip 3 ')"
    check "voip: frame 29, broadcast by the network" "voip 29 isdn1 network > isdn1 user TEI 127" \
        "$(printf '%s\n' "$records" | grep '^voip 29 ')"
    check "voip: frame 4 to the user" "voip 4 isdn0 network > isdn0 user TEI 64" "$(printf '%s\n' "$records" | grep '^voip 4 ')"
done
# The columns keep the datagram's addresses.
check "addresses in the columns" "$(host tshark -r "$calls" -T fields -e ip.src -e ip.dst | sort -u | tr '\t' ' ')" \
    "$(host tshark -r "$calls" -X "lua_script:$E2E_WORK/voip.lua" -o 'gui.column.format:"Source","%s","Destination","%d"' |
        grep -v '^voip ' | awk '{ print $1, $NF }' | sort -u)"

# A generated capture of five ports, calls interleaved and references
# reused: every frame is in the call the generator made it for.
python3 "$(dirname "$0")/../../bench/gen-calls.py" "$E2E_WORK/generated.pcap" --ports 5 --calls 60 \
    --frames "$E2E_WORK/generated.frames"
chmod a+r "$E2E_WORK/generated.pcap"
for two in "" -2; do
    check "generated: each frame's call ${two:-one pass}" "$(cat "$E2E_WORK/generated.frames")" \
        "$(host tshark -r "$E2E_WORK/generated.pcap" $two -T fields -e morvastelle_call.id)"
done
check "generated: call 37's frames by filter" \
    "$(awk '$1 == 37 { printf "%s%d", sep, NR; sep = "," }' "$E2E_WORK/generated.frames")" \
    "$(frames "$E2E_WORK/generated.pcap" 'morvastelle_call.id == 37')"
# Each port's calls again in step under other names: calls of their own,
# numbered as the generator says.
python3 "$(dirname "$0")/../../bench/gen-calls.py" "$E2E_WORK/copies.pcap" --ports 5 --calls 60 --name-copies 3 \
    --frames "$E2E_WORK/copies.frames"
chmod a+r "$E2E_WORK/copies.pcap"
check "name copies: each frame's call" "$(cat "$E2E_WORK/copies.frames")" \
    "$(host tshark -r "$E2E_WORK/copies.pcap" -T fields -e morvastelle_call.id)"

finish
