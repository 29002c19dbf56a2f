#!/usr/bin/env python3
"""Writes a pcap of MORVASTELLE PDUs on UDP port 4, each in an intact
Ethernet/IPv4/UDP frame, so that only the PDU itself is hostile.

  hostile_pcap.py OUT.pcap --seed S --count N [--samples HEX_FILE] [--whole-headers LIST]
  hostile_pcap.py OUT.pcap --ports           (port names of arbitrary octets)
  hostile_pcap.py OUT.pcap --storm KIND --count N   (N frames of one KIND of STORMS or LINK_STORMS)

HEX_FILE holds one payload per line in hex (tshark -T fields -e udp.payload);
those are written first, as they are, then N generated ones, about a third
of them the messages of calls and some the storms a hostile capture may
hold (STORMS: a new call reference in every frame, clearing messages for
calls never set up, one I-frame repeated, a new port in every frame, Q.931
messages cut short; LINK_STORMS: random N(S), N(R) and P/F, a SABME on a
data link with a call up over and over, a new data link in every frame,
TEI removal and denial, a finding in every frame). LIST receives
the numbers of the frames whose MORVASTELLE header (Type, L and L octets of
port name) is whole: no such frame may be reported malformed as MORVASTELLE.

SPDX-License-Identifier: GPL-2.0-or-later
"""

import argparse
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pcap_writer import LINKTYPE_ETHERNET, Capture, udp_frame  # noqa: E402

# LAPD address and control octets seen on real links, so random frames get
# past LAPD into Q.931 often enough.
LAPD_ADDRESSES = [b"\x00\x81", b"\x02\x81", b"\x00\x01", b"\xfc\xff", b"\x40\x81"]
LAPD_CONTROLS = [b"\x00\x00", b"\x02\x02", b"\x01\x08", b"\x05\x08", b"\x09\x08",
                 b"\x7f", b"\x73", b"\x53", b"\x1f", b"\x87", b"\x03", b"\xaf"]
Q931_MESSAGE_TYPES = [0x01, 0x02, 0x05, 0x07, 0x0f, 0x45, 0x4d, 0x5a, 0x62, 0x7b, 0x7d]


def header_is_whole(pdu):
    if not pdu:
        return False
    if pdu[0] != 0:
        return True
    return len(pdu) >= 2 and len(pdu) >= 2 + pdu[1]


def random_bytes(rng, n):
    return bytes(rng.getrandbits(8) for _ in range(n))


def random_q931(rng):
    cref_len = rng.choice([0, 1, 2, rng.randrange(16)])
    message = bytes([0x08, cref_len]) + random_bytes(rng, cref_len)
    message += bytes([rng.choice(Q931_MESSAGE_TYPES + [rng.randrange(256)])])
    for _ in range(rng.randrange(6)):
        ie_id = rng.randrange(256)
        if ie_id & 0x80:
            message += bytes([ie_id])
        else:
            length = rng.randrange(12)
            message += bytes([ie_id, length]) + random_bytes(rng, rng.randrange(length + 3))
    return message


def random_lapd(rng):
    frame = rng.choice(LAPD_ADDRESSES) + rng.choice(LAPD_CONTROLS)
    choice = rng.randrange(3)
    if choice == 0:
        frame += random_q931(rng)
    elif choice == 1:
        frame += random_bytes(rng, rng.randrange(40))
    return frame


# Calls: a few ports, terminals with their own data links, the network's
# broadcast TEI.
CALL_PORTS = [b"isdn0", b"isdn1", b"", b"BRI 2"]
CALL_TEIS = [64, 65, 66]
BROADCAST_TEI = 127
SETUP, CALL_PROCEEDING, ALERTING, CONNECT, INFORMATION = 0x05, 0x02, 0x01, 0x07, 0x7b
DISCONNECT, RELEASE, RELEASE_COMPLETE = 0x45, 0x4d, 0x5a
CAUSES = [16, 17, 18, 21, 31, 34, 81, 102]


