/* tap_test.cpp
 * The "morvastelle" tap inside the real host library: one record per PDU,
 * whole or not, with and without a tree. The call layer's records on the
 * host's "voip" tap: what VoIP Calls and its Flow Sequence show.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <epan/packet.h>
#include <epan/stats_tree_priv.h>
#include <epan/tap-voip.h>
#include <epan/tap.h>
#include <epan/to_str.h>

#include "host_session.h"
#include "packet-morvastelle-call.h"
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

/* A VoIP Calls record in one comparable line: the row it goes to, what the
 * row shows, and the Flow Sequence's arrow. */
std::string
describe_voip(const packet_info *pinfo, const voip_packet_info_t *info)
{
    auto text = [](const char *s) { return std::string(s ? s : "(null)"); };
    char *src = address_to_str(NULL, &pinfo->src);
    char *dst = address_to_str(NULL, &pinfo->dst);
    std::string out = text(info->call_id) + " | " + text(info->from_identity) + " -> " +
                      text(info->to_identity) + " | state " + std::to_string(info->call_state) +
                      (info->call_active_state == VOIP_ACTIVE ? " active" : " inactive") + " | " +
                      text(info->call_comment) + " | " + src + " -> " + dst + ": " + text(info->frame_label) +
                      " (" + text(info->frame_comment) + ") #" + std::to_string(pinfo->num);
    wmem_free(NULL, src);
    wmem_free(NULL, dst);
    return out;
}

tap_packet_status
collect_voip_record(void *tapdata, packet_info *pinfo, epan_dissect_t *, const void *data, tap_flags_t)
{
    static_cast<std::vector<std::string> *>(tapdata)->push_back(
        describe_voip(pinfo, static_cast<const voip_packet_info_t *>(data)));
    return TAP_PACKET_DONT_REDRAW;
}

/* Every dissection here is a new frame of one long first pass: calls count
 * on from the other tests' in this process, so a test finds its own. */
class MorvastelleVoipTap : public ::testing::Test {
protected:
    static void SetUpTestSuite() { host_start(); }

    void SetUp() override
    {
        GString *error = register_tap_listener("voip", &records_, NULL, TL_REQUIRES_NOTHING,
                                               NULL, collect_voip_record, NULL, NULL);
        ASSERT_EQ(error, nullptr) << error->str;
    }
    void TearDown() override { remove_tap_listener(&records_); }

    void dissect(const std::string &port, const bytes &frame, const guint8 *gateway = nullptr)
    {
        bytes pdu = {0x00, static_cast<guint8>(port.size())};
        pdu.insert(pdu.end(), port.begin(), port.end());
        pdu.insert(pdu.end(), frame.begin(), frame.end());
        host_dissection::options opts;
        opts.tree = false;
        opts.taps = true;
        host_dissection d(exported_pdu_record("morvastelle", pdu.data(), pdu.size(), gateway), opts);
    }

    /* The row's name, "MORVASTELLE call N", of the last record. */
    std::string last_call_id() const
    {
        return records_.empty() ? "" : records_.back().substr(0, records_.back().find(" | "));
    }

    std::vector<std::string> records_;
};

/* A LAPD I-frame, TEI 64, with a Q.931 message on 2-octet call reference
 * `ref` (its top bit the flag), then `ies`. */
bytes
q931_frame(bool from_network, guint8 send_sequence, guint16 ref, guint8 message_type, const bytes &ies = {})
{
    bytes frame = {static_cast<guint8>(from_network ? 0x02 : 0x00), 0x81, static_cast<guint8>(send_sequence << 1),
                   0x00, 0x08, 0x02, static_cast<guint8>(ref >> 8), static_cast<guint8>(ref), message_type};
    frame.insert(frame.end(), ies.begin(), ies.end());
    return frame;
}

