#!/usr/bin/env python3
"""Writes a capture of normal Q.921/Q.931 procedures and their faulty twins
as MORVASTELLE PDUs in UDP to port 4, for checking that the analysis stays
silent on what two correct peers do and finds what they would not.

Each procedure runs on an ISDN port of its own named after it, port k from
100 k seconds into the capture, all from one gateway. A port's data links
come up first (the user's SABME, the network's UA, per TEI), then its
procedure runs, then a probe: a network RESTART of all interfaces (class 7)
on the global call reference, answered by RESTART ACKNOWLEDGE. Where every
call of the port has ended the probe finds nothing; where one is left up it
finds it. Each I-frame's N(R) acknowledges all the other side sent before
it, and a side with nothing to send acknowledges with an RR response within
100 ms, as in gen-calls.py --links, except where a procedure says otherwise.
Terminals use TEI 64 unless said; calls are from the user on reference 1.

What each port holds, and what the analysis finds there besides nothing:

  gobackn             the network's CALL PROCEEDING and ALERTING; the user
                      missed the first and sends REJ; both sent again with
                      their N(S) (go-back-N); CONNECT, cleared by the user.
                      Found: reject, both retransmissions
  gobackn-user        overlap sending: the network missed the SETUP and
                      sends REJ on the INFORMATION ("12") after it; both sent
                      again; SETUP ACKNOWLEDGE, ..., cleared by the network.
                      Found: reject, both retransmissions
  gobackn-clear       the user's RELEASE COMPLETE is lost: T200 expires, the
                      user polls (RR P 1), the network's final does not
                      acknowledge it, the user sends it again. Found:
                      timer_recovery, the retransmission
  fault-order         the network sends CALL PROCEEDING again in a new
                      I-frame after ALERTING. Found: unexpected_message
  p2mp-88             a broadcast SETUP (UI, TEI 127): TEI 65 refuses with
                      cause 88 (incompatible), TEI 64 answers
  fault-88-p2p        a SETUP to TEI 64 alone refused with cause 88. Found:
                      protocol_error
  p2mp-noanswer       a broadcast SETUP nobody answers for 20 s: the network
                      gave the caller "no user responding" (18)
  p2mp-abandon        a broadcast SETUP; TEI 64 and 65 alert; the caller
                      gives up: the network clears both (cause 16)
  p2mp-busy-abandon   a broadcast SETUP; TEI 66 busy (17), TEI 64 alerts;
                      the caller gives up: cancelled
  p2mp-all-busy       a broadcast SETUP; TEI 64 busy (17), TEI 65
                      incompatible (88): rejected, 17
  collision           both sides' DISCONNECTs cross, then their RELEASEs,
                      and no RELEASE COMPLETE follows (clear collision)
  fault-collision     the DISCONNECTs cross, only the user sends RELEASE.
                      Found: the probe, 1 call up
  suspend             a call suspended on TEI 64 (Call identity "ab") and
                      resumed by TEI 65 on a new reference, then cleared:
                      one call
  resume-unknown      RESUME of a call suspended before the capture
  status-null         STATUS ENQUIRY answered by STATUS in the Null state:
                      the call has ended
  restart-twice       an answered call left up; a RESTART of all interfaces,
                      then the probe. Found: the first RESTART, 1 call up
  restart-channel     calls on B1 and B2; a RESTART of B1; the B2 call
                      cleared normally
  fault-restart-chan  the same, but the B2 call is never cleared. Found: the
                      probe, 1 call up
  tei-remove          the network removes TEI 64 while its call is up; the
                      terminal gets TEI 65 and sets up its data link again.
                      Found: tei_removed
  setup-reuse         a call alerting, then a new SETUP on its reference:
                      two calls
  t306                the network's DISCONNECT with an announcement
                      (progress indicator 8): the user listens, the network
                      releases after 30 s (T306)
  fault-t305          the same DISCONNECT without the announcement. Found:
                      disconnect_unanswered on the RELEASE
  crossing            the user's DISCONNECT and the network's CONNECT cross
                      (the CONNECT's N(R) does not acknowledge the
                      DISCONNECT): cancelled
  fault-crossing      the CONNECT acknowledges the DISCONNECT. Found:
                      unexpected_message on it
  other-pd            maintenance SERVICE messages, a national message,
                      REGISTER, FACILITY, segments and RELEASE COMPLETE of a
                      call-independent transaction: no call
  x25-sapi16          an X.25 data link (SAPI 16) set up, used and taken
                      down while a call on SAPI 0 is up
  no-peer             SABME four times, unanswered, no probe. Found:
                      establishment_failed on the fourth
  lost-ua             SABME, again after T200, UA; no probe
  dm-then-ua          SABME, DM, SABME, UA; no probe

Usage: gen-procedures.py OUT.pcap [--expect-findings FILE] [--expect-calls FILE]
                         [--expect-states FILE]

--expect-findings writes a line for every frame the analysis must find
something on: its number, then the findings and numbers as the e2e tests'
frame_findings prints them. --expect-calls writes each port's calls in the
order they start: the port, the outcome and the cause (- for none).
--expect-states writes the number and call state of the frames of the
suspend port's SUSPEND, SUSPEND ACKNOWLEDGE, RESUME and RESUME ACKNOWLEDGE.

SPDX-License-Identifier: GPL-2.0-or-later
"""

