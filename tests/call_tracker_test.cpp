/* call_tracker_test.cpp
 * The call tracker on its own: message sequences in, rows out.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "call-tracker.h"

namespace {

using namespace morvastelle;

const bool user = false;
const bool network = true;

/* One Q.931 message as a LAPD frame carries it. */
struct sent {
    const char *port;
    double time;
    bool from_network;
    uint8_t type;
    std::vector<uint8_t> call_ref;
    bool flag;
    unsigned tei = 64;
    int send_sequence = -1;  /* -1: a UI-frame */
    const char *calling = nullptr;
    const char *called = nullptr;
    uint8_t cause = no_cause;
    const char *keypad = nullptr;
};

class CallTracker : public ::testing::Test {
protected:
    /* `ies`, where given, are the message's information elements;
     * otherwise the numbers stand for them. */
    frame_assignment send(const sent &s, const std::vector<uint8_t> &ies = {})
    {
        call_message m;
        m.frame = ++frame_;
        m.port = s.port;
        m.time = s.time;
        m.from_network = s.from_network;
        m.tei = s.tei;
        m.numbered = s.send_sequence >= 0;
        m.send_sequence = m.numbered ? static_cast<unsigned>(s.send_sequence) : 0;
        m.call_ref_length = static_cast<unsigned>(s.call_ref.size());
        std::copy(s.call_ref.begin(), s.call_ref.end(), m.call_ref);
        m.call_ref_flag = s.flag;
        m.message_type = s.type;
        m.calling_number = s.calling;
        m.called_number = s.called;
        m.keypad = s.keypad;
        m.cause = s.cause;
        /* The numbers stand for the octets they were decoded from. */
        std::string octets = std::string(s.calling ? s.calling : "-") + "/" + (s.called ? s.called : "-") + "/" +
                             (s.keypad ? s.keypad : "-");
        m.information_elements = ies.empty() ? reinterpret_cast<const uint8_t *>(octets.data()) : ies.data();
        m.information_elements_length = ies.empty() ? octets.size() : ies.size();
        return tracker_.add(m);
    }

    /* "port ref side calling called start delay connected outcome cause frames" per call. */
    std::vector<std::string> rows() const
    {
        std::vector<std::string> out;
        for (uint32_t port = 0; port < tracker_.ports().size(); port++) {
            for (const call &c : tracker_.calls()) {
                if (c.port != port)
                    continue;
                char times[64], call_ref[2 * max_call_ref_length + 1];
                snprintf(times, sizeof times, "%.3f %.3f %.3f", c.start, c.answer_delay(), c.connected_duration());
                c.call_ref_text(call_ref);
                out.push_back(std::string(tracker_.ports()[port].name) + " " + call_ref +
                              (c.network_originated ? " network " : " user ") + std::string(c.calling_number) + " " +
                              std::string(c.called_number) + " " + times + " " + call_outcome_name(c.outcome()) + " " +
                              std::to_string(c.cause) + " " + std::to_string(c.frames));
            }
        }
        return out;
    }

    /* The frame numbers of a call's SETUP, CONNECT and first clearing
     * message, and its frame count. */
    static std::string links(const call *c)
    {
        return std::to_string(c->setup_frame) + " " + std::to_string(c->connect_frame) + " " +
               std::to_string(c->clearing_frame) + " " + std::to_string(c->frames);
    }

    call_tracker tracker_;
    uint32_t frame_ = 0;
};

