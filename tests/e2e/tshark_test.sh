#!/usr/bin/env bash
# The real tshark with the plugin: loading, registration as users see it,
# decoding of the sample capture, filters and the other ways in.
. "$(dirname "$0")/lib.sh" "$1"
samples=$2
sample=$(readable "$samples/sample.pcap")

check "plugin listed" "morvastelle.so 0.0.1 dissector" \
    "$(host tshark -G plugins | awk '$1 == "morvastelle.so" {print $1, $2, $3}')"
check "only the loader's entry points exported" "" \
    "$(nm -D --defined-only "$1" | awk '$3 !~ /^plugin_/ {print $3}' | head -3)"
# Hosts from 4.6 on append columns of flags.
check "protocol listed" "$(printf 'MORVASTELLE Protocol\tMORVASTELLE\tmorvastelle')" \
    "$(host tshark -G protocols | awk -F '\t' -v OFS='\t' '$3 == "morvastelle" {print $1, $2, $3}')"
check "fields listed in order" \
    "morvastelle.data FT_NONE|morvastelle.type FT_UINT8|morvastelle.isdn_port FT_STRING|" \
    "$(host tshark -G fields | awk -F'\t' '$1 == "F" && $5 == "morvastelle" {printf "%s %s|", $3, $4}')"
check "type labels" "0 LAPD|1 UNKNOWN|" \
    "$(host tshark -G values | awk -F'\t' '$2 == "morvastelle.type" {printf "%s %s|", $3, $4}')"
check "bound to udp.port 4 only" "$(printf 'udp.port\t4\tmorvastelle')" \
    "$(host tshark -G decodes | grep -F "$(printf '\tmorvastelle')" || true)"

# The one-line summary builds no tree for most packets: the hand-off must
# still happen there.
summary=$(host tshark -r "$sample" | sed 's/^ *[0-9]* [0-9.]* *[^ ]* [^ ]* [^ ]* *//')
check "summary lines" "\
Q.931 74 TEI:64 I, N(R)=0, N(S)=0 | SETUP
Q.931 62 TEI:64 I, N(R)=1, N(S)=0 | CALL PROCEEDING
Q.931 60 TEI:64 I, N(R)=1, N(S)=1 | ALERTING
Q.931 60 TEI:64 I, N(R)=1, N(S)=2 | CONNECT
LAPD 60 TEI:64 S, func=RR, N(R)=4 |
Q.931 61 TEI:64 I, N(R)=0, N(S)=2 | DISCONNECT
Q.931 60 TEI:64 I, N(R)=3, N(S)=3 | RELEASE
Q.931 60 TEI:64 I, N(R)=4, N(S)=3 | RELEASE COMPLETE
LAPD 60 TEI:63 U P, func=SABME |
LAPD 60 TEI:64 U P, func=UA |
MORVASTELLE 60
MORVASTELLE 60
MORVASTELLE 60 [Malformed Packet]" "$(printf '%s\n' "$summary" | sed 's/ *$//')"

detail=$(host tshark -r "$sample" -V -O morvastelle)
morvastelle_lines=$(printf '%s\n' "$detail" | sed -n 's/^    \(Type: .*\|ISDN-Port: .*\)/\1/p; /^\[Malformed/p' | LC_ALL=C sort | uniq -c | sed 's/^ *//')
check "detail of the MORVASTELLE items" "\
1 ISDN-Port: 
1 ISDN-Port: BRI-3/0
5 ISDN-Port: isdn0
3 ISDN-Port: isdn1
11 Type: LAPD (0)
1 Type: UNKNOWN (1)
1 Type: Unknown (42)
1 [Malformed Packet: MORVASTELLE]" "$morvastelle_lines"
check "Q.931 messages in the detail" "SETUP,CALL PROCEEDING,ALERTING,CONNECT,DISCONNECT,RELEASE,RELEASE COMPLETE" \
    "$(host tshark -r "$sample" -V | sed -n 's/^    Message type: \(.*\) (0x..)$/\1/p' | paste -sd,)"