def number_ie(ie_id, rng):
    digits = "".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 9))).encode()
    return bytes([ie_id, len(digits) + 1, 0x81]) + digits


class Links:
    """The send sequence numbers of each data link, by port, TEI and side,
    as a capture of several calls carries them on."""

    def __init__(self):
        self.next_send = {}

    def frame(self, rng, port, tei, from_network, message):
        pdu_head = bytes([0, len(port)]) + port
        address = bytes([0x02 if from_network else 0x00, tei << 1 | 1])
        if tei == BROADCAST_TEI:
            return [pdu_head + address + b"\x03" + message]
        frames = []
        key = (port, tei, from_network)
        if key not in self.next_send or rng.randrange(20) == 0:
            # The data link is set up (again): numbering starts from 0.
            frames.append(pdu_head + bytes([0x00, tei << 1 | 1, 0x7f]))
            self.next_send[(port, tei, False)] = self.next_send[(port, tei, True)] = 0
        send = self.next_send[key]
        frame = pdu_head + address + bytes([send << 1, rng.randrange(128) << 1]) + message
        frames.append(frame)
        # A retransmission repeats the frame and its N(S).
        if rng.randrange(10) == 0:
            frames.append(frame)
        self.next_send[key] = (send + 1) % 128
        return frames


def call_pdus(rng, links):
    """One call's messages, as both sides send them: answered, refused or
    given up, on a call reference of 0 to 4 octets (now and then up to 15
    or all zeros), broadcast or not, now and then with a message lost, a
    flag bit wrong or an octet changed."""
    port = rng.choice(CALL_PORTS)
    ref_len = rng.choice([0, 1, 1, 1, 2, 2, 3, 4, rng.randrange(16)])
    ref = bytearray(random_bytes(rng, ref_len)) if rng.randrange(10) else bytearray(ref_len)
    if ref:
        ref[0] &= 0x7f
    network_calls = rng.randrange(3) == 0
    broadcast = network_calls and rng.randrange(2) == 0
    tei = rng.choice(CALL_TEIS)

    def message(from_network, message_type, ies=b"", to_tei=tei):
        flag = from_network != network_calls
        if rng.randrange(25) == 0:
            flag = not flag
        octets = bytearray(ref)
        if octets and flag:
            octets[0] |= 0x80
        q931 = bytes([0x08, len(octets)]) + bytes(octets) + bytes([message_type]) + ies
        return links.frame(rng, port, to_tei, from_network, q931)

    def cause():
        return bytes([0x08, 0x02, 0x80, 0x80 | rng.choice(CAUSES)])

    caller = network_calls
    called = not caller
    setup_ies = b"\x04\x03\x80\x90\xa2" + number_ie(0x6c, rng)
    overlap = rng.randrange(4) == 0
    if not overlap:
        setup_ies += number_ie(0x70, rng)
    pdus = message(caller, SETUP, setup_ies, BROADCAST_TEI if broadcast else tei)
    if overlap:
        for _ in range(rng.randrange(1, 4)):
            pdus += message(caller, INFORMATION, number_ie(0x70, rng))
    if broadcast:
        # Another terminal is busy.
        for other in CALL_TEIS:
            if other != tei and rng.randrange(2):
                pdus += message(called, RELEASE_COMPLETE, cause(), other)
    pdus += message(called, rng.choice([CALL_PROCEEDING, ALERTING]))
    ending = rng.randrange(4)
    if ending == 0:
        pdus += message(called, CONNECT)
        clearer = rng.choice([caller, called])
    else:
        # Refused, given up, or still ringing when the capture ends.
        clearer = called if ending == 1 else caller
    if ending < 3:
        if rng.randrange(3):
            pdus += message(clearer, DISCONNECT, cause())
            pdus += message(not clearer, RELEASE)
        pdus += message(clearer if rng.randrange(3) else not clearer, RELEASE_COMPLETE, cause())

    if rng.randrange(4) == 0:
        del pdus[rng.randrange(len(pdus))]
    if pdus and rng.randrange(4) == 0:
        i = rng.randrange(len(pdus))
        pdus[i] = mutate(rng, pdus[i])
    return pdus