TEST_F(CallTracker, OutcomesCausesAndTimes)
{
    /* Answered, then cleared by the caller. */
    send({"p", 1, user, q931_setup, {1}, false, 64, 0, "100", "200"});
    send({"p", 2, network, 0x02, {1}, true, 64, 0});
    send({"p", 4, network, q931_connect, {1}, true, 64, 1});
    send({"p", 64, user, q931_disconnect, {1}, false, 64, 1, nullptr, nullptr, 16});
    send({"p", 65, network, q931_release, {1}, true, 64, 2, nullptr, nullptr, 31});
    send({"p", 66, user, q931_release_complete, {1}, false, 64, 2});
    /* Refused by the network, with a cause only in the second clearing message. */
    send({"p", 10, user, q931_setup, {2}, false, 64, 3, "100", "300"});
    send({"p", 11, network, q931_disconnect, {2}, true, 64, 3});
    send({"p", 12, user, q931_release, {2}, false, 64, 4, nullptr, nullptr, 17});
    /* Given up by the caller; a STATUS cause is not the call's. */
    send({"p", 20, user, q931_setup, {3}, false, 64, 5, "100", "400"});
    send({"p", 21, network, 0x7d, {3}, true, 64, 4, nullptr, nullptr, 30});
    send({"p", 22, user, q931_release_complete, {3}, false, 64, 6, nullptr, nullptr, 16});
    /* No clearing yet. */
    send({"p", 30, user, q931_setup, {4}, false, 64, 7, "100", "500"});
    /* Its SETUP not captured: unknown even when cleared. */
    send({"p", 40, network, q931_release_complete, {5}, true, 64, 5, nullptr, nullptr, 81});

    EXPECT_EQ(rows(), (std::vector<std::string>{
                          "p 01 user 100 200 1.000 3.000 60.000 answered 16 6",
                          "p 02 user 100 300 10.000 -1.000 -1.000 rejected 17 3",
                          "p 03 user 100 400 20.000 -1.000 -1.000 cancelled 16 3",
                          "p 04 user 100 500 30.000 -1.000 -1.000 in progress 255 1",
                          "p 05 user ? ? 40.000 -1.000 -1.000 unknown 81 1",
                      }));
}

TEST_F(CallTracker, KeysKeepCallsApart)
{
    /* The same value on two ports, from each side of one port, of 1 and
     * 2 octets, and from two terminals of one port. */
    send({"a", 1, user, q931_setup, {1}, false, 64, 0, "1", "2"});
    send({"b", 1, user, q931_setup, {1}, false, 64, 0, "3", "4"});
    send({"a", 2, network, q931_setup, {1}, false, 64, 0, "5", "6"});
    send({"a", 3, user, q931_setup, {0, 1}, false, 64, 1, "7", "8"});
    send({"a", 4, user, q931_setup, {1}, false, 65, 0, "9", "0"});
    /* Each goes to its own call. */
    send({"b", 5, network, q931_connect, {1}, true, 64, 0});
    send({"a", 6, user, q931_release_complete, {1}, true, 64, 2, nullptr, nullptr, 17});
    send({"a", 7, network, q931_disconnect, {0, 1}, true, 64, 1, nullptr, nullptr, 34});
    send({"a", 8, network, q931_connect, {1}, true, 65, 0});

    EXPECT_EQ(rows(), (std::vector<std::string>{
                          "a 01 user 1 2 1.000 -1.000 -1.000 in progress 255 1",
                          "a 01 network 5 6 2.000 -1.000 -1.000 rejected 17 2",
                          "a 0001 user 7 8 3.000 -1.000 -1.000 rejected 34 2",
                          "a 01 user 9 0 4.000 4.000 -1.000 answered 255 2",
                          "b 01 user 3 4 1.000 4.000 -1.000 answered 255 2",
                      }));
}

