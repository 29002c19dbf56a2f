/* call_kpi_test.cpp
 * The port KPIs on their own: calls from the call tracker in, rows out.
 * Every case also hands the final calls over again, last first, as a
 * second pass with a filter may: the rows must not depend on the order.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <algorithm>
#include <memory_resource>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "call-kpi.h"
#include "call-tracker.h"
#include "port-registry.h"

namespace {

using namespace morvastelle;

class CallKpis : public ::testing::Test {
protected:
    /* A message of a call from the user, in a UI-frame: the user picks
     * the reference, so the network answers with the flag set. */
    void user(const char *port, double time, uint8_t type, uint8_t ref, uint8_t cause = no_cause)
    {
        send(port, time, false, type, ref, cause);
    }
    void network(const char *port, double time, uint8_t type, uint8_t ref, uint8_t cause = no_cause)
    {
        send(port, time, true, type, ref, cause);
    }

    /* "port: calls answered ASR NER ACD PDD peak peak-at Erlangs", then
     * the all-ports row. */
    std::vector<std::string> rows(const call_kpis &kpis, const std::vector<std::string> &ports) const
    {
        std::vector<std::string> out;
        for (size_t row = 0; row < kpis.port_rows(); row++)
            out.push_back(ports[row] + ": " + text(kpis.port_row(row)));
        out.push_back("all ports: " + text(kpis.all_ports()));
        return out;
    }

    void expect_rows(std::vector<std::string> expected)
    {
        EXPECT_EQ(rows(kpis_, ports_), expected);

        call_kpis again;
        std::vector<std::string> ports;
        for (auto c = tracker_.calls().rbegin(); c != tracker_.calls().rend(); ++c) {
            const call_port &port = tracker_.ports()[c->port];
            if (again.add(*c, port).new_row)
                ports.emplace_back(registry_.name(c->port));
            EXPECT_FALSE(again.add(*c, port).changed);
        }
        std::vector<std::string> reversed = rows(again, ports);
        std::sort(reversed.begin(), reversed.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(reversed, expected);
    }

private:
    void send(const char *port, double time, bool from_network, uint8_t type, uint8_t ref, uint8_t cause)
    {
        call_message m;
        m.frame = ++frame_;
        m.port = registry_.port_of(registry_.gateway_of({}, {}), port);
        tracker_.port_frame(m.port, time);
        m.time = time;
        m.from_network = from_network;
        m.tei = 64;
        m.call_ref_length = 1;
        m.call_ref[0] = ref;
        m.call_ref_flag = from_network;
        m.message_type = type;
        std::vector<uint8_t> cause_element = {0x08, 0x02, 0x80, static_cast<uint8_t>(0x80 | cause)};
        if (cause != no_cause)
            m.elements = {cause_element.data(), cause_element.size()};
        const call *c = tracker_.add(m).assigned;
        if (c && kpis_.add(*c, tracker_.ports()[c->port]).new_row)
            ports_.emplace_back(port);
    }

    static std::string text(const kpi_row &row)
    {
        char asr[24], ner[24], acd[24], pdd[24], peak_time[24], erlangs[24];
        format_fixed(asr, row.asr_tenths, 1);
        format_fixed(ner, row.ner_tenths, 1);
        format_fixed(acd, row.acd_ms, 3);
        format_fixed(pdd, row.post_dial_delay_ms, 3);
        format_fixed(peak_time, row.peak_time_ms, 3);
        format_fixed(erlangs, row.erlangs_thousandths, 3);
        return std::to_string(row.calls) + " " + std::to_string(row.answered) + " " + asr + " " + ner + " " + acd +
               " " + pdd + " " + std::to_string(row.peak_calls) + " " + peak_time + " " + erlangs;
    }

    port_registry registry_;
    call_tracker tracker_;
    call_kpis kpis_;
    std::vector<std::string> ports_;
    uint32_t frame_ = 0;
};

const uint8_t user_busy = 17, no_circuit = 34, normal_clearing = 16;

TEST_F(CallKpis, OutcomesMakeTheRatios)
{
    /* Answered and cleared: 10 s connected, alerted 1 s after its SETUP. */
    user("p", 0, q931_setup, 1);
    network("p", 1, q931_alerting, 1);
    network("p", 2, q931_connect, 1);
    user("p", 12, q931_disconnect, 1, normal_clearing);
    network("p", 12.5, q931_release, 1);
    user("p", 13, q931_release_complete, 1);
    /* Cancelled before ALERTING: the network did not reach anyone. */
    user("p", 20, q931_setup, 2);
    user("p", 23, q931_disconnect, 2, normal_clearing);
    network("p", 24, q931_release_complete, 2);
    /* Cancelled after ALERTING: it did. */
    user("p", 30, q931_setup, 3);
    network("p", 33, q931_alerting, 3);
    user("p", 40, q931_disconnect, 3, normal_clearing);
    network("p", 41, q931_release_complete, 3);
    /* Rejected: the user was busy (effective), or no circuit (not). */
    user("p", 50, q931_setup, 4);
    network("p", 51, q931_disconnect, 4, user_busy);
    user("p", 52, q931_release_complete, 4);
    user("p", 60, q931_setup, 5);
    network("p", 60.5, q931_disconnect, 5, no_circuit);
    user("p", 61, q931_release_complete, 5);
    /* Still ringing at the end: delayed, not ended, up to the last frame. */
    user("p", 70, q931_setup, 6);
    network("p", 72.5, q931_alerting, 6);
    /* Its SETUP not captured: no seizure of this capture's. */
    network("p", 80, q931_release_complete, 7, 81);

    /* 1 answered of 5 ended, 3 effective; delays 1, 3 and 2.5 s; call
     * time 13 + 4 + 11 + 2 + 1 + 10 s over 80 s. */
    expect_rows({
        "p: 6 1 20.0 60.0 10.000 2.167 1 0.000 0.513",
        "all ports: 6 1 20.0 60.0 10.000 2.167 1 0.000 0.513",
    });
}

