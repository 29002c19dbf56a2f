#!/usr/bin/env python3
"""Writes a capture of ISDN calls as MORVASTELLE PDUs in UDP to port 4, for
measuring the call statistics.

Call c goes to port c mod PORTS; each port starts a call every 10 seconds,
and a call lasts from a few seconds to over a minute, so several are in
progress on a port at once. Every call is 7 Q.931 messages in LAPD I-frames:

  answered   SETUP, CALL PROCEEDING, ALERTING, CONNECT,
             DISCONNECT (user, cause 16), RELEASE, RELEASE COMPLETE
  rejected   SETUP, CALL PROCEEDING, PROGRESS, ALERTING,
             DISCONNECT (network, cause 17), RELEASE, RELEASE COMPLETE
  cancelled  SETUP, CALL PROCEEDING, PROGRESS, ALERTING,
             DISCONNECT (user, cause 16, before answer), RELEASE,
             RELEASE COMPLETE

The user side sends every SETUP. The calls of port p run in cycles of
3 + (p mod 5): the last call of a cycle is rejected, the one before it
cancelled, the others answered, so ports differ in their mix. Every fifth
port is a primary rate one with 2-octet call references. The output
depends on the arguments alone.

Usage: gen-calls.py OUT.pcap [--ports N] [--calls C] [--expect FILE] [--frames FILE]

--expect writes, per port, how many calls ended each way; --frames, for
every frame in order, the number of its call, counted from 1 in the order
the calls start.

SPDX-License-Identifier: GPL-2.0-or-later
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from pcap_writer import LINKTYPE_ETHERNET, Capture, udp_frame  # noqa: E402

START_US = 1709539200 * 1000000  # 2024-03-04 08:00:00 UTC
PORT_INTERVAL_US = 10 * 1000000
OUTCOMES = ("answered", "rejected", "cancelled")

SETUP, CALL_PROCEEDING, ALERTING, CONNECT, PROGRESS = 0x05, 0x02, 0x01, 0x07, 0x03
DISCONNECT, RELEASE, RELEASE_COMPLETE = 0x45, 0x4D, 0x5A
USER, NETWORK = 0, 1
NORMAL_CLEARING, USER_BUSY = 16, 17


class Port:
    def __init__(self, index):
        self.pri = index % 5 == 4
        self.name = "gw%d-%s-0/%d" % (1 + index // 10, "pri" if self.pri else "bri", index + 1)
        self.teis = [64 + t for t in range(1 + index % 3)]
        self.number = "0301%03d" % (index + 1)
        # Both octets of a 2-octet reference matter.
        self.first_ref = 300 if self.pri else 1
        self.refs_in_use = set()
        self.sent = {}  # (TEI, side) -> I-frames sent

    def take_ref(self):
        ref = self.first_ref
        while ref in self.refs_in_use:
            ref += 1
        self.refs_in_use.add(ref)
        return ref

    def i_frame(self, tei, side, payload):
        """LAPD I-frame, SAPI 0, a command (C/R 1 from the network)."""
        ns = self.sent.get((tei, side), 0)
        nr = self.sent.get((tei, 1 - side), 0)
        self.sent[(tei, side)] = ns + 1
        return bytes([0x02 if side == NETWORK else 0x00, tei << 1 | 1,
                      (ns % 128) << 1, (nr % 128) << 1]) + payload


def outcome_of(port_index, call_on_port):
    cycle = 3 + port_index % 5
    place = call_on_port % cycle
    return "rejected" if place == cycle - 1 else "cancelled" if place == cycle - 2 else "answered"


def mix(c):
    """A number from 0 to 65535 that varies from call to call on every port."""
    return c * 2654435761 % 2 ** 32 >> 16


def messages(outcome, c):
    """(offset in ms, sender, message type) of a call's 7 messages."""
    ring_ms = 3000 + mix(c) // 60 % 8 * 1000
    if outcome == "answered":
        talk_ms = 10000 + mix(c) % 60 * 1000
        answered = 1200 + ring_ms
        hang_up = answered + talk_ms
        return [(0, USER, SETUP), (40, NETWORK, CALL_PROCEEDING), (1200, NETWORK, ALERTING),
                (answered, NETWORK, CONNECT), (hang_up, USER, DISCONNECT),
                (hang_up + 30, NETWORK, RELEASE), (hang_up + 60, USER, RELEASE_COMPLETE)]
    clearer = NETWORK if outcome == "rejected" else USER
    hang_up = 1200 + (3000 if outcome == "rejected" else ring_ms)
    return [(0, USER, SETUP), (40, NETWORK, CALL_PROCEEDING), (800, NETWORK, PROGRESS),
            (1200, NETWORK, ALERTING), (hang_up, clearer, DISCONNECT),
            (hang_up + 30, 1 - clearer, RELEASE), (hang_up + 60, clearer, RELEASE_COMPLETE)]