TEST_F(CallTracker, ReusedReferencesStartNewRows)
{
    send({"p", 1, user, q931_setup, {1}, false, 64, 0, "1", "2"});
    send({"p", 2, network, q931_release_complete, {1}, true, 64, 0, nullptr, nullptr, 17});
    /* Freed: a later message starts another call. */
    send({"p", 3, network, q931_release_complete, {1}, true, 64, 1});
    send({"p", 4, user, q931_setup, {1}, false, 64, 1, "3", "4"});
    /* A SETUP on a reference still in use. */
    send({"p", 5, user, q931_setup, {1}, false, 64, 2, "5", "6"});
    send({"p", 6, network, q931_connect, {1}, true, 64, 2});
    /* The same SETUP again, unanswered, is that call's own repeat. */
    send({"p", 7, network, q931_setup, {2}, false, broadcast_tei, -1, "7", "8"});
    send({"p", 11, network, q931_setup, {2}, false, broadcast_tei, -1, "7", "8"});
    send({"p", 12, user, q931_connect, {2}, true, 64, 3});

    EXPECT_EQ(rows(), (std::vector<std::string>{
                          "p 01 user 1 2 1.000 -1.000 -1.000 rejected 17 2",
                          "p 01 user ? ? 3.000 -1.000 -1.000 unknown 255 1",
                          "p 01 user 3 4 4.000 -1.000 -1.000 in progress 255 1",
                          "p 01 user 5 6 5.000 1.000 -1.000 answered 255 2",
                          "p 02 network 7 8 7.000 5.000 -1.000 answered 255 3",
                      }));
}

/* tshark -2 reads a file's first pass without the host's decoding of the
 * numbers: a repeated SETUP must be told from another one all the same. */
TEST_F(CallTracker, RepeatedSetupKnownByItsOctetsAlone)
{
    const uint8_t first[] = {0x70, 0x02, 0x81, 0x31};
    const uint8_t other[] = {0x70, 0x02, 0x81, 0x32};
    call_message m;
    m.port = "p";
    m.tei = 64;
    m.message_type = q931_setup;
    m.call_ref_length = 1;
    m.call_ref[0] = 1;
    m.has_details = false;
    for (const uint8_t *octets : {first, first, other, other}) {
        m.frame++;
        m.information_elements = octets;
        m.information_elements_length = sizeof first;
        tracker_.add(m);
    }
    ASSERT_EQ(tracker_.calls().size(), 2u);
    EXPECT_EQ(tracker_.calls()[0].frames, 2u);
    EXPECT_EQ(tracker_.calls()[1].setup_frame, 3u);
    EXPECT_EQ(tracker_.calls()[1].frames, 2u);
}

TEST_F(CallTracker, MessagesThatAreNoCallsOwn)
{
    /* Global and dummy references make no row. */
    EXPECT_EQ(send({"p", 1, network, 0x46, {0}, false, 64, 0}).assigned, nullptr);
    EXPECT_EQ(send({"p", 1, network, 0x46, {0, 0}, false, 64, 1}).assigned, nullptr);
    EXPECT_EQ(send({"p", 1, user, 0x62, {}, false, 64, 0}).assigned, nullptr);

    const call *c = send({"p", 2, user, q931_setup, {1}, false, 64, 1, "1", ""}).assigned;
    /* A retransmission repeats the last send sequence number of its
     * direction and TEI, with the same message: it belongs to the frame it
     * repeats and changes nothing. The other direction counts on its own. */
    frame_assignment repeat = send({"p", 3, user, q931_setup, {1}, false, 64, 1, "1", ""});
    EXPECT_EQ(repeat.assigned, c);
    EXPECT_EQ(repeat.retransmission_of, 4u);
    EXPECT_FALSE(repeat.started);
    send({"p", 4, user, q931_information, {1}, false, 64, 2, nullptr, "55"});
    send({"p", 5, network, 0x02, {1}, true, 64, 2});
    EXPECT_EQ(send({"p", 7, network, 0x02, {1}, true, 64, 2}).retransmission_of, 7u);
    /* A repeated global-reference frame is still no call's. */
    send({"p", 7, network, 0x46, {0}, false, 64, 9});
    repeat = send({"p", 7, network, 0x46, {0}, false, 64, 9});
    EXPECT_EQ(repeat.assigned, nullptr);
    EXPECT_EQ(repeat.retransmission_of, 9u);
    /* Overlap sending: the digits add up. */
    send({"p", 8, user, q931_information, {1}, false, 64, 3, nullptr, "12"});
    /* A new data link numbers from 0 again. */
    tracker_.link_reset(tracker_.port_frame("p", 9), 64);
    send({"p", 9, user, q931_information, {1}, false, 64, 3, nullptr, "3"});

    EXPECT_EQ(rows(), (std::vector<std::string>{
                          "p 01 user 1 55123 2.000 -1.000 -1.000 in progress 255 5",
                      }));
}