# The same frames in a capture of bare LAPD (link type 203) must decode to
# the same LAPD and Q.931 fields.
lapd_fields=(-e lapd.sapi -e lapd.cr -e lapd.tei -e lapd.control -e lapd.control.ftype -e lapd.control.n_r
    -e lapd.control.n_s -e lapd.control.s_ftype -e lapd.control.u_modifier_cmd
    -e q931.call_ref -e q931.message_type -e q931.information_transfer_rate -e q931.cause_value)
host tshark -r "$sample" -Y lapd -T fields -e udp.payload |
    while read -r payload; do
        name_len=$((16#${payload:2:2}))
        printf '0000 %s\n' "$(printf '%s' "${payload:$((4 + 2 * name_len))}" | sed 's/../& /g')"
    done >"$E2E_WORK/native.txt"
capture -l 203 "$E2E_WORK/native.txt" "$E2E_WORK/native.pcap"
native=$(host tshark -r "$E2E_WORK/native.pcap" -T fields "${lapd_fields[@]}")
check "tunnelled LAPD decodes as native LAPD" "$native" \
    "$(host tshark -r "$sample" -Y lapd -T fields "${lapd_fields[@]}")"
check_contains "native capture has a Q.931 SETUP" "0x05" "$native"

frames() { host tshark -r "$1" -Y "$2" -T fields -e frame.number | paste -sd,; }
check "filter on port name" "6,7,8" "$(frames "$sample" 'morvastelle.isdn_port == "isdn1"')"
check "filter on empty port name" "10" "$(frames "$sample" 'morvastelle.isdn_port == ""')"
check "filter lapd && morvastelle" "1,2,3,4,5,6,7,8,9,10" "$(frames "$sample" 'lapd && morvastelle')"
check "filter on Type" "11,12" "$(frames "$sample" 'morvastelle.type != 0')"
check "filter on a tunnelled Q.931 field" "1" "$(frames "$sample" 'q931.message_type == 0x05 && morvastelle')"
check "morvastelle.data is accepted and matches nothing" "" "$(frames "$sample" 'morvastelle.data')"
check "port column in fields output" "isdn0,isdn0,isdn0,isdn0,isdn0,isdn1,isdn1,isdn1,BRI-3/0,,,," \
    "$(host tshark -r "$sample" -T fields -e morvastelle.isdn_port | paste -sd,)"

# Other ways in: IPv6, port 4 as the source, Decode As, an Exported PDU
# record naming the dissector.
setup_pdu="00 05 69 73 64 6e 30 00 81 00 00 08 01 01 05 04 03 80 90 a2"
printf '0000 %s\n' "$setup_pdu" >"$E2E_WORK/setup.txt"
capture -6 2001:db8::1,2001:db8::2 -u 4,40000 "$E2E_WORK/setup.txt" "$E2E_WORK/ipv6.pcap"
capture -4 192.0.2.1,192.0.2.2 -u 40000,5555 "$E2E_WORK/setup.txt" "$E2E_WORK/other-port.pcap"
printf '0000 00 0c 00 0b %s 00 00 00 00 %s\n' "$(printf morvastelle | od -An -tx1)" "$setup_pdu" \
    >"$E2E_WORK/exported.txt"
capture -l 252 "$E2E_WORK/exported.txt" "$E2E_WORK/exported.pcap"
check "IPv6, source port 4" "isdn0 0x05" \
    "$(host tshark -r "$E2E_WORK/ipv6.pcap" -T fields -e morvastelle.isdn_port -e q931.message_type | tr '\t' ' ')"
check "other port without Decode As" "" \
    "$(host tshark -r "$E2E_WORK/other-port.pcap" -T fields -e morvastelle.isdn_port)"
check "other port with Decode As" "isdn0 0x05" \
    "$(host tshark -r "$E2E_WORK/other-port.pcap" -d udp.port==5555,morvastelle \
        -T fields -e morvastelle.isdn_port -e q931.message_type | tr '\t' ' ')"
check "Exported PDU record naming the dissector" "isdn0 0x05" \
    "$(host tshark -r "$E2E_WORK/exported.pcap" -T fields -e morvastelle.isdn_port -e q931.message_type | tr '\t' ' ')"

# Every frame shows the addresses its datagram arrived with, whatever the
# tunnelled LAPD made of them: the sample over IPv4, IPv6 and as Exported
# PDU records with the addresses udpdump gives them.
addresses() {
    host tshark -r "$1" -o 'gui.column.format:"Source","%s","Destination","%d"' | awk '{ print $1, $NF }' | sort | uniq -c |
        sed 's/^ *//'
}
host tshark -r "$sample" -T fields -e udp.payload | sed 's/../& /g; s/^/0000 /' >"$E2E_WORK/payloads.txt"
# And a SETUP whose bearer capability is cut short: Q.931 raises an error
# after LAPD has had the addresses.
echo "0000 00 05 69 73 64 6e 30 00 81 00 00 08 01 01 05 04 0a 80" >>"$E2E_WORK/payloads.txt"
capture -6 2001:db8::1,2001:db8::2 -u 40000,4 "$E2E_WORK/payloads.txt" "$E2E_WORK/sample6.pcap"
# Dissector name, IPv4 source and destination, end of options.
exported_header="00 0c 00 0b $(printf morvastelle | od -An -tx1) 00 14 00 04 c0 00 02 01 00 15 00 04 c6 33 64 07 00 00 00 00"
sed "s/^0000 /0000 $exported_header /" "$E2E_WORK/payloads.txt" >"$E2E_WORK/exported-sample.txt"
capture -l 252 "$E2E_WORK/exported-sample.txt" "$E2E_WORK/exported-sample.pcap"
check "IPv4 addresses on every frame" "13 192.0.2.1 192.0.2.2" "$(addresses "$sample")"
check "IPv6 addresses on every frame" "14 2001:db8::1 2001:db8::2" "$(addresses "$E2E_WORK/sample6.pcap")"
check "Exported PDU addresses on every frame" "14 192.0.2.1 198.51.100.7" "$(addresses "$E2E_WORK/exported-sample.pcap")"
check_contains "the cut SETUP is malformed" "[Malformed Packet" "$(host tshark -r "$E2E_WORK/sample6.pcap" -Y 'frame.number == 14')"

# Generated gateways over IPv4 and IPv6, as datagrams and as Exported PDU
# records: nothing malformed, UDP's checksum right where IPv6 needs it, and
# the same addresses and messages both ways.
python3 "$(dirname "$0")/../../bench/gen-calls.py" "$E2E_WORK/fleet.pcap" --port-names isdn0,isdn1 --calls 6 --links \
    --gateways 192.0.2.1,2001:db8::7 --export-pdus "$E2E_WORK/fleet-export.pcap"
chmod a+r "$E2E_WORK"/fleet*.pcap
fleet_fields=(-T fields -e morvastelle.isdn_port -e lapd.control -e q931.message_type)
check "fleet: addresses" "72 192.0.2.1 198.51.100.1
72 2001:db8::7 2001:db8::100" "$(addresses "$E2E_WORK/fleet.pcap")"
check "fleet: nothing malformed, IPv6 lengths and checksums right" "72" \
    "$(host tshark -r "$E2E_WORK/fleet.pcap" -o udp.check_checksum:TRUE \
        -Y '!_ws.malformed && ipv6.plen == udp.length && udp.checksum.status == 1' | wc -l)"
check "fleet: Exported PDU records alike" \
    "$(addresses "$E2E_WORK/fleet.pcap"; host tshark -r "$E2E_WORK/fleet.pcap" "${fleet_fields[@]}")" \
    "$(addresses "$E2E_WORK/fleet-export.pcap"; host tshark -r "$E2E_WORK/fleet-export.pcap" "${fleet_fields[@]}")"

finish