TEST_F(MorvastelleVoipTap, OneRowPerCallWithItsLadderBetweenThePortsSides)
{
    const bytes numbers = {0x04, 0x03, 0x80, 0x90, 0xa2,
                           0x6c, 0x08, 0x81, '5', '5', '5', '1', '0', '0', '0',
                           0x70, 0x08, 0x81, '5', '5', '5', '2', '0', '0', '0'};
    const bytes cause_16 = {0x08, 0x02, 0x80, 0x90};
    dissect("voip0", q931_frame(false, 0, 0x0123, 0x05, numbers));
    ASSERT_EQ(records_.size(), 1u);
    const std::string call = last_call_id();
    ASSERT_EQ(call.rfind("MORVASTELLE call ", 0), 0u) << records_[0];
    dissect("voip0", q931_frame(true, 0, 0x8123, 0x01));
    dissect("voip0", q931_frame(true, 0, 0x8123, 0x01));
    dissect("voip0", q931_frame(true, 1, 0x8123, 0x07));
    /* Another side's own call on the same port and reference. */
    dissect("voip0", q931_frame(true, 2, 0x0123, 0x05));
    dissect("voip0", q931_frame(false, 1, 0x0123, 0x45, cause_16));
    ASSERT_EQ(records_.size(), 6u);
    /* The frame numbers count on from the other tests'. */
    std::vector<std::string> arrows;
    for (std::string &record : records_) {
        std::string::size_type number = record.rfind(" #");
        arrows.push_back(record.substr(number + 2));
        record.erase(number);
    }
    const std::string alerting_frame = arrows[1];

    const std::string user = "voip0 user TEI 64", network = "voip0 network";
    const std::string comment = "voip0, call reference 0123 from the user, ";
    const std::string numbers_shown = " | 5551000 -> 5552000 | state ";
    EXPECT_EQ(records_[0], call + numbers_shown + std::to_string(VOIP_CALL_SETUP) + " active | " + comment +
                               "in progress, called 5552000 | " + user + " -> " + network +
                               ": SETUP (user to network, TEI 64)");
    EXPECT_EQ(records_[1], call + numbers_shown + std::to_string(VOIP_RINGING) + " active | " + comment +
                               "in progress, called 5552000 | " + network + " -> " + user +
                               ": ALERTING (network to user, TEI 64)");
    EXPECT_EQ(records_[2], call + numbers_shown + std::to_string(VOIP_RINGING) + " active | " + comment +
                               "in progress, called 5552000 | " + network + " -> " + user +
                               ": ALERTING (network to user, TEI 64, retransmission of frame " + alerting_frame + ")");
    EXPECT_EQ(records_[3], call + numbers_shown + std::to_string(VOIP_IN_CALL) + " active | " + comment +
                               "answered, called 5552000 | " + network + " -> " + user +
                               ": CONNECT (network to user, TEI 64)");
    EXPECT_NE(records_[4].substr(0, call.size() + 3), call + " | ") << records_[4];
    EXPECT_EQ(records_[5], call + numbers_shown + std::to_string(VOIP_COMPLETED) + " inactive | " + comment +
                               "answered, cause 16 Normal call clearing, called 5552000 | " + user + " -> " +
                               network + ": DISCONNECT (user to network, TEI 64)");
}

TEST_F(MorvastelleVoipTap, PortsOfANameTwoGatewaysSendAreNamedByTheirAddress)
{
    const guint8 first[4] = {192, 0, 2, 1}, second[4] = {192, 0, 2, 2};
    dissect("voip-fleet", q931_frame(false, 0, 0x0042, 0x05), first);
    dissect("voip-fleet", q931_frame(false, 0, 0x0042, 0x05), second);
    records_.clear();
    dissect("voip-fleet", q931_frame(true, 0, 0x8042, 0x01), first);
    ASSERT_EQ(records_.size(), 1u);
    EXPECT_NE(records_[0].find("| voip-fleet 192.0.2.1, call reference 0042 from the user, in progress"),
              std::string::npos) << records_[0];
    EXPECT_NE(records_[0].find("| voip-fleet 192.0.2.1 network -> voip-fleet 192.0.2.1 user TEI 64: ALERTING"),
              std::string::npos) << records_[0];
}