TEST_F(CallTracker, ManyPortsEachFoundByItsWholeName)
{
    /* Enough names to grow the port table several times: empty, 1 to 40
     * octets, names that are prefixes of others, and names that differ in
     * one middle octet only. */
    std::vector<std::string> names = {""};
    for (size_t length = 1; length <= 40; length++)
        names.push_back(std::string("bri-0/slot-03/port-17/s0-trunk-b/line-07").substr(0, length));
    for (int slot = 0; slot < 100; slot++) {
        char name[64];
        snprintf(name, sizeof name, "bri-0/slot-%02d/port-17/s0-trunk-a", slot);
        names.push_back(name);
    }
    for (size_t i = 0; i < names.size(); i++)
        send({names[i].c_str(), double(i), user, q931_setup, {1}, false, 64, 0, "1", "2"});
    /* Again from the other end of the list, each port's second frame. */
    for (size_t i = names.size(); i-- > 0;)
        EXPECT_EQ(tracker_.port_frame(names[i], 1000.0 + i), i) << names[i];

    ASSERT_EQ(tracker_.ports().size(), names.size());
    for (size_t i = 0; i < names.size(); i++) {
        const call_port &port = tracker_.ports()[i];
        EXPECT_EQ(std::string(port.name), names[i]);
        EXPECT_EQ(port.calls, 1u);
        EXPECT_EQ(port.first_frame_time, double(i));
        EXPECT_EQ(port.last_frame_time, 1000.0 + i);
        EXPECT_EQ(tracker_.calls()[i].port, i);
    }
}

TEST_F(CallTracker, FramesLinkToTheirCallAndNeverMoveToAnother)
{
    const call *first = send({"p", 1, user, q931_setup, {1}, false, 64, 0, "1", "2"}).assigned;
    const call *second = send({"p", 2, user, q931_setup, {2}, false, 64, 1, "1", "3"}).assigned;
    send({"p", 3, network, q931_alerting, {1}, true, 64, 0});
    /* The same N(S) on another message, of another call: a new frame. */
    frame_assignment other = send({"p", 4, network, q931_connect, {2}, true, 64, 0});
    EXPECT_EQ(other.assigned, second);
    EXPECT_EQ(other.retransmission_of, 0u);
    send({"p", 5, network, q931_connect, {1}, true, 64, 1});
    send({"p", 9, user, q931_disconnect, {1}, false, 64, 2, nullptr, nullptr, 16});
    send({"p", 10, network, q931_release, {1}, true, 64, 2});
    send({"p", 11, user, q931_release_complete, {1}, false, 64, 3});

    EXPECT_EQ(links(first), "1 5 6 6");
    EXPECT_EQ(links(second), "2 4 0 2");
    EXPECT_EQ(first->alerting_time, 3);
    EXPECT_EQ(first->dialling_end, 1);
    EXPECT_EQ(first->end_time, 11);
    EXPECT_TRUE(first->released);
    EXPECT_FALSE(second->released);
    EXPECT_EQ(second->end_time, 4);
}