import argparse
import heapq
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from pcap_writer import LINKTYPE_ETHERNET, Capture, udp_frame  # noqa: E402

START_US = 1709539200 * 1000000  # 2024-03-04 08:00:00 UTC
PORT_INTERVAL_US = 100 * 1000000
USER, NETWORK = 0, 1
# Well inside T200 (1 s), so the sender never polls for the acknowledgement.
ACK_DELAY_MS = 100

ALERTING, CALL_PROCEEDING, SETUP, CONNECT, SETUP_ACK, CONNECT_ACK = 0x01, 0x02, 0x05, 0x07, 0x0D, 0x0F
SUSPEND, RESUME, SUSPEND_ACK, RESUME_ACK = 0x25, 0x26, 0x2D, 0x2E
DISCONNECT, RESTART, RELEASE, RESTART_ACK, RELEASE_COMPLETE = 0x45, 0x46, 0x4D, 0x4E, 0x5A
SEGMENT, FACILITY, REGISTER, STATUS_ENQUIRY, INFORMATION, STATUS = 0x60, 0x62, 0x64, 0x75, 0x7B, 0x7D
Q931, MAINTENANCE, NATIONAL = 0x08, 0x03, 0x40
SERVICE, SERVICE_ACK = 0x0F, 0x07
RR, REJ = 0x01, 0x09
SABME, UA, DISC, DM = 0x6F, 0x63, 0x43, 0x0F
SAPI_CALLS, SAPI_X25, SAPI_TEI = 0, 16, 63
BROADCAST = 127
NORMAL_CLEARING, USER_BUSY, NO_USER_RESPONDING, INCOMPATIBLE, STATUS_ENQUIRY_RESPONSE = 16, 17, 18, 88, 30
LOCATION = {USER: 0x80, NETWORK: 0x82}  # the user; the public network serving the local user


def ie(ident, body):
    return bytes([ident, len(body)]) + body


BEARER_SPEECH = ie(0x04, bytes.fromhex("8090a3"))  # speech, 64 kbit/s circuit, A-law
ANNOUNCEMENT = ie(0x1E, bytes.fromhex("8288"))  # in-band information now available


def channel(b):
    """Basic rate, exclusive: B1 or B2."""
    return ie(0x18, bytes([0x88 | b]))


def cause(side, value):
    return ie(0x08, bytes([LOCATION[side], 0x80 | value]))


def calling(number):
    return ie(0x6C, b"\x81" + number.encode())


def called(number):
    return ie(0x70, b"\x81" + number.encode())


def call_identity(identity):
    return ie(0x10, identity)


def restart_indicator(restart_class):
    return ie(0x79, bytes([0x80 | restart_class]))


def message(message_type, ref, flag, *ies, discriminator=Q931):
    """One octet of call reference: basic rate."""
    return bytes([discriminator, 1, ref | flag, message_type]) + b"".join(ies)


class Link:
    """One data link's sequence state on both sides, from its set-up."""

    def __init__(self, sapi, tei):
        self.sapi, self.tei = sapi, tei
        self.vs = [0, 0]  # per side: the N(S) of its next new I-frame
        self.vr = [0, 0]  # per side: the N(S) it expects next
        self.acked = [0, 0]  # per side: the N(R) it last sent


