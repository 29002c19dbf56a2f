#!/usr/bin/env bash
# Rebuilds the seed corpus: one file per UDP payload of the sample capture,
# and sequences of the calls capture's payloads (those of each ISDN port,
# and each call's with its port's data link set-up), and data link
# sequences written out below, separated as the fuzzer splits them.
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
# Each normal procedure of bench/gen-procedures.py and its faulty twin, a
# port's frames a seed.
python3 ../bench/gen-procedures.py corpus/procedures.pcap
tshark -Q -r corpus/procedures.pcap -T fields -e udp.payload | python3 -c '
import sys
seeds = {}
for line in sys.stdin:
    pdu = bytes.fromhex(line.strip())
    seeds.setdefault(pdu[2:2 + pdu[1]].decode("ascii"), []).append(pdu)
for port, sequence in seeds.items():
    with open("corpus/procedure-" + port, "wb") as f:
        f.write(b"<PDU>".join(sequence))
'
rm corpus/procedures.pcap
# Data links frame by frame, for the link analysis: set-up and release,
# N(S) and N(R) that skip, repeat, go back and wrap, polls with frames
# unacknowledged, RNR, REJ, FRMR, a reset with a call up, and TEI
# management removing and denying TEIs around the I-frames of a link.
python3 - <<'PY'
def pdu(address, control, information=b"", port=b"isdn0"):
    return bytes([0, len(port)]) + port + address + control + information
user, net = b"\x00\x81", b"\x02\x81"       # SAPI 0, TEI 64: a command of each side
user_resp, net_resp = net, user           # a response carries the other C/R
tei_mgmt_user, tei_mgmt_net = b"\xfc\xff", b"\xfe\xff"
def i(address, ns, nr, information=b"\x08\x01\x01\x7b", poll=0):
    return pdu(address, bytes([ns << 1, nr << 1 | poll]), information)
def s(address, function, nr, pf=0):
    return pdu(address, bytes([function, nr << 1 | pf]))
def u(address, control, information=b""):
    return pdu(address, bytes([control]), information)
setup = b"\x08\x01\x01\x05\x04\x03\x80\x90\xa2\x70\x02\x81\x32"
def tei(message_type, ai, ri=b"\x12\x34"):
    return u(tei_mgmt_net, 0x03, b"\x0f" + ri + bytes([message_type, ai << 1 | 1]))
seeds = {
    "link-sequence": [
        u(user, 0x7f), u(user_resp, 0x73),
        i(user, 0, 0, setup), i(net, 0, 1), i(user, 1, 1), i(user, 3, 1),   # N(S) 2 lost
        i(user, 3, 1), i(user, 1, 1, b"\x08\x01\x01\x45"),                   # sent again, out of order
        s(user, 0x01, 1, 1), s(net_resp, 0x01, 4, 1),                          # T200 poll, its final
        s(net_resp, 0x05, 1), s(net_resp, 0x09, 3), s(user_resp, 0x01, 90),
        i(net, 1, 100), u(user_resp, 0x87, b"\x00\x00\x00\x00\x01"),
        u(user, 0x53), u(user_resp, 0x73), u(user_resp, 0x1f),
    ],
    "link-wrap": [u(user, 0x7f), u(user_resp, 0x73)] + [i(user, n % 128, 0) for n in range(120, 136)]
        + [s(net_resp, 0x01, 5), i(user, 70, 0), s(net_resp, 0x01, 127, 1)],
    "link-reset": [
        u(user, 0x7f), u(user_resp, 0x73), i(user, 0, 0, setup), i(net, 0, 1, b"\x08\x01\x81\x02"),
        u(user, 0x7f), i(user, 0, 0, setup), u(net, 0x53), u(user, 0x6f), u(user_resp, 0x63), u(net, 0x4f),
    ],
    "link-tei": [
        u(tei_mgmt_user, 0x03, b"\x0f\x12\x34\x01\xff"), tei(0x02, 64), u(user, 0x7f), u(user_resp, 0x73),
        i(user, 0, 0, setup), tei(0x06, 64), i(user, 5, 0), tei(0x03, 127), tei(0x06, 127), i(user, 9, 0),
        tei(0x06, 64, b""), u(tei_mgmt_user, 0x03, b"\x0f\x00"),
    ],
}
for name, sequence in seeds.items():
    with open("corpus/" + name, "wb") as f:
        f.write(b"<PDU>".join(sequence))
PY

ls corpus | wc -l
