/* capture_analysis_test.cpp
 * The file's analysis on its own: ports told apart by gateway, and the one
 * ingest that hands the call tracker the link's verdict on each frame.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture-analysis.h"

namespace {

using namespace morvastelle;

const bool user = false;
const bool network = true;
const int ipv4 = 2;

network_address
ip(const uint8_t (&octets)[4])
{
    return network_address{ipv4, octets, 4};
}

const uint8_t gateway_a[4] = {192, 0, 2, 1}, gateway_b[4] = {192, 0, 2, 2}, collector[4] = {198, 51, 100, 1};

TEST(PortRegistry, APortIsANameOfOneGateway)
{
    port_registry ports;
    uint32_t a = ports.gateway_of(ip(gateway_a), ip(collector));
    /* Either way round, and from a copy of the addresses: one gateway. */
    uint8_t copy[4] = {192, 0, 2, 1};
    EXPECT_EQ(ports.gateway_of(ip(collector), ip(copy)), a);
    uint32_t b = ports.gateway_of(ip(gateway_b), ip(collector));
    uint32_t none = ports.gateway_of({}, {});
    EXPECT_NE(a, b);
    EXPECT_EQ(ports.gateway_of({}, {}), none);
    EXPECT_EQ(ports.gateway(b).address().octets[3], 2);
    EXPECT_EQ(ports.gateway(ports.gateway_of(ip(collector), ip(gateway_b))).address().octets[3], 2);

    uint32_t isdn0 = ports.port_of(a, "isdn0");
    EXPECT_FALSE(ports.name_shared(isdn0));
    EXPECT_NE(ports.port_of(b, "isdn0"), isdn0);
    EXPECT_TRUE(ports.name_shared(isdn0));
    EXPECT_EQ(ports.port_of(a, "isdn0"), isdn0);
    EXPECT_EQ(ports.port_of(none, "isdn0"), 2u);
    EXPECT_EQ(ports.names_shared().size(), 1u);

    /* Enough names to grow the tables several times, names that are
     * prefixes of others or differ in one middle octet: each its own. */
    std::vector<std::string> names;
    for (size_t length = 1; length <= 40; length++)
        names.push_back(std::string("bri-0/slot-03/port-17/s0-trunk-b/line-07").substr(0, length));
    for (int slot = 0; slot < 100; slot++)
        names.push_back("bri-0/slot-" + std::to_string(slot) + "/port-17/s0-trunk-a");
    std::vector<uint32_t> indexes;
    for (const std::string &name : names)
        indexes.push_back(ports.port_of(b, name));
    for (size_t i = names.size(); i-- > 0;)
        EXPECT_EQ(ports.name(ports.port_of(b, names[i])), names[i]);
    EXPECT_EQ(ports.ports(), 3 + names.size());
}

class CaptureAnalysis : public ::testing::Test {
protected:
    /* A Q.931 message in an I-frame (N(S) >= 0) or a UI-frame on SAPI 0; a
     * frame by its C/R bit: 0 for the user's commands and the network's
     * responses. */
    frame_result message(bool from, int ns, int nr, uint8_t type, uint8_t ref, std::vector<uint8_t> ies = {},
                         const uint8_t *gateway = gateway_a, uint8_t discriminator = q931_discriminator)
    {
        bool flag = ref & 0x80;
        std::vector<uint8_t> q931 = {discriminator, 1, ref, type};
        q931.insert(q931.end(), ies.begin(), ies.end());
        return frame(from, 0, ns < 0 ? 0x03 : ns << 1, ns < 0 ? -1 : nr << 1, q931, gateway, flag);
    }
    frame_result frame(bool cr, uint8_t sapi, unsigned control, int control2, std::vector<uint8_t> information = {},
                       const uint8_t *gateway = gateway_a, bool flag = false)
    {
        analysed_frame f;
        f.number = ++number_;
        f.time = number_;
        f.source = network_address{ipv4, gateway, 4};
        f.destination = ip(collector);
        f.port_name = "isdn0";
        f.has_lapd = true;
        const std::vector<uint8_t> &kept = kept_.emplace_back(std::move(information));
        f.lapd = {f.number, 0, sapi, 64, cr, static_cast<uint8_t>(control), control2, kept.data(), kept.size()};
        if (sapi == 0 && (control & 1) == 0 && kept.size() >= 4) {
            f.has_message = true;
            f.protocol_discriminator = kept[0];
            call_message &m = f.message;
            m.frame = f.number;
            m.time = f.time;
            m.from_network = cr;
            m.tei = 64;
            m.call_ref_length = 1;
            m.call_ref[0] = kept[2] & 0x7f;
            m.call_ref_flag = flag;
            m.message_type = kept[3];
            m.elements = {kept.data() + 4, kept.size() - 4};
            if (control2 >= 0) {
                m.send_sequence = static_cast<int>(control >> 1);
                m.receive_sequence = control2 >> 1;
            }
        }
        return analysis_.add(f);
    }
    /* "call findings" of a frame's record, "-" for none. */
    static std::string seen(const frame_result &result)
    {
        if (!result.record)
            return "-";
        return std::to_string(result.record->call) + " " + std::to_string(result.record->call_findings) + " " +
               std::to_string(result.record->link_findings);
    }