class Port:
    """An ISDN port: its data links and the acknowledgements its sides owe."""

    def __init__(self, writer, index, name):
        assert len(name) <= 20
        self.writer, self.name = writer, name
        self.start_us = START_US + index * PORT_INTERVAL_US
        self.links = {}
        self.acks = []  # (time in ms, serial, link, side): when that side acknowledges what it received
        self.sent = {}  # frame number -> (link, side, N(S), information) of an I-frame
        self.now = 0
        self.refs = {}  # (TEI, originating side) -> the last call reference taken

    def at(self, ms):
        """Moves the port's time to `ms`, writing the acknowledgements due
        before then: a frame sent at `ms` is built on the sides' state after
        them."""
        while self.acks and self.acks[0][0] < ms:
            self.acknowledgement()
        assert ms >= self.now, (self.name, ms)
        self.now = ms

    def write(self, ms, frame):
        """Writes `frame` at `ms` into the port's time; returns its frame number."""
        self.at(ms)
        return self.writer.write(self.start_us + ms * 1000, self.name, frame)

    def acknowledgement(self):
        """The RR response of the first acknowledgement due, unless an
        I-frame carried it since or the data link started again."""
        due, _, link, side = heapq.heappop(self.acks)
        if self.links.get((link.sapi, link.tei)) is link and link.vr[side] != link.acked[side]:
            link.acked[side] = link.vr[side]
            self.writer.write(self.start_us + due * 1000, self.name,
                              self.address(link.sapi, link.tei, side, False) + bytes([RR, link.vr[side] << 1]))
            self.now = due

    def close(self):
        while self.acks:
            self.acknowledgement()

    @staticmethod
    def address(sapi, tei, side, command):
        """C/R 1 on the network's commands and on the user's responses."""
        return bytes([sapi << 2 | ((side == NETWORK) == command) << 1, tei << 1 | 1])

    def unnumbered(self, ms, side, tei, kind, sapi=SAPI_CALLS, information=b""):
        """SABME and DISC with P 1 and UA and DM with F 1 as sent on their
        own; UI with P 0. SABME and UA (re)start the data link."""
        self.at(ms)
        command = kind in (SABME, DISC, 0x03)
        if kind in (SABME, UA):
            self.links[(sapi, tei)] = Link(sapi, tei)
        control = kind if kind == 0x03 else kind | 0x10
        return self.write(ms, self.address(sapi, tei, side, command) + bytes([control]) + information)

    def link_up(self, ms, tei, sapi=SAPI_CALLS):
        self.unnumbered(ms, USER, tei, SABME, sapi)
        self.unnumbered(ms + 20, NETWORK, tei, UA, sapi)

    def ui(self, ms, side, information, tei=BROADCAST, sapi=SAPI_CALLS):
        return self.unnumbered(ms, side, tei, 0x03, sapi, information)

    def supervisory(self, ms, side, tei, kind, command=False, pf=False, sapi=SAPI_CALLS):
        """RR or REJ acknowledging all `side` has received in sequence."""
        self.at(ms)
        link = self.links[(sapi, tei)]
        link.acked[side] = link.vr[side]
        return self.write(ms, self.address(sapi, tei, side, command)
                          + bytes([kind, link.vr[side] << 1 | pf]))

    def i_frame(self, ms, side, tei, information, sapi=SAPI_CALLS, lost=False, unseen=0, ns=None):
        """An I-frame, P 0. `lost`: the other side never receives it.
        `unseen`: that many of the other side's I-frames were still on their
        way when it was sent, so its N(R) does not acknowledge them. `ns`:
        the N(S) of a frame sent again."""
        self.at(ms)
        link = self.links[(sapi, tei)]
        if ns is None:
            ns = link.vs[side]
            link.vs[side] = (ns + 1) % 128
        nr = (link.vr[side] - unseen) % 128
        link.acked[side] = nr
        number = self.write(ms, self.address(sapi, tei, side, True) + bytes([ns << 1, nr << 1]) + information)
        self.sent[number] = (link, side, ns, information)
        receiver = 1 - side
        if not lost and ns == link.vr[receiver]:
            # Out of sequence it is dropped, as Q.921 does.
            link.vr[receiver] = (ns + 1) % 128
            self.acknowledge(ms, link, receiver)
        return number

    def acknowledge(self, ms, link, side):
        heapq.heappush(self.acks, (ms + ACK_DELAY_MS, self.writer.count, link, side))

    def resend(self, ms, number):
        """I-frame `number` again, its N(S) and information, a new N(R)."""
        link, side, ns, information = self.sent[number]
        return self.i_frame(ms, side, link.tei, information, link.sapi, ns=ns)

    def expect(self, number, *findings):
        self.writer.findings[number] = ["morvastelle_" + f for f in findings]

    def call_ends(self, outcome, cause_value=None):
        self.writer.calls.append((self.name, outcome, "-" if cause_value is None else str(cause_value)))

    def call(self, tei=64, originator=USER, ref=None):
        if ref is None:
            ref = self.refs.get((tei, originator), 0) + 1
        self.refs[(tei, originator)] = ref
        return Call(self, tei, originator, ref)

    def restart(self, ms, restart_class=7, channel_ie=b"", tei=64, calls_up=0):
        """The network's RESTART, of all interfaces (the probe) unless said,
        and the user's RESTART ACKNOWLEDGE; `calls_up`: the calls it must
        find up."""
        ies = (channel_ie, restart_indicator(restart_class))
        number = self.i_frame(ms, NETWORK, tei, message(RESTART, 0, 0, *ies))
        self.i_frame(ms + 50, USER, tei, message(RESTART_ACK, 0, 0x80, *ies))
        if calls_up:
            self.expect(number, "call.restart_with_calls_up", "call.calls_up=%d" % calls_up)


