"""Writes classic pcap files of MORVASTELLE traffic for the tests and the
benchmark: PDUs in intact Ethernet/IPv4/UDP frames to port 4, bare LAPD
frames, and Exported PDU records naming a dissector.

SPDX-License-Identifier: GPL-2.0-or-later
"""

import struct

LINKTYPE_ETHERNET = 1
LINKTYPE_LAPD = 203
LINKTYPE_WIRESHARK_UPPER_PDU = 252
EXP_PDU_TAG_DISSECTOR_NAME = 12


def ipv4_checksum(header):
    total = sum(struct.unpack("!10H", header))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def udp_frame(payload):
    """`payload` from 192.0.2.1:1234 to 192.0.2.2:4, headers intact."""
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
    """A pcap file of one link type; packets a millisecond apart from the
    epoch unless write() is given their time."""

    def __init__(self, path, linktype):
        self.file = open(path, "wb")
        self.file.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, linktype))
        self.count = 0

    def write(self, packet, time_us=None):
        """`time_us`: microseconds since the epoch."""
        if time_us is None:
            time_us = self.count * 1000
        self.file.write(struct.pack("<IIII", time_us // 1000000, time_us % 1000000,
                                    len(packet), len(packet)))
        self.file.write(packet)
        self.count += 1

    def close(self):
        self.file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