TEST_F(CallTracker, KeypadDigitsDialWhereNoCalledNumberDoes)
{
    /* A basic-rate terminal dials with the Keypad facility, in the SETUP
     * and in INFORMATION messages; the last one ends its dialling. */
    const call *keypad = send({"p", 1, user, q931_setup, {1}, false, 64, 0, "1", nullptr, no_cause, "55"}).assigned;
    send({"p", 2, user, q931_information, {1}, false, 64, 1, nullptr, nullptr, no_cause, "5#"});
    send({"p", 3, network, q931_information, {1}, true, 64, 0, nullptr, nullptr, no_cause, "9"});
    send({"p", 4, network, q931_alerting, {1}, true, 64, 1});
    EXPECT_EQ(keypad->called_number, "555#9");
    EXPECT_EQ(keypad->dialling_end, 2);
    /* A Called party number outweighs Keypad digits, before or after. */
    const call *called = send({"p", 5, user, q931_setup, {2}, false, 64, 2, "1", nullptr, no_cause, "7"}).assigned;
    send({"p", 6, user, q931_information, {2}, false, 64, 3, nullptr, "800"});
    send({"p", 7, user, q931_information, {2}, false, 64, 4, nullptr, nullptr, no_cause, "1"});
    EXPECT_EQ(called->called_number, "800");
    /* A repeated SETUP dials the same keypad digits. */
    send({"p", 8, network, q931_setup, {3}, false, broadcast_tei, -1, "1", nullptr, no_cause, "42"});
    send({"p", 12, network, q931_setup, {3}, false, broadcast_tei, -1, "1", nullptr, no_cause, "42"});
    EXPECT_EQ(tracker_.calls().size(), 3u);
    EXPECT_EQ(tracker_.calls()[2].called_number, "42");
}

TEST_F(CallTracker, BroadcastCallAnsweredByOneOfTwoTerminals)
{
    send({"p", 1, network, q931_setup, {5}, false, broadcast_tei, -1, "9", "1"});
    send({"p", 2, user, 0x01, {5}, true, 64, 0});
    /* The other terminal is busy: the call goes on. */
    send({"p", 3, user, q931_release_complete, {5}, true, 65, 0, nullptr, nullptr, 17});
    send({"p", 4, user, q931_connect, {5}, true, 64, 1});
    /* Clearing the terminal that was not chosen leaves the call up. */
    send({"p", 5, network, q931_release, {5}, false, 66, 0, nullptr, nullptr, 26});
    send({"p", 6, user, q931_release_complete, {5}, true, 66, 0});
    send({"p", 64, network, q931_disconnect, {5}, false, 64, 0, nullptr, nullptr, 16});
    send({"p", 65, user, q931_release_complete, {5}, true, 64, 2});
    /* Freed: the next message is another call. */
    send({"p", 70, user, q931_release_complete, {5}, true, 64, 3});

    EXPECT_EQ(rows(), (std::vector<std::string>{
                          "p 05 network 9 1 1.000 3.000 60.000 answered 16 8",
                          "p 05 network ? ? 70.000 -1.000 -1.000 unknown 255 1",
                      }));
}

TEST_F(CallTracker, BroadcastRefusalIsNotTheClearing)
{
    const call *c = send({"p", 1, network, q931_setup, {5}, false, broadcast_tei, -1, "9", "1"}).assigned;
    send({"p", 2, user, q931_release_complete, {5}, true, 65, 0, nullptr, nullptr, 17});
    EXPECT_EQ(links(c), "1 0 2 2");
    send({"p", 3, user, q931_connect, {5}, true, 64, 0});
    EXPECT_EQ(links(c), "1 3 0 3");
    EXPECT_EQ(c->connected_duration(), -1);
}

/* "state findings" of each message. */
std::string
step(const frame_assignment &a)
{
    return std::to_string(static_cast<unsigned>(a.state)) + " " + std::to_string(a.findings);
}