def mutate(rng, pdu):
    data = bytearray(pdu)
    for _ in range(rng.randrange(1, 5)):
        op = rng.randrange(5)
        if op == 0 and data:
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        elif op == 1 and data:
            data[rng.randrange(len(data))] = rng.randrange(256)
        elif op == 2:
            data.insert(rng.randrange(len(data) + 1), rng.randrange(256))
        elif op == 3 and data:
            del data[rng.randrange(len(data))]
        elif op == 4:
            del data[rng.randrange(len(data) + 1):]
    return bytes(data)


def i_frame(port, tei, from_network, send, message):
    return (bytes([0, len(port)]) + port + bytes([0x02 if from_network else 0x00, tei << 1 | 1, send << 1, 0])
            + message)


class Storms:
    """Runs of frames a hostile capture may hold, each frame of one alike;
    references and port names are counted over the whole capture, so none
    comes back."""

    def __init__(self):
        self.next_ref = 1
        self.next_port = 0
        self.send = 0
        self.repeated = None

    def reference(self):
        # Three octets: 2**23 references before the first comes back.
        ref = self.next_ref % (1 << 23) or 1
        self.next_ref += 1
        return bytes([ref >> 16, (ref >> 8) & 0xff, ref & 0xff])

    def frame(self, message, port=b"isdn0", from_network=False):
        self.send = (self.send + 1) % 128
        return i_frame(port, 64, from_network, self.send, message)

    def setup(self, ref):
        return bytes([0x08, len(ref)]) + ref + bytes([SETUP]) + b"\x04\x03\x80\x90\xa2\x70\x02\x81\x31"

    def new_reference(self, rng):
        """A SETUP on a call reference no frame used before."""
        return self.frame(self.setup(self.reference()))

    def unknown_clearing(self, rng):
        """A clearing message, from either side, for a call never set up."""
        ref = bytearray(self.reference())
        from_network = rng.randrange(2) == 0
        if rng.randrange(2):
            ref[0] |= 0x80
        message_type = rng.choice([DISCONNECT, RELEASE, RELEASE_COMPLETE])
        return self.frame(bytes([0x08, len(ref)]) + ref + bytes([message_type, 0x08, 0x02, 0x80, 0x90]),
                          from_network=from_network)

    def repeat(self, rng):
        """One I-frame again and again: the same N(S), the same message."""
        if self.repeated is None or rng.randrange(1000) == 0:
            self.repeated = self.new_reference(rng)
        return self.repeated

    def new_port(self, rng):
        """A SETUP on a port no frame named before."""
        self.next_port += 1
        return self.frame(self.setup(b"\x01"), port=b"port%d" % self.next_port)

    def new_gateway(self, rng):
        """A SETUP on port isdn0 from an address no frame came from before,
        as from spoofed sources: the PDU with its source."""
        self.next_port += 1
        source = "10.%d.%d.%d" % (self.next_port >> 16 & 0xff, self.next_port >> 8 & 0xff, self.next_port & 0xff)
        return self.frame(self.setup(b"\x01")), source

    def truncated(self, rng):
        """A SETUP cut anywhere after the LAPD header: in the call
        reference, before the message type, in an information element."""
        pdu = self.new_reference(rng)
        q931_start = 2 + 5 + 4
        return pdu[:rng.randrange(q931_start + 1, len(pdu))]