class Call:
    """A call's Q.931 messages on its reference, each side's I-frames on the
    call's TEI unless sent on another."""

    def __init__(self, port, tei, originator, ref):
        self.port, self.tei, self.originator, self.ref = port, tei, originator, ref

    def message(self, side, message_type, *ies):
        # The flag is set on the side that did not pick the reference.
        return message(message_type, self.ref, 0 if side == self.originator else 0x80, *ies)

    def send(self, ms, side, message_type, *ies, tei=None, **link):
        return self.port.i_frame(ms, side, tei or self.tei, self.message(side, message_type, *ies), **link)

    def broadcast(self, ms, message_type, *ies):
        return self.port.ui(ms, NETWORK, self.message(NETWORK, message_type, *ies))

    def setup_ies(self, number):
        a, b = "0301%04d" % number, "0302%04d" % number
        if self.originator == USER:
            return BEARER_SPEECH, calling(a), called(b)
        return BEARER_SPEECH, channel(1), calling(a), called(b)

    def answered(self, ms, b=1, number=1):
        """SETUP from the user, CALL PROCEEDING, ALERTING, CONNECT, CONNECT
        ACKNOWLEDGE, each side acknowledging the other's message in time."""
        self.send(ms, USER, SETUP, *self.setup_ies(number))
        self.send(ms + 40, NETWORK, CALL_PROCEEDING, channel(b))
        self.send(ms + 1200, NETWORK, ALERTING)
        self.send(ms + 4000, NETWORK, CONNECT)
        self.send(ms + 4050, USER, CONNECT_ACK)

    def cleared(self, ms, by, tei=None):
        """DISCONNECT 16 from `by`, RELEASE, RELEASE COMPLETE."""
        self.send(ms, by, DISCONNECT, cause(by, NORMAL_CLEARING), tei=tei)
        self.send(ms + 30, 1 - by, RELEASE, tei=tei)
        self.send(ms + 60, by, RELEASE_COMPLETE, tei=tei)


def gobackn(port):
    port.link_up(0, 64)
    call = port.call()
    call.send(1000, USER, SETUP, *call.setup_ies(1))
    proceeding = call.send(1040, NETWORK, CALL_PROCEEDING, channel(1), lost=True)
    alerting = call.send(1060, NETWORK, ALERTING)
    port.expect(port.supervisory(1070, USER, 64, REJ), "link.reject")
    for ms, original in ((1080, proceeding), (1081, alerting)):
        port.expect(port.resend(ms, original), "link.retransmission", "link.retransmission_of=%d" % original)
    call.send(4000, NETWORK, CONNECT)
    call.send(4050, USER, CONNECT_ACK)
    call.cleared(14000, USER)
    port.call_ends("answered", NORMAL_CLEARING)
    port.restart(20000)