TEST_F(CallTracker, StatesAndMessagesTheyDoNotAccept)
{
    std::vector<std::string> steps;
    steps.push_back(step(send({"p", 1, user, q931_setup, {1}, false, 64, 0})));
    steps.push_back(step(send({"p", 2, network, q931_call_proceeding, {1}, true, 64, 0})));
    steps.push_back(step(send({"p", 3, network, q931_alerting, {1}, true, 64, 1})));
    steps.push_back(step(send({"p", 4, network, q931_call_proceeding, {1}, true, 64, 2})));  /* back */
    steps.push_back(step(send({"p", 5, network, q931_connect, {1}, true, 64, 3})));
    steps.push_back(step(send({"p", 6, network, q931_alerting, {1}, true, 64, 4})));         /* active */
    steps.push_back(step(send({"p", 7, network, q931_information, {1}, true, 64, 5})));
    steps.push_back(step(send({"p", 8, user, q931_disconnect, {1}, false, 64, 1})));
    steps.push_back(step(send({"p", 9, network, q931_release, {1}, true, 64, 6})));
    steps.push_back(step(send({"p", 10, user, q931_release_complete, {1}, false, 64, 2})));
    EXPECT_EQ(steps, (std::vector<std::string>{"1 0", "3 0", "4 0", "4 1", "10 0", "10 1", "10 0", "11 0", "0 0",
                                               "0 0"}));

    /* Terminals answering a broadcast SETUP, each in its own state, and
     * the network's call through overlap receiving. */
    steps.clear();
    steps.push_back(step(send({"p", 20, network, q931_setup, {2}, false, broadcast_tei, -1})));
    steps.push_back(step(send({"p", 21, user, q931_alerting, {2}, true, 64, 3})));
    steps.push_back(step(send({"p", 22, user, q931_call_proceeding, {2}, true, 65, 0})));
    steps.push_back(step(send({"p", 23, user, q931_connect, {2}, true, 65, 1})));
    steps.push_back(step(send({"p", 24, network, q931_connect_acknowledge, {2}, false, 65, 0})));
    steps.push_back(step(send({"p", 25, user, q931_connect, {2}, true, 64, 4})));
    steps.push_back(step(send({"p", 26, network, q931_setup, {3}, false, 64, 7})));
    steps.push_back(step(send({"p", 27, user, q931_setup_acknowledge, {3}, true, 64, 5})));
    steps.push_back(step(send({"p", 28, user, q931_alerting, {3}, true, 64, 6})));
    EXPECT_EQ(steps, (std::vector<std::string>{"6 0", "7 0", "7 0", "8 0", "10 0", "10 0", "6 0", "25 0", "7 0"}));
}

TEST_F(CallTracker, ClearingTimersAndProtocolErrors)
{
    const std::vector<uint8_t> cause_81 = {0x08, 0x02, 0x82, 0xd1};
    /* Octet 3a present; behind a shift to codeset 6 a 0x08 is not a Cause. */
    const std::vector<uint8_t> cause_100_after_3a = {0x08, 0x03, 0x02, 0x80, 0xe4};
    const std::vector<uint8_t> shifted = {0x96, 0x08, 0x02, 0x82, 0xd1};
    send({"p", 1, user, q931_setup, {1}, false, 64, 0});
    EXPECT_EQ(send({"p", 2, user, q931_disconnect, {1}, false, 64, 1}).findings, 0);
    /* T305: the side that disconnected releases; T308: it releases again. */
    EXPECT_EQ(send({"p", 6, user, q931_release, {1}, false, 64, 2}).findings, call_disconnect_unanswered);
    EXPECT_EQ(send({"p", 10, user, q931_release, {1}, false, 64, 3}).findings, call_release_repeated);
    frame_assignment error = send({"p", 11, network, q931_release_complete, {1}, true, 64, 0}, cause_81);
    EXPECT_EQ(error.findings, call_protocol_error);
    EXPECT_EQ(error.cause, 81);

    /* Clear collision: both disconnect, either may release. */
    send({"p", 20, user, q931_setup, {2}, false, 64, 4});
    send({"p", 21, user, q931_disconnect, {2}, false, 64, 5});
    send({"p", 21, network, q931_disconnect, {2}, true, 64, 1});
    EXPECT_EQ(send({"p", 22, user, q931_release, {2}, false, 64, 6}).findings, 0);
    EXPECT_EQ(send({"p", 23, network, 0x7d, {2}, true, 64, 2}, cause_100_after_3a).cause, 100);
    EXPECT_EQ(send({"p", 24, network, q931_release_complete, {2}, true, 64, 3}, shifted).findings, 0);
}

