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
                    [--links] [--export-pdus FILE] [--export-lapd FILE]
                    [--port-names NAME,...] [--gateways N|ADDRESS,...] [--name-copies N]

--expect writes, per port, how many calls ended each way; --frames, for
every frame in order, the number of its call, counted from 1 in the order
the calls start (0 for a frame of no call).

--port-names names port p after the p-th NAME instead of "gw1-bri-0/1" and
the like; --ports defaults to as many.

--gateways sends the traffic from each of several gateways, all in step:
the same frames, call references, N(S) and N(R), each gateway's copy of a
frame a microsecond after the one before, in the order given. N gateways
are 10.0.0.1, 10.0.0.2, ...; a list may mix IPv4 and IPv6 addresses. A
gateway sends from its address, UDP port 1234, to a collector: 198.51.100.1
from IPv4 gateways, 2001:db8::100 from IPv6 ones. --name-copies does the
same from one gateway under N names for each port, NAME.1 to NAME.N (the
number padded to one width); with both, each gateway sends every name. The
copies of a frame go out together: where they run into the next frame's
time, that one follows on. Every copy is a port of its own to --expect,
which leads each line with the gateway's address under --gateways. --frames
numbers the calls of all copies in the order they start: of COPIES copies,
call c's copy k (both from 1, copies in the order they go out) is call
(c - 1) * COPIES + k. The Exported PDU records hold the gateway's and the
collector's addresses.

--links makes each data link's frames those two healthy peers send: the
user's SABME and the network's UA just before the link's first SETUP, and
an RR response from a side that has received I-frames and sent none back
within 100 ms (a reply sooner carries the acknowledgement in its N(R)),
up to the last frame of the capture. A side keeps at most 1 I-frame
unacknowledged on a basic rate port and 7 on a primary rate one, the usual
windows for call control; a message beyond that waits for the
acknowledgement, and the rest of its call follows it later by as much
(with the default ports and calls, 1.3% of the messages wait, none more
than 0.2 s). The calls and their outcomes stay the same.

--export-pdus and --export-lapd write the same traffic as Exported PDU
records for the dissector "morvastelle" (the PDUs) and for "lapd" (the bare
LAPD frames), with the same times.

SPDX-License-Identifier: GPL-2.0-or-later
"""

import argparse
import heapq
import ipaddress
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from pcap_writer import (LINKTYPE_ETHERNET, LINKTYPE_WIRESHARK_UPPER_PDU, Capture,  # noqa: E402
                         exported_pdu, udp_frame)

START_US = 1709539200 * 1000000  # 2024-03-04 08:00:00 UTC
PORT_INTERVAL_US = 10 * 1000000
OUTCOMES = ("answered", "rejected", "cancelled")
COLLECTORS = {4: "198.51.100.1", 6: "2001:db8::100"}

SETUP, CALL_PROCEEDING, ALERTING, CONNECT, PROGRESS = 0x05, 0x02, 0x01, 0x07, 0x03
DISCONNECT, RELEASE, RELEASE_COMPLETE = 0x45, 0x4D, 0x5A
USER, NETWORK = 0, 1
NORMAL_CLEARING, USER_BUSY = 16, 17
SABME, UA = "SABME", "UA"
# Well inside T200 (1 s), so the sender never polls for the acknowledgement.
ACK_DELAY_US = 100 * 1000
SET_UP_US = 20 * 1000  # the SABME before the link's first SETUP; the UA half way


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
        self.acked = {}  # (TEI, side) -> the other side's I-frames it acknowledged

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
        self.acked[(tei, side)] = nr
        return bytes([0x02 if side == NETWORK else 0x00, tei << 1 | 1,
                      (ns % 128) << 1, (nr % 128) << 1]) + payload

    def rr(self, tei, side):
        """RR response, F 0 (C/R 1 from the user), acknowledging all the other
        side has sent; None where nothing is left to acknowledge."""
        nr = self.sent.get((tei, 1 - side), 0)
        if self.acked.get((tei, side), 0) == nr:
            return None
        self.acked[(tei, side)] = nr
        return bytes([0x02 if side == USER else 0x00, tei << 1 | 1, 0x01, (nr % 128) << 1])

    @staticmethod
    def set_up(tei, frame_type):
        """The user's SABME, P 1, or the network's UA, F 1: both C/R 0."""
        return bytes([0x00, tei << 1 | 1, 0x7F if frame_type == SABME else 0x73])


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


def gateways_of(text):
    """The gateways' addresses: N of 10.0.0.0/8, or those listed."""
    if text.isdigit():
        if not 0 < int(text) < 2 ** 24 - 1:
            raise ValueError("from 1 to %d gateways" % (2 ** 24 - 2))
        return [str(ipaddress.IPv4Address(0x0A000001 + g)) for g in range(int(text))]
    gateways = [str(ipaddress.ip_address(a.strip())) for a in text.split(",")]
    if len(set(gateways)) < len(gateways):
        # Two copies from one address would be one port's frames sent twice.
        raise ValueError("a gateway listed twice")
    return gateways


