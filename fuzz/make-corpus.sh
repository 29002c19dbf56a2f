#!/usr/bin/env bash
# Rebuilds the seed corpus: one file per UDP payload of the sample capture,
# and sequences of the calls capture's payloads (those of each ISDN port,
# and each call's with its port's data link set-up), separated as the
# fuzzer splits them.
set -euo pipefail
cd "$(dirname "$0")"
rm -rf corpus && mkdir corpus
n=0
tshark -Q -r ../samples/sample.pcap -T fields -e udp.payload | while read -r payload; do
    n=$((n + 1))
    python3 -c "import sys; sys.stdout.buffer.write(bytes.fromhex(sys.argv[1]))" "$payload" \
        > "corpus/sample-$(printf %02d $n)"
done
tshark -Q -r ../samples/calls.pcap -T fields -e udp.payload | python3 -c '
import sys
pdus = [bytes.fromhex(line.strip()) for line in sys.stdin if line.strip()]
def port(pdu):
    return pdu[2:2 + pdu[1]].decode("ascii")
def control(pdu):
    frame = pdu[2 + pdu[1]:]
    return frame[2] if len(frame) > 2 else None
def call_ref(pdu):
    """The call reference of the Q.931 message of an I- or UI-frame, or None
    for the global one and any other frame."""
    c = control(pdu)
    if c is None or c & 0x03 == 0x01 or (c & 0x03 == 0x03 and c & 0xef != 0x03):
        return None
    message = pdu[2 + pdu[1] + (3 if c & 0x03 == 0x03 else 4):]
    if len(message) < 2 or message[0] != 0x08:
        return None
    ref = bytearray(message[2:2 + (message[1] & 0x0f)])
    if ref:
        ref[0] &= 0x7f
    return ref.hex() if any(ref) else None
def link_frame(pdu):
    c = control(pdu)
    return c is not None and c & 0x03 == 0x03 and c & 0xef != 0x03
seeds = {}
for pdu in pdus:
    seeds.setdefault("calls-" + port(pdu), []).append(pdu)
# The calls of one reference on one port, with the data link frames of the port.
for key in dict.fromkeys((port(p), call_ref(p)) for p in pdus if call_ref(p)):
    seeds["call-%s-%s" % key] = [p for p in pdus if port(p) == key[0] and (call_ref(p) == key[1] or link_frame(p))]
for name, sequence in seeds.items():
    with open("corpus/" + name, "wb") as f:
        f.write(b"<PDU>".join(sequence))
'
ls corpus | wc -l