TEST_F(CallTracker, WhatTheCaptureLacks)
{
    /* A call without its SETUP: flagged on its first frame only. */
    EXPECT_EQ(send({"p", 1, network, q931_alerting, {1}, true, 64, 0}).findings, call_no_setup);
    EXPECT_EQ(send({"p", 2, network, q931_disconnect, {1}, true, 64, 1}).findings, 0);

    /* A CONNECT ACKNOWLEDGE where the CONNECT is missing: answered there. */
    const call *c = send({"p", 10, user, q931_setup, {2}, false, 64, 0}).assigned;
    send({"p", 11, network, q931_alerting, {2}, true, 64, 2});
    frame_assignment lost = send({"p", 15, user, q931_connect_acknowledge, {2}, false, 64, 1});
    EXPECT_EQ(lost.findings, call_connect_lost);
    EXPECT_EQ(lost.state, call_state::active);
    EXPECT_EQ(links(c), "3 5 0 3");
    EXPECT_EQ(call_outcome_name(c->outcome()), std::string("answered"));
    /* Its twin, with the CONNECT. */
    send({"p", 20, user, q931_setup, {3}, false, 64, 2});
    send({"p", 21, network, q931_connect, {3}, true, 64, 3});
    EXPECT_EQ(send({"p", 22, user, q931_connect_acknowledge, {3}, false, 64, 3}).findings, 0);

    /* SETUP sent again (T303) in a new I-frame, and the same I-frame repeated. */
    send({"p", 30, user, q931_setup, {4}, false, 64, 4, "1", "2"});
    frame_assignment again = send({"p", 34, user, q931_setup, {4}, false, 64, 5, "1", "2"});
    EXPECT_EQ(again.findings, call_setup_repeated);
    frame_assignment repeat = send({"p", 35, user, q931_setup, {4}, false, 64, 5, "1", "2"});
    EXPECT_EQ(repeat.findings, 0);
    EXPECT_EQ(repeat.retransmission_of, frame_ - 1);
}

TEST_F(CallTracker, CallsUpAndFramesLostOnTheirLinks)
{
    const std::vector<uint8_t> all_interfaces = {0x79, 0x01, 0x87};
    const std::vector<uint8_t> indicated_channels = {0x79, 0x01, 0x80};
    uint32_t port = send({"p", 1, user, q931_setup, {1}, false, 64, 0}).port;
    send({"p", 2, network, q931_setup, {1}, false, broadcast_tei, -1});
    EXPECT_EQ(tracker_.calls_up(port, 64), 1u);
    /* The broadcast call is on no link until a terminal answers it. */
    send({"p", 3, user, q931_alerting, {1}, true, 65, 0});
    EXPECT_EQ(tracker_.calls_up(port, 65), 1u);

    frame_assignment restart = send({"p", 4, network, q931_restart, {0}, false, 64, 0}, all_interfaces);
    EXPECT_EQ(restart.findings, call_restart_with_calls_up);
    EXPECT_EQ(restart.calls_up, 2u);
    EXPECT_EQ(restart.assigned, nullptr);
    EXPECT_EQ(send({"p", 5, network, q931_restart, {0}, false, 64, 1}, indicated_channels).findings, 0);

    tracker_.frames_lost(port, 64, 2);
    const call &first = tracker_.calls()[0];
    EXPECT_EQ(tracker_.lost_frames(first), 2u);
    send({"p", 6, network, q931_release_complete, {1}, true, 64, 2});
    tracker_.frames_lost(port, 64, 1);
    /* Lost after its release, or before its start, is no call's. */
    const call *later = send({"p", 7, user, q931_setup, {2}, false, 64, 1}).assigned;
    EXPECT_EQ(tracker_.lost_frames(first), 2u);
    EXPECT_EQ(tracker_.lost_frames(*later), 0u);
    EXPECT_EQ(tracker_.calls_up(port, 64), 1u);
}

} // namespace