def main():
    parser = argparse.ArgumentParser(description="Writes a capture of ISDN calls in MORVASTELLE PDUs.")
    parser.add_argument("out")
    parser.add_argument("--ports", type=int, help="30, or as many as --port-names names")
    parser.add_argument("--calls", type=int, default=30000)
    parser.add_argument("--expect", help="write the calls per port and outcome here")
    parser.add_argument("--frames", help="write each frame's call number here")
    parser.add_argument("--links", action="store_true",
                        help="add the data links' set-up and RR acknowledgements")
    parser.add_argument("--export-pdus", help="write the PDUs as Exported PDU records here")
    parser.add_argument("--export-lapd", help="write the bare LAPD frames as Exported PDU records here")
    parser.add_argument("--port-names", help="the ports' names, separated by commas")
    parser.add_argument("--gateways", help="send the traffic in step from N gateways, or from those listed")
    parser.add_argument("--name-copies", type=int, default=1,
                        help="send each port's traffic in step under N names")
    args = parser.parse_args()

    names = args.port_names.split(",") if args.port_names else None
    if args.ports is None:
        args.ports = len(names) if names else 30
    if names and (len(names) != args.ports or len(set(names)) < len(names)):
        parser.error("--port-names: %d names for %d ports, or a name twice" % (len(names), args.ports))
    try:
        gateways = gateways_of(args.gateways) if args.gateways else None
    except ValueError as e:
        parser.error("--gateways: %s" % e)
    if args.name_copies < 1:
        parser.error("--name-copies: at least 1")
    # (source and destination address, name): a frame's copies in the order they go out.
    copies = [((g, COLLECTORS[ipaddress.ip_address(g).version]) if g else (), n)
              for g in gateways or [None] for n in range(args.name_copies)]

    ports = [Port(p) for p in range(args.ports)]
    for p, port in enumerate(ports):
        if names:
            port.name = names[p]
        port.names = [port.name] if args.name_copies == 1 else [
            "%s.%0*d" % (port.name, len(str(args.name_copies)), n + 1) for n in range(args.name_copies)]
        if len(port.names[-1].encode()) > 255:
            parser.error("port name %s longer than 255 octets" % port.names[-1])
    calls = []  # per call: its port, TEI and (offset in ms, sender, message type) of its messages
    counts = [dict.fromkeys(OUTCOMES, 0) for _ in ports]
    # (time, call, message, released): a message due, or one held back for
    # the window (released 1); message -2 and -1 are the link's SABME and UA.
    due = []
    for c in range(args.calls):
        p, k = c % args.ports, c // args.ports
        outcome = outcome_of(p, k)
        counts[p][outcome] += 1
        port = ports[p]
        calls.append((port, port.teis[k % len(port.teis)], messages(outcome, c)))
        start_us = START_US + c * PORT_INTERVAL_US // args.ports
        due.append((start_us, c, 0, 0))
        if args.links and k < len(port.teis):
            # The call is its data link's first.
            due.append((start_us - SET_UP_US, c, -2, 0))
            due.append((start_us - SET_UP_US // 2, c, -1, 0))
    heapq.heapify(due)

    refs = {}
    frames = open(args.frames, "w") if args.frames else None
    exports = [(Capture(path, LINKTYPE_WIRESHARK_UPPER_PDU), dissector)
               for path, dissector in ((args.export_pdus, "morvastelle"), (args.export_lapd, "lapd")) if path]
    acks = []  # (time, port index, TEI, side): when that side acknowledges what it has received
    held = {}  # (port index, TEI, side) -> (call, message) waiting for the window, in order

    last_us = 0

    with Capture(args.out, LINKTYPE_ETHERNET) as capture:
        def write(time_us, port, frame, call):
            nonlocal last_us
            if len(copies) > 1:
                # Time never goes back, or the copies' order would change with it.
                time_us = max(time_us, last_us + 1)
            for k, (addresses, n) in enumerate(copies):
                name = port.names[n].encode()
                pdu = bytes([0, len(name)]) + name + frame
                capture.write(udp_frame(pdu, *addresses), time_us + k)
                for export, dissector in exports:
                    export.write(exported_pdu(dissector, pdu if dissector == "morvastelle" else frame, *addresses),
                                 time_us + k)
                if frames:
                    frames.write("%d\n" % ((call - 1) * len(copies) + k + 1 if call else 0))
            last_us = time_us + len(copies) - 1

        def window_open(port, tei, side):
            # At most k I-frames unacknowledged: 1 on basic access, 7 on primary rate.
            return port.sent.get((tei, side), 0) - port.acked.get((tei, 1 - side), 0) < (7 if port.pri else 1)

        def acknowledged(time_us, p, tei, side):
            """`side` acknowledged the other's I-frames: what the other held back may go."""
            waiting = held.get((p, tei, 1 - side))
            if waiting and window_open(ports[p], tei, 1 - side):
                heapq.heappush(due, (time_us + 1000, *waiting[0], 1))

        def send(time_us, c, m):
            port, tei, call = calls[c]
            sender, message_type = call[m][1:]
            if m == 0:
                refs[c] = port.take_ref()
            ref = refs[c]
            if message_type == RELEASE_COMPLETE:
                port.refs_in_use.discard(refs.pop(c))
            write(time_us, port, port.i_frame(tei, sender, q931(port, ref, sender, message_type, c, tei)), c + 1)
            if m + 1 < len(call):
                # The next message answers this one, or follows it, after the same time as planned.
                heapq.heappush(due, (time_us + (call[m + 1][0] - call[m][0]) * 1000, c, m + 1, 0))
            if args.links:
                p = c % args.ports
                heapq.heappush(acks, (time_us + ACK_DELAY_US, p, tei, 1 - sender))
                acknowledged(time_us, p, tei, sender)

        while due or acks:
            if acks and (not due or acks[0][0] <= due[0][0]):
                time_us, p, tei, side = heapq.heappop(acks)
                frame = ports[p].rr(tei, side)
                if frame:
                    write(time_us, ports[p], frame, 0)
                    acknowledged(time_us, p, tei, side)
                continue
            time_us, c, m, released = heapq.heappop(due)
            port, tei, call = calls[c]
            if m < 0:
                write(time_us, port, Port.set_up(tei, SABME if m == -2 else UA), 0)
                continue
            if not args.links:
                send(time_us, c, m)
                continue
            key = (c % args.ports, tei, call[m][1])
            waiting = held.setdefault(key, [])
            if released:
                while waiting and window_open(port, tei, key[2]):
                    send(time_us, *waiting.pop(0))
            elif waiting or not window_open(port, tei, key[2]):
                waiting.append((c, m))
            else:
                send(time_us, c, m)
    for export, _ in exports:
        export.close()
    if frames:
        frames.close()

    if args.expect:
        with open(args.expect, "w") as f:
            f.write("# " + ("gateway " if gateways else "") + "port " + " ".join(OUTCOMES) + "\n")
            for gateway in gateways or [None]:
                for port, count in zip(ports, counts):
                    for name in port.names:
                        f.write(" ".join(([gateway] if gateway else []) + [name]
                                         + [str(count[o]) for o in OUTCOMES]) + "\n")


if __name__ == "__main__":
    main()
