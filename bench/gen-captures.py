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
import struct
import sys

PORT_NAME_SOURCE = b"bri-0/slot-03/port-17/s0-trunk-a"
LINKTYPE_ETHERNET = 1
LINKTYPE_LAPD = 203
LINKTYPE_WIRESHARK_UPPER_PDU = 252
EXP_PDU_TAG_DISSECTOR_NAME = 12


def read_frames(path):
    frames = []
    with open(path) as f:
        for line in f:
            digits = line.split("#")[0].replace(" ", "").strip()
            if digits:
                frames.append(bytes.fromhex(digits))
    return frames


def ipv4_checksum(header):
    total = sum(struct.unpack("!10H", header))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def udp_packet(payload):
    udp = struct.pack("!HHHH", 1234, 4, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                     bytes([192, 0, 2, 1]), bytes([192, 0, 2, 2]))
    ip = ip[:10] + struct.pack("!H", ipv4_checksum(ip)) + ip[12:]
    ethernet = bytes.fromhex("020000000002" "020000000001" "0800")
    return ethernet + ip + udp


def exported_pdu(dissector, payload):
    name = dissector.encode()
    return (struct.pack("!HH", EXP_PDU_TAG_DISSECTOR_NAME, len(name)) + name
            + struct.pack("!HH", 0, 0) + payload)


class Capture:
    def __init__(self, path, linktype):
        self.file = open(path, "wb")
        self.file.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, linktype))
        self.count = 0

    def write(self, packet):
        self.file.write(struct.pack("<IIII", self.count // 1000, self.count % 1000 * 1000,
                                    len(packet), len(packet)))
        self.file.write(packet)
        self.count += 1

    def close(self):
        self.file.close()


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
        captures["udp"].write(udp_packet(pdu))
        captures["lapd"].write(frame)
        captures["udp-export"].write(exported_pdu("morvastelle", pdu))
        captures["lapd-export"].write(exported_pdu("lapd", frame))
    for capture in captures.values():
        capture.close()


if __name__ == "__main__":
    main()
