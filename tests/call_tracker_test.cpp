/* call_tracker_test.cpp
 * The call tracker on its own: message sequences in, rows out. Each rule
 * stands beside the normal procedure that must not raise it.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "call-tracker.h"
#include "port-registry.h"

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
    int receive_sequence = -1;
    frame_sequence sequence = frame_sequence::new_frame;
};

class CallTracker : public ::testing::Test {
protected:
    /* `ies`, where given, are the message's information elements;
     * otherwise its cause and numbers stand for them. */
    frame_assignment send(const sent &s, const std::vector<uint8_t> &ies = {})
    {
        call_message m;
        m.frame = ++frame_;
        m.port = ports_.port_of(ports_.gateway_of({}, {}), s.port);
        tracker_.port_frame(m.port, s.time);
        m.time = s.time;
        m.from_network = s.from_network;
        m.tei = s.tei;
        m.send_sequence = s.send_sequence;
        m.receive_sequence = s.receive_sequence >= 0 ? s.receive_sequence : s.send_sequence < 0 ? -1 : 0;
        m.sequence = s.sequence;
        m.call_ref_length = static_cast<unsigned>(s.call_ref.size());
        std::copy(s.call_ref.begin(), s.call_ref.end(), m.call_ref);
        m.call_ref_flag = s.flag;
        m.message_type = s.type;
        m.calling_number = s.calling;
        m.called_number = s.called;
        m.keypad = s.keypad;
        std::vector<uint8_t> octets = ies;
        if (ies.empty()) {
            if (s.cause != no_cause)
                octets = {0x08, 0x02, 0x80, static_cast<uint8_t>(0x80 | s.cause)};
            std::string numbers = std::string(s.calling ? s.calling : "-") + "/" + (s.called ? s.called : "-") +
                                  "/" + (s.keypad ? s.keypad : "-");
            octets.insert(octets.end(), numbers.begin(), numbers.end());
        }
        m.elements = {octets.data(), octets.size()};
        return tracker_.add(m);
    }
    uint32_t port(const char *name) { return ports_.port_of(ports_.gateway_of({}, {}), name); }

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
                out.push_back(std::string(ports_.name(port)) + " " + call_ref +
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
    /* "outcome cause calls-up-on-the-port" */
    std::string ending(const call *c) const
    {
        return std::string(call_outcome_name(c->outcome())) + " " + std::to_string(c->cause) + " " +
               std::to_string(tracker_.ports()[c->port].calls_up);
    }

    port_registry ports_;
    call_tracker tracker_;
    uint32_t frame_ = 0;
};

/* "state findings" of each message. */
std::string
step(const frame_assignment &a)
{
    return std::to_string(static_cast<unsigned>(a.state)) + " " + std::to_string(a.findings);
}

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

