"""Writes classic pcap files of MORVASTELLE traffic for the tests and the
benchmark: PDUs in intact Ethernet/IPv4/UDP or Ethernet/IPv6/UDP frames to
port 4, bare LAPD frames, and Exported PDU records naming a dissector.

SPDX-License-Identifier: GPL-2.0-or-later
"""

import ipaddress
import struct

LINKTYPE_ETHERNET = 1
LINKTYPE_LAPD = 203
LINKTYPE_WIRESHARK_UPPER_PDU = 252
EXP_PDU_TAG_DISSECTOR_NAME = 12
EXP_PDU_TAG_IPV4_SRC, EXP_PDU_TAG_IPV4_DST = 20, 21
EXP_PDU_TAG_IPV6_SRC, EXP_PDU_TAG_IPV6_DST = 22, 23


def internet_checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def udp_frame(payload, src="192.0.2.1", dst="192.0.2.2", sport=1234):
    """`payload` from SRC:SPORT to DST:4, headers intact; over IPv6 when the
    addresses are IPv6 ones."""
    src, dst = ipaddress.ip_address(src), ipaddress.ip_address(dst)
    if src.version != dst.version:
        raise ValueError("%s and %s are not of one IP version" % (src, dst))
    udp = struct.pack("!HHHH", sport, 4, 8 + len(payload), 0) + payload
    if src.version == 6:
        # IPv6 has no header checksum of its own, so UDP's is mandatory there.
        pseudo = src.packed + dst.packed + struct.pack("!I3xB", len(udp), 17)
        udp = udp[:6] + struct.pack("!H", internet_checksum(pseudo + udp) or 0xFFFF) + udp[8:]
        ip = struct.pack("!IHBB16s16s", 6 << 28, len(udp), 17, 64, src.packed, dst.packed)
        ethertype = "86dd"
    else:
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0, src.packed, dst.packed)
        ip = ip[:10] + struct.pack("!H", internet_checksum(ip)) + ip[12:]
        ethertype = "0800"
    ethernet = bytes.fromhex("020000000002" "020000000001" + ethertype)
    return ethernet + ip + udp


def exported_pdu(dissector, payload, src=None, dst=None):
    """`src` and `dst`, IP addresses, become the packet's source and
    destination, as the datagram's would."""
    name = dissector.encode()
    tags = struct.pack("!HH", EXP_PDU_TAG_DISSECTOR_NAME, len(name)) + name
    for address, tag4, tag6 in ((src, EXP_PDU_TAG_IPV4_SRC, EXP_PDU_TAG_IPV6_SRC),
                                (dst, EXP_PDU_TAG_IPV4_DST, EXP_PDU_TAG_IPV6_DST)):
        if address is not None:
            packed = ipaddress.ip_address(address).packed
            tags += struct.pack("!HH", tag6 if len(packed) == 16 else tag4, len(packed)) + packed
    return tags + struct.pack("!HH", 0, 0) + payload


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
