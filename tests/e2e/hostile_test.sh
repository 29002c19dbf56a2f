#!/usr/bin/env bash
# The real tshark on captures cut short by a snapshot length, on port
# names made of arbitrary octets, and on storms of data link frames.
. "$(dirname "$0")/lib.sh" "$1"
samples=$2
here=$(cd "$(dirname "$0")" && pwd)

# Frame 1 of the sample: 42 octets of Ethernet, IPv4 and UDP, then Type 0,
# L = 5, "isdn0" and a LAPD I-frame carrying SETUP.
for snaplen in 43 45 51; do
    editcap -s $snaplen "$samples/sample.pcap" "$E2E_WORK/cut-$snaplen.pcap" 2>/dev/null
done
chmod a+r "$E2E_WORK"/cut-*.pcap

# Only the Type captured: L and the name are cut off, not missing.
out=$(host tshark -r "$E2E_WORK/cut-43.pcap" -V -c 1)
check_contains "snaplen 43: type decoded" "    Type: LAPD (0)" "$out"
check_contains "snaplen 43: cut short" "[Packet size limited during capture: MORVASTELLE truncated]" "$out"
# A name cut short by the snapshot is not shown half.
out=$(host tshark -r "$E2E_WORK/cut-45.pcap" -V -c 1)
check_contains "snaplen 45: cut short" "[Packet size limited during capture: MORVASTELLE truncated]" "$out"
check "snaplen 45: no partial port name" "" "$(grep 'ISDN-Port' <<< "$out" || true)"
# The whole header captured, the LAPD frame cut.
out=$(host tshark -r "$E2E_WORK/cut-51.pcap" -V -c 1)
check_contains "snaplen 51: port decoded" "    ISDN-Port: isdn0" "$out"
check_contains "snaplen 51: LAPD cut short" "[Packet size limited during capture: LAPD truncated]" "$out"

# Across the whole sample: a LAPD PDU the snapshot cut is reported cut
# short, never malformed, in the tree and in the one-line summary (built
# without a tree). The sample's last PDU is short on the wire too: malformed
# once its L is captured, cut short before. Other Types go to "data", which
# shows what there is. Frames whose PDU was captured whole are left out:
# what the snapshot cut there is Ethernet padding.
expected_reports() {
    host tshark -r "$1" -T fields -e frame.number -e frame.cap_len -e udp.length -e morvastelle.type \
        | awk -F'\t' '$1 == 13 { print $1, ($2 >= 44 ? "malformed" : "short"); next }
                      $4 == 0 && $2 - 42 < $3 - 8 { print $1, "short" }'
}
# Keeps the reports ($2) on the frames of the expected ones ($1).
on_frames() {
    awk 'NR == FNR { keep[$1] = 1; next } keep[$1]' <(echo "$1") -
}
tree_reports() {
    host tshark -r "$1" -T fields -e frame.number -e _ws.short -e _ws.malformed -E occurrence=f \
        | awk -F'\t' '$3 != "" { print $1, "malformed"; next } $2 != "" { print $1, "short" }'
}
summary_reports() {
    host tshark -r "$1" \
        | awk '/\[Malformed Packet\]/ { print $1, "malformed"; next }
               /\[Packet size limited during capture\]/ { print $1, "short" }'
}
for snaplen in 43 45 51; do
    file=$E2E_WORK/cut-$snaplen.pcap
    expected=$(expected_reports "$file")
    check "snaplen $snaplen: reports in the tree" "$(echo $expected)" \
        "$(echo $(tree_reports "$file" | on_frames "$expected"))"
    check "snaplen $snaplen: reports in the summary" "$(echo $expected)" \
        "$(echo $(summary_reports "$file" | on_frames "$expected"))"
done

# Port names of arbitrary octets: control characters, UTF-8, bytes above
# 0x7f, an embedded NUL, quotes and backslashes, L = 255 of 1..255, L = 255
# of NULs. Each is followed by a LAPD frame carrying CONNECT.
python3 "$here/hostile_pcap.py" "$E2E_WORK/ports.pcap" --ports
chmod a+r "$E2E_WORK/ports.pcap"

out=$(host tshark -r "$E2E_WORK/ports.pcap" -V)
# Wireshark 4.0 escapes in octal, 4.4 in hexadecimal.
check "control characters escaped" "1" \
    "$(grep -cE 'ISDN-Port: ctl(\\001|\\x01)(\\033|\\x1B)\[31m(\\177|\\x7F)$' <<< "$out")"
check "no raw escape octet reaches the terminal" "0" "$(tr -dc '\033' <<< "$out" | wc -c)"
check "-V output is UTF-8" "ok" \
    "$(python3 -c 'import sys; sys.stdin.buffer.read().decode("utf-8"); print("ok")' <<< "$out" 2>&1)"
check "name of 255 octets skipped whole: every frame reaches Q.931" "7" \
    "$(grep -c 'Message type: CONNECT' <<< "$out")"
check "no port name is malformed" "" "$(grep 'Malformed' <<< "$out" || true)"

json_names=$(host tshark -r "$E2E_WORK/ports.pcap" -T json | python3 -c '
import json, sys
for packet in json.load(sys.stdin):
    print(repr(packet["_source"]["layers"]["morvastelle"]["morvastelle.isdn_port"]))' 2>&1)
check "-T json parses, names round-trip" \
    "'ctl\\x01\\x1b[31m\\x7f' 'quote\"back\\\\slash'" \
    "$(sed -n '1p;5p' <<< "$json_names" | tr '\n' ' ' | sed 's/ $//')"
check "-T json: every frame has a name" "7" "$(grep -c "^'" <<< "$json_names")"

ek_lines=$(host tshark -r "$E2E_WORK/ports.pcap" -T ek | python3 -c '
import json, sys
print(sum(1 for line in sys.stdin if "layers" in json.loads(line)))' 2>&1)
check "-T ek: every line parses" "7" "$ek_lines"

# Data link storms: the same findings on every frame in one pass as in the
# second of -2, and on the expert tap; a few at most on a frame; and each
# storm's frames found as often as it makes them go wrong (a new link in
# every frame and a finding in every frame: all; a SABME with a call up
# after each SETUP: half).
declare -A storm_findings=([link-sequence]="" [sabme]=1000 [new-link]=2000 [tei-management]="" [link-findings]=2000)
for storm in "${!storm_findings[@]}"; do
    file=$E2E_WORK/$storm.pcap
    python3 "$here/hostile_pcap.py" "$file" --storm "$storm" --count 2000
    chmod a+r "$file"
    check_findings_agree "$storm" "$file"
    [ -z "${storm_findings[$storm]}" ] ||
        check "$storm: frames with findings" "${storm_findings[$storm]}" "$(wc -l < "$E2E_WORK/$storm.findings")"
done

finish