def gobackn_user(port):
    port.link_up(0, 64)
    call = port.call()
    setup = call.send(1000, USER, SETUP, BEARER_SPEECH, calling("03010002"), lost=True)
    digits = call.send(1020, USER, INFORMATION, called("12"))
    port.expect(port.supervisory(1030, NETWORK, 64, REJ), "link.reject")
    for ms, original in ((1040, setup), (1041, digits)):
        port.expect(port.resend(ms, original), "link.retransmission", "link.retransmission_of=%d" % original)
    call.send(1080, NETWORK, SETUP_ACK, channel(1))
    call.send(1500, NETWORK, CALL_PROCEEDING)
    call.send(2500, NETWORK, ALERTING)
    call.send(5000, NETWORK, CONNECT)
    call.send(5050, USER, CONNECT_ACK)
    call.cleared(15000, NETWORK)
    port.call_ends("answered", NORMAL_CLEARING)
    port.restart(20000)


def gobackn_clear(port):
    port.link_up(0, 64)
    call = port.call()
    call.answered(1000)
    call.send(14000, USER, DISCONNECT, cause(USER, NORMAL_CLEARING))
    call.send(14030, NETWORK, RELEASE)
    complete = call.send(14060, USER, RELEASE_COMPLETE, lost=True)
    # T200 expires: the user asks where the network stands.
    port.expect(port.supervisory(15060, USER, 64, RR, command=True, pf=True), "link.timer_recovery")
    port.supervisory(15070, NETWORK, 64, RR, pf=True)
    port.expect(port.resend(15080, complete), "link.retransmission", "link.retransmission_of=%d" % complete)
    port.call_ends("answered", NORMAL_CLEARING)
    port.restart(20000)


def fault_order(port):
    port.link_up(0, 64)
    call = port.call()
    call.send(1000, USER, SETUP, *call.setup_ies(4))
    call.send(1040, NETWORK, CALL_PROCEEDING, channel(1))
    call.send(1200, NETWORK, ALERTING)
    port.expect(call.send(1500, NETWORK, CALL_PROCEEDING), "call.unexpected_message")
    call.send(4000, NETWORK, CONNECT)
    call.send(4050, USER, CONNECT_ACK)
    call.cleared(14000, USER)
    port.call_ends("answered", NORMAL_CLEARING)
    port.restart(20000)


def p2mp_88(port):
    port.link_up(0, 64)
    port.link_up(100, 65)
    call = port.call(tei=BROADCAST, originator=NETWORK)
    call.broadcast(1000, SETUP, *call.setup_ies(5))
    call.send(1100, USER, RELEASE_COMPLETE, cause(USER, INCOMPATIBLE), tei=65)
    call.send(1300, USER, ALERTING, tei=64)
    call.send(4000, USER, CONNECT, tei=64)
    call.send(4050, NETWORK, CONNECT_ACK, tei=64)
    call.cleared(14000, USER, tei=64)
    port.call_ends("answered", NORMAL_CLEARING)
    port.restart(20000)


def fault_88_p2p(port):
    port.link_up(0, 64)
    call = port.call(originator=NETWORK)
    call.send(1000, NETWORK, SETUP, *call.setup_ies(6))
    refused = call.send(1050, USER, RELEASE_COMPLETE, cause(USER, INCOMPATIBLE))
    port.expect(refused, "call.protocol_error", "call.cause=%d" % INCOMPATIBLE)
    port.call_ends("rejected", INCOMPATIBLE)
    port.restart(10000)


def p2mp_noanswer(port):
    port.link_up(0, 64)
    call = port.call(tei=BROADCAST, originator=NETWORK)
    call.broadcast(1000, SETUP, *call.setup_ies(7))
    # T303 expires twice: the network clears the caller, not the terminals.
    port.call_ends("rejected", NO_USER_RESPONDING)
    port.restart(21000)


def p2mp_abandon(port):
    port.link_up(0, 64)
    port.link_up(100, 65)
    call = port.call(tei=BROADCAST, originator=NETWORK)
    call.broadcast(1000, SETUP, *call.setup_ies(8))
    call.send(1200, USER, ALERTING, tei=64)
    call.send(1300, USER, ALERTING, tei=65)
    # The caller gave up: the network clears every terminal that alerted.
    call.cleared(8000, NETWORK, tei=64)
    call.cleared(8100, NETWORK, tei=65)
    port.call_ends("cancelled", NORMAL_CLEARING)
    port.restart(20000)


def p2mp_busy_abandon(port):
    port.link_up(0, 64)
    port.link_up(100, 66)
    call = port.call(tei=BROADCAST, originator=NETWORK)
    call.broadcast(1000, SETUP, *call.setup_ies(9))
    call.send(1100, USER, RELEASE_COMPLETE, cause(USER, USER_BUSY), tei=66)
    call.send(1300, USER, ALERTING, tei=64)
    call.cleared(8000, NETWORK, tei=64)
    port.call_ends("cancelled", NORMAL_CLEARING)
    port.restart(20000)


