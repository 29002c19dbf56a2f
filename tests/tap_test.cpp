/* tap_test.cpp
 * The "morvastelle" tap inside the real host library: one record per PDU,
 * whole or not, with and without a tree.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <epan/packet.h>
#include <epan/tap.h>

#include "host_session.h"
#include "packet-morvastelle.h"

namespace {

typedef std::vector<guint8> bytes;

/* A record copied out of packet scope, in one comparable line. */
std::string
describe(const morvastelle_tap_info *info)
{
    std::string out = "type=" + std::to_string(info->type) + " len=" + std::to_string(info->pdu_length) +
                      (info->header_whole ? " whole" : " short");
    if (info->isdn_port)
        out += " port=\"" + std::string(info->isdn_port) + "\"";
    if (info->lapd.control >= 0) {
        out += " control=" + std::to_string(info->lapd.control) + " sapi=" + std::to_string(info->lapd.sapi) +
               (info->lapd.cr ? " cr=1" : " cr=0") + " tei=" + std::to_string(info->lapd.tei);
    }
    if (info->lapd.call_ref_length >= 0) {
        out += " ref=" + std::string(info->lapd.call_ref_flag ? "1:" : "0:");
        for (int i = 0; i < info->lapd.call_ref_length; i++)
            out += std::to_string(info->lapd.call_ref[i]) + ".";
    }
    if (info->lapd.message_type >= 0)
        out += " message=" + std::to_string(info->lapd.message_type) + "@" +
               std::to_string(info->lapd.information_elements);
    return out;
}

tap_packet_status
collect_record(void *tapdata, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    static_cast<std::vector<std::string> *>(tapdata)->push_back(
        describe(static_cast<const morvastelle_tap_info *>(data)));
    return TAP_PACKET_DONT_REDRAW;
}

class MorvastelleTap : public ::testing::Test {
protected:
    static void SetUpTestSuite() { host_start(); }

    void SetUp() override
    {
        GString *error = register_tap_listener("morvastelle", &records_, NULL, TL_REQUIRES_NOTHING,
                                               NULL, collect_record, NULL, NULL);
        ASSERT_EQ(error, nullptr) << error->str;
    }
    void TearDown() override { remove_tap_listener(&records_); }

    std::vector<std::string> records_;
};

TEST_F(MorvastelleTap, SeesEveryPduWholeOrNotWithAndWithoutTree)
{
    const bytes pdus[] = {
        {0x00, 0x05, 'i', 's', 'd', 'n', '0', 0x00, 0x81, 0x00, 0x00, 0x08},  /* I-frame */
        {0x00, 0x02, 'p', '1', 0x00, 0x81, 0x01},                             /* S-frame */
        {0x00, 0x00, 0x02, 0x7f, 0x7f},                                       /* U-frame, no name */
        {0x00, 0x02, 'p', '2', 0x00, 0x81},                                   /* no control octet */
        {0x00, 0x02, 'p', '3'},                                               /* no frame at all */
        {0x01, 0xde, 0xad},
        {0x2a},
        {0x00, 0x08, 'i', 's', 'd'},                                          /* name cut short */
        {0x00},
        {},
    };
    const std::vector<std::string> expected = {
        "type=0 len=12 whole port=\"isdn0\" control=0 sapi=0 cr=0 tei=64",
        "type=0 len=7 whole port=\"p1\" control=1 sapi=0 cr=0 tei=64",
        "type=0 len=5 whole port=\"\" control=127 sapi=0 cr=1 tei=63",
        "type=0 len=6 whole port=\"p2\"",
        "type=0 len=4 whole port=\"p3\"",
        "type=1 len=3 whole",
        "type=42 len=1 whole",
        "type=0 len=5 short port=\"isd\"",
        "type=0 len=1 short port=\"\"",
        "type=0 len=0 short port=\"\"",
    };

    for (bool tree : {false, true}) {
        SCOPED_TRACE(tree ? "with tree" : "without tree");
        records_.clear();
        host_dissection::options opts;
        opts.tree = tree;
        opts.taps = true;
        for (size_t i = 0; i < expected.size(); i++) {
            host_dissection d(exported_pdu_record("morvastelle", pdus[i].data(), pdus[i].size()), opts);
            /* Counting a short PDU must not stop it being flagged. */
            if (expected[i].find(" short") != std::string::npos) {
                EXPECT_NE(d.column(COL_INFO).find("Malformed Packet"), std::string::npos) << expected[i];
            }
        }
        EXPECT_EQ(records_, expected);
    }
}