class LinkStorms:
    """Runs of data link frames a hostile capture may hold, on four ports
    of three TEIs each unless said otherwise; new ports and TEIs are
    counted over the whole capture, so none comes back."""

    RR, RNR, REJ = 0x01, 0x05, 0x09
    SABME, DISC, UA, DM, FRMR, UI = 0x7f, 0x53, 0x73, 0x1f, 0x87, 0x03

    def __init__(self):
        self.calls = Storms()
        self.sent = []
        self.next_link = 0
        self.setup_next = True

    @staticmethod
    def pdu(port, tei, cr, control, information=b"", sapi=0):
        return bytes([0, len(port)]) + port + bytes([sapi << 2 | cr << 1, tei << 1 | 1]) + control + information

    def sequence(self, rng):
        """I-, RR-, RNR- and REJ-frames with any N(S), N(R) and P/F, from
        either side, an I-frame now and then sent again."""
        port, tei, cr = rng.choice(CALL_PORTS), rng.choice(CALL_TEIS), rng.randrange(2)
        nr = rng.randrange(128) << 1 | (rng.randrange(4) == 0)
        if rng.randrange(3):
            return self.pdu(port, tei, cr, bytes([rng.choice([self.RR, self.RNR, self.REJ]), nr]))
        if self.sent and rng.randrange(4) == 0:
            return rng.choice(self.sent)
        frame = self.pdu(port, tei, cr, bytes([rng.randrange(128) << 1, nr]), self.calls.setup(self.calls.reference()))
        self.sent = self.sent[-15:] + [frame]
        return frame

    def sabme(self, rng):
        """A SETUP, then a SABME on its data link with the call up, over
        and over."""
        self.setup_next = not self.setup_next
        port, tei = CALL_PORTS[self.next_link % 4], CALL_TEIS[self.next_link % 3]
        if not self.setup_next:
            return self.pdu(port, tei, 0, bytes([self.calls.send << 1, 0]), self.calls.setup(self.calls.reference()))
        self.next_link += 1
        self.calls.send = (self.calls.send + 1) % 128
        return self.pdu(port, tei, 0, bytes([self.SABME]))

    def new_link(self, rng):
        """An RNR on a data link no frame used before: a new TEI in every
        frame, a new port every 127 frames."""
        link = self.next_link
        self.next_link += 1
        return self.pdu(b"link%d" % (link // 127), link % 127, 0, bytes([self.RNR, rng.randrange(128) << 1]))

    def tei_management(self, rng):
        """The network removing a TEI, every TEI, or denying one, on ports
        of data links with I-frames, and those I-frames."""
        port = b"link%d" % rng.randrange(max(1, self.next_link // 127 + 1))
        tei = rng.randrange(64, 128)
        if rng.randrange(3) == 0:
            return self.pdu(port, tei % 127, 0, bytes([rng.randrange(128) << 1, 0]), b"\x08\x01\x01\x7b")
        message = bytes([0x0f, rng.randrange(256), rng.randrange(256), rng.choice([3, 6, 6]), tei << 1 | 1])
        return self.pdu(port, 127, 1, bytes([self.UI]), message, sapi=63)

    def findings(self, rng):
        """A frame each of whose shows something went wrong: RNR, REJ,
        FRMR, TEI removed or denied."""
        port, tei = rng.choice(CALL_PORTS), rng.choice(CALL_TEIS)
        kind = rng.randrange(5)
        if kind < 2:
            return self.pdu(port, tei, rng.randrange(2), bytes([(self.RNR, self.REJ)[kind], rng.randrange(256)]))
        if kind == 2:
            return self.pdu(port, tei, 0, bytes([self.FRMR | rng.randrange(2) << 4]), random_bytes(rng, 5))
        message = bytes([0x0f, 0, 0, (3, 6)[kind - 3], tei << 1 | 1])
        return self.pdu(port, 127, 1, bytes([self.UI]), message, sapi=63)


STORMS = {
    "new-reference": Storms.new_reference,
    "unknown-clearing": Storms.unknown_clearing,
    "repeat": Storms.repeat,
    "new-port": Storms.new_port,
    "new-gateway": Storms.new_gateway,
    "truncated": Storms.truncated,
}
LINK_STORMS = {
    "link-sequence": LinkStorms.sequence,
    "sabme": LinkStorms.sabme,
    "new-link": LinkStorms.new_link,
    "tei-management": LinkStorms.tei_management,
    "link-findings": LinkStorms.findings,
}


def generated_pdus(rng, samples, links, storms, link_storms):
    # About a third of the PDUs make calls, some in ten come in storms of
    # calls or of data link frames.
    if rng.randrange(16) == 0:
        return call_pdus(rng, links)
    if rng.randrange(128) == 0:
        storm = rng.choice(list(STORMS.values()))
        return [storm(storms, rng) for _ in range(rng.randrange(2, 25))]
    if rng.randrange(64) == 0:
        storm = rng.choice(list(LINK_STORMS.values()))
        return [storm(link_storms, rng) for _ in range(rng.randrange(2, 25))]
    return [generated_pdu(rng, samples)]


def generated_pdu(rng, samples):
    kind = rng.randrange(5)
    if kind == 0:
        # Any Type, anything after it.
        return bytes([rng.randrange(256)]) + random_bytes(rng, rng.randrange(48))
    if kind == 1:
        # A length that disagrees with the rest, either way.
        name_len = rng.randrange(256)
        rest = max(0, name_len + rng.randrange(-20, 21))
        return bytes([0, name_len]) + random_bytes(rng, rest)
    if kind == 2:
        name = random_bytes(rng, rng.randrange(20))
        return bytes([0, len(name)]) + name + random_lapd(rng)
    if kind == 3 and samples:
        return mutate(rng, rng.choice(samples))
    return bytes([0, 5]) + b"isdn0" + mutate(rng, random_lapd(rng))


def port_name_pdus():
    """Port names no printable-ASCII assumption survives."""
    frame = b"\x02\x81\x04\x02\x08\x01\x81\x07"   # CONNECT
    names = [
        b"ctl\x01\x1b[31m\x7f",
        "Zürich-ß".encode("utf-8"),
        b"\xff\xfe\x80\xc0",
        b"BRI\x00hidden",
        b'quote"back\\slash',
        bytes(range(1, 256)),
        bytes(255),
    ]
    return [bytes([0, len(name)]) + name + frame for name in names]


def write_pcap(path, pdus, sources):
    with Capture(path, LINKTYPE_ETHERNET) as capture:
        for pdu, source in zip(pdus, sources):
            capture.write(udp_frame(pdu, src=source) if source else udp_frame(pdu))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=0)
    parser.add_argument("--samples")
    parser.add_argument("--whole-headers")
    parser.add_argument("--ports", action="store_true")
    parser.add_argument("--storm", choices=sorted(list(STORMS) + list(LINK_STORMS)))
    args = parser.parse_args()

    if args.ports:
        pdus = port_name_pdus()
    elif args.storm:
        rng = random.Random(args.seed)
        storms = Storms() if args.storm in STORMS else LinkStorms()
        storm = STORMS.get(args.storm) or LINK_STORMS[args.storm]
        pdus = [storm(storms, rng) for _ in range(args.count)]
    else:
        rng = random.Random(args.seed)
        samples = []
        if args.samples:
            with open(args.samples) as f:
                samples = [bytes.fromhex(line.strip()) for line in f if line.strip()]
        pdus = list(samples)
        links = Links()
        storms, link_storms = Storms(), LinkStorms()
        while len(pdus) < len(samples) + args.count:
            # The host hands no empty UDP payload to the plugin.
            pdus += [pdu for pdu in generated_pdus(rng, samples, links, storms, link_storms) if pdu]
        del pdus[len(samples) + args.count:]
    # A PDU from an address of its own comes with it.
    sources = [pdu[1] if isinstance(pdu, tuple) else None for pdu in pdus]
    pdus = [pdu[0] if isinstance(pdu, tuple) else pdu for pdu in pdus]
    write_pcap(args.out, pdus, sources)
    if args.whole_headers:
        with open(args.whole_headers, "w") as f:
            for number, pdu in enumerate(pdus, 1):
                if header_is_whole(pdu):
                    f.write("%d\n" % number)


if __name__ == "__main__":
    main()