TEST_F(CallTracker, ReleasedReferencesAndReusedOnes)
{
    send({"p", 1, user, q931_setup, {1}, false, 64, 0, "1", "2"});
    send({"p", 2, network, q931_release_complete, {1}, true, 64, 0, nullptr, nullptr, 17});
    /* Released: a stray RELEASE COMPLETE is still that call's (Q.931
     * 5.8.3.2), and it raises nothing; anything else starts a call. */
    EXPECT_EQ(send({"p", 3, network, q931_release_complete, {1}, true, 64, 1}).findings, 0);
    EXPECT_EQ(send({"p", 3, network, q931_alerting, {1}, true, 64, 2}).findings, call_no_setup);
    const call *old = send({"p", 4, user, q931_setup, {1}, false, 64, 1, "3", "4"}).assigned;
    /* A SETUP on a reference still up: the old call ends there. */
    send({"p", 5, user, q931_setup, {1}, false, 64, 2, "5", "6"});
    EXPECT_EQ(ending(old), "cancelled 255 1");
    send({"p", 6, network, q931_connect, {1}, true, 64, 3});
    /* The same SETUP again, unanswered, is that call's own repeat (T303). */
    send({"p", 7, network, q931_setup, {2}, false, broadcast_tei, -1, "7", "8"});
    EXPECT_EQ(send({"p", 11, network, q931_setup, {2}, false, broadcast_tei, -1, "7", "8"}).findings,
              call_setup_repeated);
    send({"p", 12, user, q931_connect, {2}, true, 64, 3});

    EXPECT_EQ(rows(), (std::vector<std::string>{
                          "p 01 user 1 2 1.000 -1.000 -1.000 rejected 17 3",
                          "p 01 user ? ? 3.000 -1.000 -1.000 unknown 255 1",
                          "p 01 user 3 4 4.000 -1.000 -1.000 cancelled 255 1",
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
    m.port = port("p");
    m.tei = 64;
    m.message_type = q931_setup;
    m.call_ref_length = 1;
    m.call_ref[0] = 1;
    m.has_details = false;
    for (const uint8_t *octets : {first, first, other, other}) {
        m.frame++;
        m.elements = {octets, sizeof first};
        tracker_.port_frame(m.port, 0);
        tracker_.add(m);
    }
    ASSERT_EQ(tracker_.calls().size(), 2u);
    EXPECT_EQ(tracker_.calls()[0].frames, 2u);
    EXPECT_EQ(tracker_.calls()[1].setup_frame, 3u);
    EXPECT_EQ(tracker_.calls()[1].frames, 2u);
}

TEST_F(CallTracker, MessagesThatAreNoCallsOwn)
{
    /* Global and dummy references, segments, and call-independent
     * signalling until released make no row. */
    EXPECT_EQ(send({"p", 1, network, 0x46, {0}, false, 64, 0}).assigned, nullptr);
    EXPECT_EQ(send({"p", 1, network, 0x46, {0, 0}, false, 64, 1}).assigned, nullptr);
    EXPECT_EQ(send({"p", 1, user, 0x62, {}, false, 64, 0}).assigned, nullptr);
    EXPECT_EQ(send({"p", 1, user, q931_segment, {3}, false, 64, 0}).assigned, nullptr);
    for (uint8_t type : {uint8_t(q931_register), uint8_t(0x62), uint8_t(q931_release_complete)})
        EXPECT_EQ(send({"p", 1, user, type, {4}, false, 64, 1}).findings, 0);
    EXPECT_EQ(send({"p", 2, user, q931_setup, {4}, false, 64, 2, "1", ""}).findings, 0);
    /* Overlap sending: the digits add up. */
    send({"p", 4, user, q931_information, {4}, false, 64, 2, nullptr, "55"});
    send({"p", 8, user, q931_information, {4}, false, 64, 3, nullptr, "12"});

    EXPECT_EQ(rows(), (std::vector<std::string>{
                          "p 04 user 1 5512 2.000 -1.000 -1.000 in progress 255 3",
                      }));
}

TEST_F(CallTracker, FramesLinkToTheirCall)
{
    const call *first = send({"p", 1, user, q931_setup, {1}, false, 64, 0, "1", "2"}).assigned;
    const call *second = send({"p", 2, user, q931_setup, {2}, false, 64, 1, "1", "3"}).assigned;
    send({"p", 3, network, q931_alerting, {1}, true, 64, 0});
    EXPECT_EQ(send({"p", 4, network, q931_connect, {2}, true, 64, 1}).assigned, second);
    send({"p", 5, network, q931_connect, {1}, true, 64, 2});
    send({"p", 9, user, q931_disconnect, {1}, false, 64, 2, nullptr, nullptr, 16});
    send({"p", 10, network, q931_release, {1}, true, 64, 3});
    send({"p", 11, user, q931_release_complete, {1}, false, 64, 3});

    EXPECT_EQ(links(first), "1 5 6 6");
    EXPECT_EQ(links(second), "2 4 0 2");
    EXPECT_EQ(first->alerting_time, 3);
    EXPECT_EQ(first->dialling_end, 1);
    EXPECT_EQ(first->end_time, 11);
    EXPECT_TRUE(first->ended);
    EXPECT_FALSE(second->ended);
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

TEST_F(CallTracker, BroadcastCallAnsweredByOneOfThreeTerminals)
{
    const call *c = send({"p", 1, network, q931_setup, {5}, false, broadcast_tei, -1, "9", "1"}).assigned;
    send({"p", 2, user, 0x01, {5}, true, 64, 0});
    /* One terminal is busy, one incompatible: their refusals are no
     * error (Q.931 5.2.2) and not the call's clearing. */
    EXPECT_EQ(send({"p", 3, user, q931_release_complete, {5}, true, 65, 0, nullptr, nullptr, 17}).findings, 0);
    EXPECT_EQ(send({"p", 3, user, q931_release_complete, {5}, true, 67, 0, nullptr, nullptr, 88}).findings, 0);
    EXPECT_EQ(links(c), "1 0 0 4");
    EXPECT_EQ(send({"p", 4, user, q931_connect, {5}, true, 64, 1}).state, call_state::connect_request);
    /* Clearing the terminal that was not chosen leaves the call up. */
    send({"p", 5, network, q931_release, {5}, false, 66, 0, nullptr, nullptr, 26});
    send({"p", 6, user, q931_release_complete, {5}, true, 66, 0});
    EXPECT_EQ(ending(c), "answered 255 1");
    send({"p", 64, network, q931_disconnect, {5}, false, 64, 0, nullptr, nullptr, 16});
    send({"p", 65, user, q931_release_complete, {5}, true, 64, 2});
    /* Every answer cleared: the call is over. */
    EXPECT_EQ(ending(c), "answered 16 0");
    EXPECT_EQ(links(c), "1 5 8 9");
    /* Its twin, a terminal answering a call to it alone: 88 is an error. */
    send({"p", 70, network, q931_setup, {6}, false, 64, 1});
    EXPECT_EQ(send({"p", 71, user, q931_release_complete, {6}, true, 64, 3, nullptr, nullptr, 88}).findings,
              call_protocol_error);
}

TEST_F(CallTracker, BroadcastCallsThatNoTerminalAnswers)
{
    /* Every terminal refuses: once T303 expires the network rejects the
     * call, with user busy where a terminal was busy. */
    const call *refused = send({"p", 1, network, q931_setup, {1}, false, broadcast_tei, -1}).assigned;
    send({"p", 1.1, user, q931_release_complete, {1}, true, 64, 0, nullptr, nullptr, 88});
    send({"p", 1.2, user, q931_release_complete, {1}, true, 65, 0, nullptr, nullptr, 17});
    EXPECT_EQ(ending(refused), "in progress 255 1");
    /* None answers: the SETUP goes again, and T303 expires a second time. */
    const call *unanswered = send({"p", 10, network, q931_setup, {2}, false, broadcast_tei, -1}).assigned;
    EXPECT_EQ(ending(refused), "rejected 17 1");
    EXPECT_EQ(refused->end_time, 5);
    tracker_.port_frame(port("p"), 17.9);
    EXPECT_EQ(ending(unanswered), "in progress 255 1");
    tracker_.port_frame(port("p"), 18);
    EXPECT_EQ(ending(unanswered), "rejected 18 0");
    /* A busy terminal refuses, one alerts, and the caller gives up. */
    const call *abandoned = send({"p", 20, network, q931_setup, {3}, false, broadcast_tei, -1}).assigned;
    send({"p", 20.1, user, q931_release_complete, {3}, true, 66, 0, nullptr, nullptr, 17});
    send({"p", 20.2, user, q931_alerting, {3}, true, 64, 1});
    send({"p", 30, network, q931_disconnect, {3}, false, 64, 1, nullptr, nullptr, 16});
    send({"p", 30.1, user, q931_release, {3}, true, 64, 2});
    EXPECT_EQ(ending(abandoned), "cancelled 16 1");
    send({"p", 30.2, network, q931_release_complete, {3}, false, 64, 2});
    EXPECT_EQ(ending(abandoned), "cancelled 16 0");
}

TEST_F(CallTracker, StatesAndMessagesTheyDoNotAccept)
{
    std::vector<std::string> steps;
    steps.push_back(step(send({"p", 1, user, q931_setup, {1}, false, 64, 0})));
    steps.push_back(step(send({"p", 2, network, q931_call_proceeding, {1}, true, 64, 0})));
    steps.push_back(step(send({"p", 3, network, q931_alerting, {1}, true, 64, 1})));
    steps.push_back(step(send({"p", 4, network, q931_call_proceeding, {1}, true, 64, 2})));  /* back */
    /* The same, come late: its content counts, not its place. */
    steps.push_back(step(send({"p", 4, network, q931_call_proceeding, {1}, true, 64, 2, nullptr, nullptr,
                               no_cause, nullptr, -1, frame_sequence::late})));
    steps.push_back(step(send({"p", 5, network, q931_connect, {1}, true, 64, 3})));
    steps.push_back(step(send({"p", 6, network, q931_alerting, {1}, true, 64, 4})));         /* active */
    steps.push_back(step(send({"p", 7, network, q931_information, {1}, true, 64, 5})));
    steps.push_back(step(send({"p", 8, user, q931_disconnect, {1}, false, 64, 1})));
    steps.push_back(step(send({"p", 9, network, q931_release, {1}, true, 64, 6})));
    steps.push_back(step(send({"p", 10, user, q931_release_complete, {1}, false, 64, 2})));
    EXPECT_EQ(steps, (std::vector<std::string>{"1 0", "3 0", "4 0", "4 1", "4 0", "10 0", "10 1", "10 0", "11 0",
                                               "0 0", "0 0"}));

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
    EXPECT_EQ(steps, (std::vector<std::string>{"6 0", "7 0", "9 0", "8 0", "10 0", "8 0", "6 0", "25 0", "7 0"}));
}

TEST_F(CallTracker, MessagesThatCrossTheClearing)
{
    /* The user gives up with N(S) 2; the CONNECT's N(R) of 2 shows it was
     * sent before the DISCONNECT arrived: no error, and no answer. */
    const call *crossed = send({"p", 1, user, q931_setup, {1}, false, 64, 0}).assigned;
    send({"p", 2, network, q931_alerting, {1}, true, 64, 0, nullptr, nullptr, no_cause, nullptr, 1});
    send({"p", 9, user, q931_disconnect, {1}, false, 64, 1, nullptr, nullptr, 16, nullptr, 1});
    EXPECT_EQ(send({"p", 9, network, q931_connect, {1}, true, 64, 1, nullptr, nullptr, no_cause, nullptr, 1}).findings,
              0);
    EXPECT_EQ(ending(crossed), "cancelled 16 1");
    /* Its twin, sent after the DISCONNECT arrived (N(R) 2). */
    const call *after = send({"p", 11, user, q931_setup, {2}, false, 64, 2}).assigned;
    send({"p", 12, network, q931_alerting, {2}, true, 64, 2, nullptr, nullptr, no_cause, nullptr, 3});
    send({"p", 19, user, q931_disconnect, {2}, false, 64, 3, nullptr, nullptr, 16, nullptr, 3});
    EXPECT_EQ(send({"p", 19, network, q931_connect, {2}, true, 64, 3, nullptr, nullptr, no_cause, nullptr, 4}).findings,
              call_unexpected_message);
    EXPECT_EQ(ending(after), "cancelled 16 2");
}

TEST_F(CallTracker, ClearingTimersAndProtocolErrors)
{
    const std::vector<uint8_t> cause_81 = {0x08, 0x02, 0x82, 0xd1};
    /* Octet 3a present; behind a shift to codeset 6 a 0x08 is not a Cause. */
    const std::vector<uint8_t> cause_100_after_3a = {0x08, 0x03, 0x02, 0x80, 0xe4};
    const std::vector<uint8_t> shifted = {0x96, 0x08, 0x02, 0x82, 0xd1};
    const std::vector<uint8_t> announcement = {0x08, 0x02, 0x82, 0x90, 0x1e, 0x02, 0x82, 0x88};
    send({"p", 1, user, q931_setup, {1}, false, 64, 0});
    EXPECT_EQ(send({"p", 2, user, q931_disconnect, {1}, false, 64, 1}).findings, 0);
    /* T305: the side that disconnected releases; T308: it releases again. */
    EXPECT_EQ(send({"p", 6, user, q931_release, {1}, false, 64, 2}).findings, call_disconnect_unanswered);
    EXPECT_EQ(send({"p", 10, user, q931_release, {1}, false, 64, 3}).findings, call_release_repeated);
    frame_assignment error = send({"p", 11, network, q931_release_complete, {1}, true, 64, 0}, cause_81);
    EXPECT_EQ(error.findings, call_protocol_error);
    EXPECT_EQ(error.cause, 81);
    /* T306: a DISCONNECT with an announcement waits longer for its answer. */
    send({"p", 12, user, q931_setup, {3}, false, 64, 4});
    send({"p", 13, network, q931_disconnect, {3}, true, 64, 1}, announcement);
    EXPECT_EQ(send({"p", 43, network, q931_release, {3}, true, 64, 2}).findings, 0);

    /* Clear collision: both disconnect, either may release. */
    send({"p", 20, user, q931_setup, {2}, false, 64, 5});
    send({"p", 21, user, q931_disconnect, {2}, false, 64, 6});
    send({"p", 21, network, q931_disconnect, {2}, true, 64, 3});
    EXPECT_EQ(send({"p", 22, user, q931_release, {2}, false, 64, 7}).findings, 0);
    EXPECT_EQ(send({"p", 23, network, 0x7d, {2}, true, 64, 4}, cause_100_after_3a).cause, 100);
    EXPECT_EQ(send({"p", 24, network, q931_release_complete, {2}, true, 64, 5}, shifted).findings, 0);
}

TEST_F(CallTracker, EveryEndingEndsTheCall)
{
    const std::vector<uint8_t> null_state = {0x08, 0x02, 0x80, 0x9e, 0x14, 0x01, 0x00};
    const std::vector<uint8_t> active_state = {0x08, 0x02, 0x80, 0x9e, 0x14, 0x01, 0x0a};
    /* Both RELEASE (Q.931 5.3.5): no RELEASE COMPLETE follows. */
    const call *collided = send({"p", 1, user, q931_setup, {1}, false, 64, 0}).assigned;
    send({"p", 2, user, q931_disconnect, {1}, false, 64, 1});
    send({"p", 2, network, q931_disconnect, {1}, true, 64, 0});
    send({"p", 3, user, q931_release, {1}, false, 64, 2});
    EXPECT_EQ(ending(collided), "cancelled 255 1");
    EXPECT_EQ(step(send({"p", 3, network, q931_release, {1}, true, 64, 1})), "0 0");
    EXPECT_EQ(ending(collided), "cancelled 255 0");
    /* A STATUS from a side in Null; its twin from one in Active. */
    const call *status = send({"p", 4, user, q931_setup, {2}, false, 64, 3}).assigned;
    send({"p", 5, network, q931_status, {2}, true, 64, 2}, active_state);
    EXPECT_EQ(ending(status), "in progress 255 1");
    send({"p", 6, network, q931_status, {2}, true, 64, 3}, null_state);
    EXPECT_EQ(ending(status), "rejected 255 0");
    /* Suspended (U15, then Null), resumed elsewhere by its identity (U17,
     * then Active): one call. */
    const std::vector<uint8_t> identity = {0x10, 0x02, 'a', 'b'};
    const call *moved = send({"p", 10, user, q931_setup, {3}, false, 64, 4}).assigned;
    send({"p", 11, network, q931_connect, {3}, true, 64, 4});
    EXPECT_EQ(step(send({"p", 12, user, q931_suspend, {3}, false, 64, 5}, identity)), "15 0");
    EXPECT_EQ(step(send({"p", 12, network, q931_suspend_acknowledge, {3}, true, 64, 5})), "0 0");
    EXPECT_EQ(ending(moved), "answered 255 0");
    frame_assignment resumed = send({"p", 20, user, q931_resume, {9}, false, 65, 0}, identity);
    EXPECT_EQ(resumed.assigned, moved);
    EXPECT_EQ(step(resumed), "17 0");
    EXPECT_EQ(step(send({"p", 20, network, q931_resume_acknowledge, {9}, true, 65, 0})), "10 0");
    EXPECT_EQ(tracker_.calls_up(port("p"), 65), 1u);
    /* A RESUME of a call suspended before the capture: a call, no error. */
    frame_assignment unknown = send({"p", 21, user, q931_resume, {8}, false, 65, 1}, {0x10, 0x01, 'z'});
    EXPECT_TRUE(unknown.started);
    EXPECT_EQ(unknown.findings, 0);
    /* Its TEI removed, the call on it ends; the other TEI's stays up. */
    send({"p", 30, user, q931_setup, {4}, false, 66, 0});
    tracker_.tei_removed(port("p"), 65, 31);
    EXPECT_EQ(ending(moved), "answered 255 1");
    EXPECT_EQ(tracker_.calls_changed().size(), 2u);
}

TEST_F(CallTracker, RestartsEndTheCallsTheyName)
{
    const std::vector<uint8_t> all_interfaces = {0x79, 0x01, 0x87};
    const std::vector<uint8_t> channel_1 = {0x18, 0x01, 0x89, 0x79, 0x01, 0x80};
    const std::vector<uint8_t> channel_2 = {0x18, 0x01, 0x8a};
    const call *on_b1 = send({"p", 1, user, q931_setup, {1}, false, 64, 0}).assigned;
    send({"p", 1, network, q931_call_proceeding, {1}, true, 64, 0}, {0x18, 0x01, 0x89});
    const call *on_b2 = send({"p", 2, user, q931_setup, {2}, false, 64, 1}).assigned;
    send({"p", 2, network, q931_call_proceeding, {2}, true, 64, 1}, channel_2);
    /* Channel B1 restarted: its call ends when the RESTART is acknowledged. */
    EXPECT_EQ(send({"p", 3, network, q931_restart, {0}, false, 64, 2}, channel_1).findings, 0);
    EXPECT_EQ(ending(on_b1), "in progress 255 2");
    send({"p", 3, user, q931_restart_acknowledge, {0}, true, 64, 2}, channel_1);
    EXPECT_EQ(ending(on_b1), "rejected 255 1");
    /* The whole interface: a call up is a finding of the RESTART. */
    frame_assignment restart = send({"p", 4, network, q931_restart, {0}, false, 64, 3}, all_interfaces);
    EXPECT_EQ(restart.findings, call_restart_with_calls_up);
    EXPECT_EQ(restart.calls_up, 1u);
    EXPECT_EQ(restart.assigned, nullptr);
    send({"p", 4, user, q931_restart_acknowledge, {0}, true, 64, 3});
    EXPECT_EQ(ending(on_b2), "rejected 255 0");
    EXPECT_EQ(send({"p", 5, network, q931_restart, {0}, false, 64, 4}, all_interfaces).findings, 0);
}

TEST_F(CallTracker, CallsUpAndFramesLostOnTheirLinks)
{
    uint32_t p = send({"p", 1, user, q931_setup, {1}, false, 64, 0}).assigned->port;
    send({"p", 2, network, q931_setup, {1}, false, broadcast_tei, -1});
    EXPECT_EQ(tracker_.calls_up(p, 64), 1u);
    /* The broadcast call is on no link until a terminal answers it. */
    send({"p", 3, user, q931_alerting, {1}, true, 65, 0});
    EXPECT_EQ(tracker_.calls_up(p, 65), 1u);

    tracker_.frames_lost(p, 64, 2);
    const call &first = tracker_.calls()[0];
    EXPECT_EQ(tracker_.lost_frames(first), 2u);
    send({"p", 6, network, q931_release_complete, {1}, true, 64, 2});
    tracker_.frames_lost(p, 64, 1);
    /* Lost after its release, or before its start, is no call's. */
    const call *later = send({"p", 7, user, q931_setup, {2}, false, 64, 1}).assigned;
    EXPECT_EQ(tracker_.lost_frames(first), 2u);
    EXPECT_EQ(tracker_.lost_frames(*later), 0u);
    EXPECT_EQ(tracker_.calls_up(p, 64), 1u);
}

} // namespace