TEST_F(MorvastelleTap, KeepsPortNameOctetsAsText)
{
    bytes pdu = {0x00, 0x04, 'a', '"', '\n', 0xff, 0x00, 0x81, 0x73};
    host_dissection::options opts;
    opts.tree = false;
    opts.taps = true;
    host_dissection d(exported_pdu_record("morvastelle", pdu.data(), pdu.size()), opts);
    /* ASCII text as the packet tree has it: a byte past 0x7f is not ASCII. */
    EXPECT_EQ(records_, std::vector<std::string>{"type=0 len=9 whole port=\"a\"\n\xef\xbf\xbd\" control=115 sapi=0 cr=0 tei=64"});
}

TEST_F(MorvastelleTap, CarriesTheCallReferenceAndMessageTypeOfQ931Frames)
{
    const bytes pdus[] = {
        /* I-frame from the network, 1-octet reference with the flag. */
        {0x00, 0x01, 'p', 0x02, 0x81, 0x04, 0x02, 0x08, 0x01, 0x81, 0x07},
        /* Broadcast UI-frame, 2-octet reference. */
        {0x00, 0x01, 'p', 0x02, 0xff, 0x03, 0x08, 0x02, 0x00, 0x05, 0x05},
        /* The same with the P bit set: the host's LAPD hands it to no
         * Q.931, so it carries no message. */
        {0x00, 0x01, 'p', 0x02, 0xff, 0x13, 0x08, 0x02, 0x00, 0x05, 0x05},
        /* The dummy reference. */
        {0x00, 0x01, 'p', 0x00, 0x81, 0x00, 0x00, 0x08, 0x00, 0x62},
        /* The message type was not captured. */
        {0x00, 0x01, 'p', 0x00, 0x81, 0x00, 0x00, 0x08, 0x01, 0x01},
        /* The reference claims 3 octets, 2 are there. */
        {0x00, 0x01, 'p', 0x00, 0x81, 0x00, 0x00, 0x08, 0x03, 0x01, 0x02},
        /* Not call control: SAPI 63. */
        {0x00, 0x01, 'p', 0xfc, 0x81, 0x03, 0x0f, 0x01, 0x01},
    };
    const std::vector<std::string> expected = {
        "type=0 len=11 whole port=\"p\" control=4 sapi=0 cr=1 tei=64 ref=1:1. message=7@11",
        "type=0 len=11 whole port=\"p\" control=3 sapi=0 cr=1 tei=127 ref=0:0.5. message=5@11",
        "type=0 len=11 whole port=\"p\" control=19 sapi=0 cr=1 tei=127",
        "type=0 len=10 whole port=\"p\" control=0 sapi=0 cr=0 tei=64 ref=0: message=98@10",
        "type=0 len=10 whole port=\"p\" control=0 sapi=0 cr=0 tei=64 ref=0:1.",
        "type=0 len=11 whole port=\"p\" control=0 sapi=0 cr=0 tei=64",
        "type=0 len=9 whole port=\"p\" control=3 sapi=63 cr=0 tei=64",
    };
    host_dissection::options opts;
    opts.tree = false;
    opts.taps = true;
    for (const bytes &pdu : pdus)
        host_dissection d(exported_pdu_record("morvastelle", pdu.data(), pdu.size()), opts);
    EXPECT_EQ(records_, expected);
}

} // namespace