def p2mp_all_busy(port):
    port.link_up(0, 64)
    port.link_up(100, 65)
    call = port.call(tei=BROADCAST, originator=NETWORK)
    call.broadcast(1000, SETUP, *call.setup_ies(10))
    call.send(1100, USER, RELEASE_COMPLETE, cause(USER, USER_BUSY), tei=64)
    call.send(1200, USER, RELEASE_COMPLETE, cause(USER, INCOMPATIBLE), tei=65)
    port.call_ends("rejected", USER_BUSY)
    port.restart(11200)


def collision(port, both_release=True):
    port.link_up(0, 64)
    call = port.call()
    call.answered(1000, number=11 if both_release else 12)
    # Each sent before the other's arrived: neither N(R) acknowledges the other.
    call.send(14000, USER, DISCONNECT, cause(USER, NORMAL_CLEARING))
    call.send(14005, NETWORK, DISCONNECT, cause(NETWORK, NORMAL_CLEARING), unseen=1)
    call.send(14200, USER, RELEASE)
    if both_release:
        call.send(14205, NETWORK, RELEASE, unseen=1)
    port.call_ends("answered", NORMAL_CLEARING)
    port.restart(20000, calls_up=0 if both_release else 1)


def suspend(port):
    port.link_up(0, 64)
    port.link_up(100, 65)
    call = port.call()
    call.answered(1000, number=13)
    states = [call.send(10000, USER, SUSPEND, call_identity(b"ab")),
              call.send(10050, NETWORK, SUSPEND_ACK)]
    resumed = port.call(tei=65, ref=2)
    states += [resumed.send(20000, USER, RESUME, call_identity(b"ab")),
               resumed.send(20050, NETWORK, RESUME_ACK, channel(1))]
    port.writer.states += zip(states, (15, 0, 17, 10))
    resumed.cleared(30000, USER)
    port.call_ends("answered", NORMAL_CLEARING)
    port.restart(40000)


def resume_unknown(port):
    port.link_up(0, 64)
    call = port.call()
    call.send(1000, USER, RESUME, call_identity(b"zz"))
    call.send(1050, NETWORK, RESUME_ACK, channel(1))
    call.cleared(10000, USER)
    port.call_ends("unknown", NORMAL_CLEARING)
    port.restart(20000)


def status_null(port):
    port.link_up(0, 64)
    call = port.call()
    call.send(1000, USER, SETUP, *call.setup_ies(15))
    call.send(1040, NETWORK, CALL_PROCEEDING, channel(1))
    call.send(2000, USER, STATUS_ENQUIRY)
    # The network has no such call: both sides drop it without clearing.
    call.send(2050, NETWORK, STATUS, cause(NETWORK, STATUS_ENQUIRY_RESPONSE), ie(0x14, b"\x00"))
    port.call_ends("rejected")
    port.restart(10000)


def restart_twice(port):
    port.link_up(0, 64)
    port.call().answered(1000, number=16)
    port.restart(10000, calls_up=1)
    port.call_ends("answered")
    port.restart(20000)


def restart_channel(port, clear_b2=True):
    port.link_up(0, 64)
    b1, b2 = port.call(), port.call()
    b1.answered(1000, b=1, number=17)
    b2.answered(6000, b=2, number=18)
    port.restart(12000, restart_class=0, channel_ie=channel(1))
    port.call_ends("answered")
    if clear_b2:
        b2.cleared(14000, USER)
        port.call_ends("answered", NORMAL_CLEARING)
    else:
        port.call_ends("answered")
    port.restart(20000, calls_up=0 if clear_b2 else 1)


def tei_management(message_type, ri, ai):
    return bytes([0x0F, ri >> 8, ri & 0xFF, message_type, ai << 1 | 1])


def tei_remove(port):
    port.link_up(0, 64)
    port.call().answered(1000, number=19)
    port.expect(port.ui(10000, NETWORK, tei_management(6, 0, 64), sapi=SAPI_TEI), "link.tei_removed")
    port.call_ends("answered")
    # The terminal asks for a TEI again and gets 65.
    port.ui(11000, USER, tei_management(1, 0x3A7C, BROADCAST), sapi=SAPI_TEI)
    port.ui(11050, NETWORK, tei_management(2, 0x3A7C, 65), sapi=SAPI_TEI)
    port.link_up(11200, 65)
    port.restart(20000, tei=65)