TEST_F(MorvastelleVoipTap, CallsPastTheListedOnesGoToOneRowThatCountsThem)
{
    /* Past the listed calls, each new one on the first pass recounts the
     * row; the rest of their messages queue nothing. */
    const std::string left_out = "MORVASTELLE calls left out | - -> - | state " + std::to_string(VOIP_NO_STATE) +
                                 " active | ";
    const std::string see_all = " not listed here: Telephony > MORVASTELLE Calls lists them all | ";
    guint16 ref = 1;
    std::string listed;
    for (guint32 i = 0; i <= voip_listed_calls && listed != "MORVASTELLE call " + std::to_string(voip_listed_calls);
         i++) {
        records_.clear();
        dissect("voip-many", q931_frame(false, 0, ref++, 0x05));
        ASSERT_EQ(records_.size(), 1u);
        listed = last_call_id();
    }
    ASSERT_EQ(listed, "MORVASTELLE call " + std::to_string(voip_listed_calls));

    records_.clear();
    dissect("voip-many", q931_frame(false, 0, ref, 0x05));
    dissect("voip-many", q931_frame(true, 0, ref++ | 0x8000, 0x01));
    dissect("voip-many", q931_frame(false, 0, ref++, 0x05));
    ASSERT_EQ(records_.size(), 2u);
    EXPECT_EQ(records_[0].substr(0, records_[0].rfind(" | ") + 3), left_out + "1 more MORVASTELLE call is" + see_all);
    EXPECT_EQ(records_[1].substr(0, records_[1].rfind(" | ") + 3), left_out + "2 more MORVASTELLE calls are" + see_all);
}

} // namespace

/* Every stats tree of the plugin in the Statistics menu's MORVASTELLE
 * submenu, under a title of its own, on every host: newer hosts name the
 * submenu separator, take anything else as part of the item's name, and
 * title the dialog with the whole path. */
static std::string
menu_path(const std::string &path, const std::string &separator)
{
    std::string shown;
    size_t start = 0;
    for (size_t end; (end = path.find(separator, start)) != std::string::npos; start = end + separator.size())
        shown += path.substr(start, end - start) + " > ";
    return shown + path.substr(start);
}

TEST(MorvastelleStatsTrees, SitInTheMorvastelleSubmenuWithPlainTitles)
{
    host_start();
    static tap_reg_t no_builtin_taps[] = {{NULL, NULL}};
    register_all_tap_listeners(no_builtin_taps);

    std::map<std::string, std::string> menu_items;
    GList *trees = stats_tree_get_cfg_list();
    for (GList *entry = trees; entry; entry = entry->next) {
        const stats_tree_cfg *cfg = static_cast<const stats_tree_cfg *>(entry->data);
        if (std::string(cfg->abbr).rfind("morvastelle.", 0) != 0)
            continue;
#ifdef STATS_TREE_MENU_SEPARATOR
        std::string item = menu_path(cfg->path, STATS_TREE_MENU_SEPARATOR);
        EXPECT_EQ(cfg->title, "MORVASTELLE / " + item.substr(item.rfind(" > ") + 3)) << cfg->abbr;
#else
        std::string item = menu_path(cfg->name, "/");
        gchar *title = stats_tree_get_displayname(cfg->name);
        EXPECT_EQ(title, item.substr(item.rfind(" > ") + 3)) << cfg->abbr;
        g_free(title);
#endif
        menu_items[cfg->abbr] = item;
    }
    g_list_free(trees);
    const std::map<std::string, std::string> expected = {
        {"morvastelle.anomalies", "MORVASTELLE > Anomalies"},
        {"morvastelle.outcomes", "MORVASTELLE > Call Outcomes"},
        {"morvastelle.ports", "MORVASTELLE > ISDN Ports"},
    };
    EXPECT_EQ(menu_items, expected);
}