def ie(ident, body):
    return bytes([ident, len(body)]) + body


def q931(port, ref, sender, message_type, c, tei):
    ref_octets = ref.to_bytes(2 if port.pri else 1, "big")
    # The flag is set on the side that did not send the SETUP.
    flag = 0x80 if sender == NETWORK else 0
    body = b""
    if message_type == SETUP:
        body = (ie(0x04, bytes.fromhex("8090a2"))
                + ie(0x6C, b"\x81" + (port.number + str(tei - 64)).encode())
                + ie(0x70, b"\x81" + ("0%09d" % ((c * 104729 + 301234567) % 10 ** 9)).encode()))
    elif message_type == CALL_PROCEEDING:
        # Calls at once on a port hold distinct references, mostly distinct channels too.
        channel = ref - port.first_ref
        if port.pri:
            body = ie(0x18, bytes([0xA9, 0x83, 0x81 + channel % 30]))
        else:
            body = ie(0x18, bytes([0x89 + channel % 2]))
    elif message_type == PROGRESS:
        body = ie(0x1E, bytes.fromhex("8288"))  # in-band information
    elif message_type == DISCONNECT:
        location = 0x82 if sender == NETWORK else 0x80
        cause = USER_BUSY if sender == NETWORK else NORMAL_CLEARING
        body = ie(0x08, bytes([location, 0x80 | cause]))
    return (bytes([0x08, len(ref_octets), ref_octets[0] | flag]) + ref_octets[1:]
            + bytes([message_type]) + body)


def main():
    parser = argparse.ArgumentParser(description="Writes a capture of ISDN calls in MORVASTELLE PDUs.")
    parser.add_argument("out")
    parser.add_argument("--ports", type=int, default=30)
    parser.add_argument("--calls", type=int, default=30000)
    parser.add_argument("--expect", help="write the calls per port and outcome here")
    parser.add_argument("--frames", help="write each frame's call number here")
    args = parser.parse_args()

    ports = [Port(p) for p in range(args.ports)]
    events = []
    counts = [dict.fromkeys(OUTCOMES, 0) for _ in ports]
    for c in range(args.calls):
        p, k = c % args.ports, c // args.ports
        outcome = outcome_of(p, k)
        counts[p][outcome] += 1
        start_us = START_US + c * PORT_INTERVAL_US // args.ports
        for m, (offset_ms, sender, message_type) in enumerate(messages(outcome, c)):
            events.append((start_us + offset_ms * 1000, c, m, sender, message_type))
    events.sort()

    refs = {}
    frames = open(args.frames, "w") if args.frames else None
    with Capture(args.out, LINKTYPE_ETHERNET) as capture:
        for time_us, c, m, sender, message_type in events:
            port, k = ports[c % args.ports], c // args.ports
            tei = port.teis[k % len(port.teis)]
            if m == 0:
                refs[c] = port.take_ref()
            ref = refs[c]
            if message_type == RELEASE_COMPLETE:
                port.refs_in_use.discard(refs.pop(c))
            frame = port.i_frame(tei, sender, q931(port, ref, sender, message_type, c, tei))
            name = port.name.encode()
            capture.write(udp_frame(bytes([0, len(name)]) + name + frame), time_us)
            if frames:
                frames.write("%d\n" % (c + 1))
    if frames:
        frames.close()

    if args.expect:
        with open(args.expect, "w") as f:
            f.write("# port " + " ".join(OUTCOMES) + "\n")
            for port, count in zip(ports, counts):
                f.write(" ".join([port.name] + [str(count[o]) for o in OUTCOMES]) + "\n")


if __name__ == "__main__":
    main()