TEST_F(CallKpis, OverlapSendingDelaysFromTheLastDigits)
{
    user("p", 0, q931_setup, 1);
    user("p", 2, q931_information, 1);
    /* Only the calling side dials. */
    network("p", 3, q931_information, 1);
    user("p", 4, q931_information, 1);
    network("p", 5.5, q931_alerting, 1);
    user("p", 6, q931_information, 1);
    network("p", 7, q931_connect, 1);
    user("p", 9, q931_disconnect, 1, normal_clearing);
    network("p", 10, q931_release_complete, 1);
    /* Answered without ALERTING, and not cleared: no connected time. */
    user("p", 20, q931_setup, 2);
    user("p", 21, q931_information, 2);
    network("p", 23.5, q931_connect, 2);

    expect_rows({
        "p: 2 2 100.0 100.0 2.000 2.000 1 0.000 0.574",
        "all ports: 2 2 100.0 100.0 2.000 2.000 1 0.000 0.574",
    });
}

TEST_F(CallKpis, PeakAndTrafficPerPortAndOverAllPorts)
{
    user("a", 0, q931_setup, 1);
    network("a", 1, q931_connect, 1);
    user("a", 5, q931_setup, 2);
    network("a", 6, q931_alerting, 2);
    /* Over two ports at once, the peak is first reached here. */
    user("b", 6, q931_setup, 1);
    network("b", 7, q931_disconnect, 1, no_circuit);
    user("b", 8, q931_release_complete, 1);
    user("a", 9, q931_disconnect, 1, normal_clearing);
    network("a", 10, q931_release_complete, 1);
    /* A call that starts as another ends counts with it. */
    user("a", 10, q931_setup, 3);
    network("a", 20, q931_disconnect, 2, user_busy);
    user("a", 20, q931_release_complete, 2);

    /* Port a: 10 + 15 s, and 10 s of the call still up, over 20 s. */
    expect_rows({
        "a: 3 1 50.0 100.0 8.000 1.000 3 10.000 1.750",
        "b: 1 0 0.0 0.0 - - 1 6.000 1.000",
        "all ports: 4 1 33.3 66.7 8.000 1.000 3 6.000 1.850",
    });
}

TEST_F(CallKpis, NothingToShow)
{
    expect_rows({"all ports: 0 0 - - - - 0 - -"});
    /* One frame: no time to count traffic over. */
    user("p", 3, q931_setup, 1);
    expect_rows({
        "p: 1 0 - - - - 1 3.000 -",
        "all ports: 1 0 - - - - 1 3.000 -",
    });
}

/* Calls start, end, move their end and go, in any order: the peak is
 * always what counting at every start gives. */
TEST(PeakTimeline, AgreesWithCountingAtEveryStart)
{
    const int64_t up = INT64_MAX;
    std::pmr::unsynchronized_pool_resource memory;
    peak_timeline timeline(&memory);
    std::vector<std::pair<int64_t, int64_t>> calls(40, {-1, -1});  /* start, end; start -1: absent */
    uint32_t random = 12345;
    auto next = [&random](uint32_t range) {
        random = random * 1103515245 + 12345;
        return (random >> 8) % range;
    };
    for (int step = 0; step < 2000; step++) {
        uint32_t id = next(40);
        auto &[start, end] = calls[id];
        if (start >= 0) {
            timeline.erase(start, id, false);
            if (end != up)
                timeline.erase(end, id, true);
        }
        start = next(4) == 0 ? -1 : next(100);
        end = next(3) == 0 ? up : start + next(30);
        if (start >= 0) {
            timeline.insert(start, id, false);
            if (end != up)
                timeline.insert(end, id, true);
        }

        uint32_t peak = 0;
        int64_t peak_time = 0;
        for (const auto &at : calls) {
            if (at.first < 0)
                continue;
            uint32_t count = 0;
            for (const auto &other : calls)
                count += other.first >= 0 && other.first <= at.first && at.first <= other.second;
            if (count > peak || (count == peak && at.first < peak_time)) {
                peak = count;
                peak_time = at.first;
            }
        }
        ASSERT_EQ(timeline.peak(), peak) << "step " << step;
        if (peak) {
            ASSERT_EQ(timeline.peak_time(), peak_time) << "step " << step;
        }
    }
}

TEST(FormatFixed, PointsAndSigns)
{
    char text[24];
    format_fixed(text, 1234, 3);
    EXPECT_STREQ(text, "1.234");
    format_fixed(text, 5, 3);
    EXPECT_STREQ(text, "0.005");
    format_fixed(text, -1500, 3);
    EXPECT_STREQ(text, "-1.500");
    format_fixed(text, 1000, 1);
    EXPECT_STREQ(text, "100.0");
    format_fixed(text, INT64_MIN, 3);
    EXPECT_STREQ(text, "-9223372036854775.808");
    format_fixed(text, std::nullopt, 3);
    EXPECT_STREQ(text, "-");
}

} // namespace