def setup_reuse(port):
    port.link_up(0, 64)
    first = port.call()
    first.send(1000, USER, SETUP, *first.setup_ies(20))
    first.send(1040, NETWORK, CALL_PROCEEDING, channel(1))
    first.send(1200, NETWORK, ALERTING)
    port.call_ends("cancelled")
    second = port.call(ref=1)
    second.send(5000, USER, SETUP, *second.setup_ies(21))
    second.send(5040, NETWORK, CALL_PROCEEDING, channel(1))
    second.send(6200, NETWORK, ALERTING)
    second.send(8000, NETWORK, CONNECT)
    second.send(8050, USER, CONNECT_ACK)
    second.cleared(15000, USER)
    port.call_ends("answered", NORMAL_CLEARING)
    port.restart(20000)


def t306(port, announcement=True):
    port.link_up(0, 64)
    call = port.call()
    call.answered(1000, number=22 if announcement else 23)
    ies = [cause(NETWORK, NORMAL_CLEARING)] + ([ANNOUNCEMENT] if announcement else [])
    call.send(14000, NETWORK, DISCONNECT, *ies)
    release = call.send(44000, NETWORK, RELEASE)
    call.send(44030, USER, RELEASE_COMPLETE)
    if not announcement:
        port.expect(release, "call.disconnect_unanswered")
    port.call_ends("answered", NORMAL_CLEARING)
    port.restart(50000)


def crossing(port, seen=False):
    port.link_up(0, 64)
    call = port.call()
    call.send(1000, USER, SETUP, *call.setup_ies(24 if seen else 25))
    call.send(1040, NETWORK, CALL_PROCEEDING, channel(1))
    call.send(1200, NETWORK, ALERTING)
    call.send(6000, USER, DISCONNECT, cause(USER, NORMAL_CLEARING))
    # The answer was on its way when the DISCONNECT came; sent after it, it is wrong.
    connect = call.send(6050 if seen else 6005, NETWORK, CONNECT, unseen=0 if seen else 1)
    if seen:
        port.expect(connect, "call.unexpected_message")
    call.send(6200, NETWORK, RELEASE)
    call.send(6230, USER, RELEASE_COMPLETE)
    port.call_ends("cancelled", NORMAL_CLEARING)
    port.restart(20000)


def other_pd(port):
    port.link_up(0, 64)
    service = bytes.fromhex("01 01 c0") + channel(1)  # B1 in service
    port.i_frame(1000, NETWORK, 64, message(SERVICE, 3, 0, service, discriminator=MAINTENANCE))
    port.i_frame(1050, USER, 64, message(SERVICE_ACK, 3, 0x80, service, discriminator=MAINTENANCE))
    # A national message whose type octet happens to be SETUP's.
    port.i_frame(3000, USER, 64, message(SETUP, 4, 0, discriminator=NATIONAL))
    # A supplementary service outside any call: an invoke and its result.
    transaction = port.call(ref=5)
    transaction.send(5000, USER, REGISTER, ie(0x1C, bytes.fromhex("91 a1 08 020101 020107 0500")))
    transaction.send(5050, NETWORK, FACILITY, ie(0x1C, bytes.fromhex("91 a2 03 020101")))
    # A FACILITY in two segments: the host reassembles it.
    transaction.send(6000, USER, SEGMENT, ie(0x00, bytes([0x81, FACILITY])), bytes.fromhex("1c 0b 91 a1 08"))
    transaction.send(6150, USER, SEGMENT, ie(0x00, bytes([0x00, FACILITY])), bytes.fromhex("020102 020107 0500"))
    transaction.send(6200, NETWORK, RELEASE_COMPLETE, cause(NETWORK, NORMAL_CLEARING),
                     ie(0x1C, bytes.fromhex("91 a2 03 020102")))
    port.restart(10000)


