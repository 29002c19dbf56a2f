#!/usr/bin/env python3
"""Writes the benchmark mix as captures for tshark, COUNT packets each:

  morvastelle.pcap         MORVASTELLE PDUs in UDP to port 4 (Ethernet, IPv4)
  lapd.pcap                the same LAPD frames bare (link type 203)
  morvastelle-export.pcap  the PDUs as Exported PDU records for "morvastelle"
  lapd-export.pcap         the bare frames as Exported PDU records for "lapd"

Packet i carries frame i mod (frames in frames.txt) and a port name of
(7 i) mod 33 octets, as the in-process benchmark does.

Usage: gen-captures.py OUTDIR COUNT

SPDX-License-Identifier: GPL-2.0-or-later
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from pcap_writer import (LINKTYPE_ETHERNET, LINKTYPE_LAPD, LINKTYPE_WIRESHARK_UPPER_PDU,  # noqa: E402
                         Capture, exported_pdu, udp_frame)

PORT_NAME_SOURCE = b"bri-0/slot-03/port-17/s0-trunk-a"


def read_frames(path):
    frames = []
    with open(path) as f:
        for line in f:
            digits = line.split("#")[0].replace(" ", "").strip()
            if digits:
                frames.append(bytes.fromhex(digits))
    return frames


def main():
    outdir, count = sys.argv[1], int(sys.argv[2])
    frames = read_frames(os.path.join(os.path.dirname(os.path.abspath(__file__)), "frames.txt"))
    captures = {
        "udp": Capture(os.path.join(outdir, "morvastelle.pcap"), LINKTYPE_ETHERNET),
        "lapd": Capture(os.path.join(outdir, "lapd.pcap"), LINKTYPE_LAPD),
        "udp-export": Capture(os.path.join(outdir, "morvastelle-export.pcap"),
                              LINKTYPE_WIRESHARK_UPPER_PDU),
        "lapd-export": Capture(os.path.join(outdir, "lapd-export.pcap"),
                               LINKTYPE_WIRESHARK_UPPER_PDU),
    }
    for i in range(count):
        frame = frames[i % len(frames)]
        port_name = PORT_NAME_SOURCE[:(i * 7) % (len(PORT_NAME_SOURCE) + 1)]
        pdu = bytes([0, len(port_name)]) + port_name + frame
        captures["udp"].write(udp_frame(pdu))
        captures["lapd"].write(frame)
        captures["udp-export"].write(exported_pdu("morvastelle", pdu))
        captures["lapd-export"].write(exported_pdu("lapd", frame))
    for capture in captures.values():
        capture.close()


if __name__ == "__main__":
    main()