    capture_analysis analysis_{std::pmr::get_default_resource()};
    std::deque<std::vector<uint8_t>> kept_;
    uint32_t number_ = 0;
};

TEST_F(CaptureAnalysis, GoBackNRepeatsJoinTheirFramesAndChangeNothing)
{
    const std::vector<uint8_t> digits = {0x70, 0x03, 0x81, '1', '2'};
    message(user, 0, 0, q931_setup, 1);
    message(user, 1, 0, q931_information, 1, digits);
    frame(user, 0, 0x09, 0);                                  /* the network's REJ: both again */
    EXPECT_EQ(seen(message(user, 0, 0, q931_setup, 1)), "1 0 2");
    EXPECT_EQ(seen(message(user, 1, 0, q931_information, 1, digits)), "1 0 2");
    message(network, 0, 2, q931_call_proceeding, 0x81);
    message(network, 1, 2, q931_alerting, 0x81);
    frame(network, 0, 0x09, 1 << 1);                          /* the user's REJ, from N(S) 1 */
    EXPECT_EQ(seen(message(network, 1, 2, q931_alerting, 0x81)), "1 0 2");
    /* Its twin: a CALL PROCEEDING in a new frame after ALERTING. */
    EXPECT_EQ(seen(message(network, 2, 2, q931_call_proceeding, 0x81)), "1 1 0");
    const call &c = analysis_.calls.calls()[0];
    EXPECT_EQ(c.frames, 5u);
    EXPECT_EQ(c.called_number, "");  /* no host decoding here: only the octets */
    EXPECT_EQ(analysis_.calls.calls().size(), 1u);
}

TEST_F(CaptureAnalysis, OnlyQ931OnSapiZeroMakesCalls)
{
    /* North American maintenance shares CONNECT's type; a national
     * discriminator, SETUP's. */
    EXPECT_EQ(seen(message(network, 0, 0, 0x07, 1, {}, gateway_a, 0x03)), "-");
    EXPECT_EQ(seen(message(network, 1, 0, q931_setup, 2, {}, gateway_a, 0x40)), "-");
    EXPECT_EQ(seen(message(user, 0, 2, q931_setup, 3)), "1 0 0");
    /* X.25 on SAPI 16: its link set up again leaves SAPI 0 and its call be. */
    frame(user, 16, 0x7f, -1);
    frame(user, 16, 0x73, -1);
    frame(user, 16, 0x7f, -1);
    EXPECT_EQ(seen(message(user, 1, 2, q931_information, 3)), "1 0 0");
    /* Its twin on SAPI 0 with the call up. */
    frame(network, 0, 0x7f, -1);
    EXPECT_EQ(analysis_.records.find_recorded(number_)->link_findings, link_reset);
}

TEST_F(CaptureAnalysis, GatewaysInStepKeepTheirCallsApart)
{
    for (const uint8_t *gateway : {gateway_a, gateway_b}) {
        message(user, 0, 0, q931_setup, 1, {}, gateway);
        message(network, 0, 1, q931_alerting, 0x81, {}, gateway);
    }
    for (const uint8_t *gateway : {gateway_a, gateway_b})
        EXPECT_EQ(seen(message(network, 1, 1, q931_connect, 0x81, {}, gateway)).substr(2), "0 0");
    ASSERT_EQ(analysis_.calls.calls().size(), 2u);
    EXPECT_NE(analysis_.calls.calls()[0].port, analysis_.calls.calls()[1].port);
    EXPECT_EQ(analysis_.calls.calls()[1].frames, 3u);
}

TEST_F(CaptureAnalysis, ARemovedTeiEndsItsCalls)
{
    message(user, 0, 0, q931_setup, 1);
    EXPECT_EQ(analysis_.calls.calls_up(0, 64), 1u);
    frame_result removal = frame(network, 63, 0x03, -1, {0x0f, 0, 0, 6, 64 << 1 | 1});
    EXPECT_EQ(removal.record->link_findings, link_tei_removed);
    ASSERT_EQ(removal.calls_changed->size(), 1u);
    EXPECT_EQ(removal.calls_changed->front(), 0u);
    EXPECT_EQ(analysis_.calls.calls_up(0, 64), 0u);
}

} // namespace