def x25_sapi16(port):
    port.link_up(0, 64)
    call = port.call()
    call.answered(1000, number=26)
    port.link_up(6000, 64, SAPI_X25)
    # A virtual call on logical channel 1: call, data each way, clearing.
    for ms, side, packet in ((6100, USER, "10 01 0b 04 1234 00"), (6300, NETWORK, "10 01 0f"),
                             (6600, USER, "10 01 00 68656c6c6f"), (6900, NETWORK, "10 01 20 6f6b"),
                             (7200, USER, "10 01 21"), (8000, USER, "10 01 13 00 00"),
                             (8300, NETWORK, "10 01 17")):
        port.i_frame(ms, side, 64, bytes.fromhex(packet), sapi=SAPI_X25)
    port.unnumbered(9000, USER, 64, DISC, SAPI_X25)
    port.unnumbered(9020, NETWORK, 64, UA, SAPI_X25)
    call.cleared(14000, USER)
    port.call_ends("answered", NORMAL_CLEARING)
    port.restart(20000)


def no_peer(port):
    for attempt in range(4):
        last = port.unnumbered(1000 + attempt * 1000, USER, 64, SABME)
    port.expect(last, "link.establishment_failed")


def lost_ua(port):
    port.unnumbered(1000, USER, 64, SABME)
    port.unnumbered(2000, USER, 64, SABME)
    port.unnumbered(2020, NETWORK, 64, UA)


def dm_then_ua(port):
    port.unnumbered(1000, USER, 64, SABME)
    port.unnumbered(1020, NETWORK, 64, DM)
    port.unnumbered(2000, USER, 64, SABME)
    port.unnumbered(2020, NETWORK, 64, UA)


PROCEDURES = (
    ("gobackn", gobackn),
    ("gobackn-user", gobackn_user),
    ("gobackn-clear", gobackn_clear),
    ("fault-order", fault_order),
    ("p2mp-88", p2mp_88),
    ("fault-88-p2p", fault_88_p2p),
    ("p2mp-noanswer", p2mp_noanswer),
    ("p2mp-abandon", p2mp_abandon),
    ("p2mp-busy-abandon", p2mp_busy_abandon),
    ("p2mp-all-busy", p2mp_all_busy),
    ("collision", collision),
    ("fault-collision", lambda port: collision(port, both_release=False)),
    ("suspend", suspend),
    ("resume-unknown", resume_unknown),
    ("status-null", status_null),
    ("restart-twice", restart_twice),
    ("restart-channel", restart_channel),
    ("fault-restart-chan", lambda port: restart_channel(port, clear_b2=False)),
    ("tei-remove", tei_remove),
    ("setup-reuse", setup_reuse),
    ("t306", t306),
    ("fault-t305", lambda port: t306(port, announcement=False)),
    ("crossing", crossing),
    ("fault-crossing", lambda port: crossing(port, seen=True)),
    ("other-pd", other_pd),
    ("x25-sapi16", x25_sapi16),
    ("no-peer", no_peer),
    ("lost-ua", lost_ua),
    ("dm-then-ua", dm_then_ua),
)


class Writer:
    def __init__(self, capture):
        self.capture = capture
        self.count = 0
        self.findings = {}  # frame number -> findings
        self.calls = []  # (port, outcome, cause) in the order the calls start
        self.states = []  # (frame number, call state)

    def write(self, time_us, port_name, frame):
        name = port_name.encode()
        self.capture.write(udp_frame(bytes([0, len(name)]) + name + frame), time_us)
        self.count += 1
        return self.count


def main():
    parser = argparse.ArgumentParser(description="Writes Q.921/Q.931 procedures in MORVASTELLE PDUs.")
    parser.add_argument("out")
    parser.add_argument("--expect-findings", help="write the frames with findings and their findings here")
    parser.add_argument("--expect-calls", help="write each port's calls, outcomes and causes here")
    parser.add_argument("--expect-states", help="write the suspended and resumed call's states here")
    args = parser.parse_args()

    with Capture(args.out, LINKTYPE_ETHERNET) as capture:
        writer = Writer(capture)
        for index, (name, procedure) in enumerate(PROCEDURES):
            port = Port(writer, index, name)
            procedure(port)
            port.close()

    if args.expect_findings:
        with open(args.expect_findings, "w") as f:
            for number in sorted(writer.findings):
                f.write("%d %s\n" % (number, " ".join(sorted(writer.findings[number]))))
    if args.expect_calls:
        with open(args.expect_calls, "w") as f:
            f.writelines(" ".join(call) + "\n" for call in writer.calls)
    if args.expect_states:
        with open(args.expect_states, "w") as f:
            f.writelines("%d %d\n" % state for state in writer.states)


if __name__ == "__main__":
    main()
