/* dissector_test.cpp
 * The dissector inside the real host library: registration, items,
 * columns, hand-off and malformed PDUs, with and without a tree.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/proto.h>
#include <epan/tap.h>

#include "host_session.h"
#include "packet-morvastelle.h"

namespace {

typedef std::vector<guint8> bytes;

bytes
hex(const char *text)
{
    bytes out;
    for (const char *p = text; p[0] && p[1];) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        out.push_back(static_cast<guint8>(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return out;
}

bytes
lapd_pdu(const std::string &port, const bytes &frame)
{
    bytes pdu;
    pdu.push_back(0);
    pdu.push_back(static_cast<guint8>(port.size()));
    for (char c : port)
        pdu.push_back(static_cast<guint8>(c));
    pdu.insert(pdu.end(), frame.begin(), frame.end());
    return pdu;
}

/* SAPI 0, TEI 64, I-frame, Q.931 SETUP with a bearer capability. */
const bytes setup_frame = hex("0081 0000 0801 0105 0403 8090a2");

/* Offset of the payload within an Exported PDU record naming `name`. */
int
header_length(const char *name)
{
    return 8 + static_cast<int>(strlen(name));
}

std::vector<shown_field>
fields_of(const bytes &pdu, const char *dissector = "morvastelle")
{
    host_dissection d(exported_pdu_record(dissector, pdu.data(), pdu.size()));
    return shown_fields(d.tree());
}

const shown_field *
find_field(const std::vector<shown_field> &fields, const std::string &abbrev)
{
    for (const shown_field &f : fields)
        if (f.abbrev == abbrev)
            return &f;
    return nullptr;
}

std::vector<std::string>
top_level_protocols(const std::vector<shown_field> &fields)
{
    std::vector<std::string> names;
    for (const shown_field &f : fields)
        if (f.depth == 0 && f.abbrev != "frame" && f.abbrev != "exported_pdu" &&
            f.abbrev != "_ws.col" /* newer hosts show the columns as fields */)
            names.push_back(f.abbrev);
    return names;
}

class MorvastelleDissector : public ::testing::Test {
protected:
    static void SetUpTestSuite() { host_start(); }
    const int H = header_length("morvastelle");
};

TEST_F(MorvastelleDissector, RegistersProtocolFieldsAndNamedDissector)
{
    int proto = proto_get_id_by_filter_name("morvastelle");
    ASSERT_NE(proto, -1);
    EXPECT_STREQ(proto_get_protocol_name(proto), "MORVASTELLE Protocol");
    EXPECT_STREQ(proto_get_protocol_short_name(find_protocol_by_id(proto)), "MORVASTELLE");

    std::vector<std::string> fields;
    void *cookie = nullptr;
    for (header_field_info *hfi = proto_get_first_protocol_field(proto, &cookie); hfi;
         hfi = proto_get_next_protocol_field(proto, &cookie)) {
        if (hfi->same_name_prev_id == -1)
            fields.push_back(std::string(hfi->abbrev) + " " + hfi->name + " " + ftype_name(hfi->type) +
                             " " + (hfi->blurb ? hfi->blurb : ""));
    }
    EXPECT_EQ(fields, (std::vector<std::string>{
                          "morvastelle.data Data FT_NONE MORVASTELLE PDU",
                          "morvastelle.type Type FT_UINT8 Package Type",
                          "morvastelle.isdn_port ISDN-Port FT_STRING ISDN Port",
                      }));

    dissector_handle_t named = find_dissector("morvastelle");
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(dissector_handle_get_protocol_index(named), proto);
}

void
count_our_ports(const gchar *, ftenum_t, gpointer key, gpointer value, gpointer user_data)
{
    dtbl_entry_t *entry = static_cast<dtbl_entry_t *>(value);
    dissector_handle_t handle = dtbl_entry_get_handle(entry);
    if (handle && dissector_handle_get_protocol_index(handle) == proto_get_id_by_filter_name("morvastelle"))
        static_cast<std::vector<guint> *>(user_data)->push_back(GPOINTER_TO_UINT(key));
}

TEST_F(MorvastelleDissector, BindsUdpPortFourOnlyAndOnce)
{
    std::vector<guint> ports;
    dissector_table_foreach("udp.port", count_our_ports, &ports);
    EXPECT_EQ(ports, std::vector<guint>{4});

    proto_reg_handoff_morvastelle();
    ports.clear();
    dissector_table_foreach("udp.port", count_our_ports, &ports);
    EXPECT_EQ(ports, std::vector<guint>{4});
}

TEST_F(MorvastelleDissector, ShowsHeaderAndHandsFrameToLapdBesideIt)
{
    std::vector<shown_field> fields = fields_of(lapd_pdu("isdn0", setup_frame));
    bytes pdu = lapd_pdu("isdn0", setup_frame);

    const shown_field *proto = find_field(fields, "morvastelle");
    ASSERT_NE(proto, nullptr);
    EXPECT_EQ(proto->depth, 0);
    EXPECT_EQ(proto->start, H);
    EXPECT_EQ(proto->length, static_cast<int>(pdu.size()));

    const shown_field *type = find_field(fields, "morvastelle.type");
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->depth, 1);
    EXPECT_EQ(type->start, H);
    EXPECT_EQ(type->length, 1);
    EXPECT_EQ(type->label, "Type: LAPD (0)");

    const shown_field *port = find_field(fields, "morvastelle.isdn_port");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->depth, 1);
    EXPECT_EQ(port->start, H + 2);
    EXPECT_EQ(port->length, 5);
    EXPECT_EQ(port->value, "\"isdn0\"");
    EXPECT_EQ(port->label, "ISDN-Port: isdn0");

    /* The call layer's item follows Q.931 at the top level. */
    EXPECT_EQ(top_level_protocols(fields), (std::vector<std::string>{"morvastelle", "lapd", "q931", "morvastelle_call"}));
    EXPECT_EQ(find_field(fields, "lapd")->start, H + 7);
    EXPECT_EQ(find_field(fields, "q931.message_type")->value, "5");
    EXPECT_EQ(find_field(fields, "_ws.malformed"), nullptr);
}

TEST_F(MorvastelleDissector, TunnelledFrameDecodesAsTheSameFrameAlone)
{
    std::vector<shown_field> tunnelled = fields_of(lapd_pdu("BRI-3/0", setup_frame));
    std::vector<shown_field> alone = fields_of(setup_frame, "lapd");

    auto below_lapd = [](const std::vector<shown_field> &fields, int base) {
        std::vector<std::string> out;
        for (const shown_field &f : fields)
            if (f.abbrev.rfind("lapd", 0) == 0 || f.abbrev.rfind("q931", 0) == 0)
                out.push_back(f.abbrev + "@" + std::to_string(f.start - base) + "+" +
                              std::to_string(f.length) + "=" + f.value);
        return out;
    };
    std::vector<std::string> expected = below_lapd(alone, header_length("lapd"));
    EXPECT_GT(expected.size(), 5u);
    EXPECT_EQ(below_lapd(tunnelled, H + 9), expected);
}

TEST_F(MorvastelleDissector, EmptyPortNameAndEmptyFrame)
{
    std::vector<shown_field> fields = fields_of(lapd_pdu("", setup_frame));
    const shown_field *port = find_field(fields, "morvastelle.isdn_port");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->length, 0);
    EXPECT_EQ(port->value, "\"\"");
    EXPECT_EQ(find_field(fields, "lapd")->start, H + 2);

    /* Exactly 2 + L octets: LAPD still gets the (empty) frame, and it is
     * LAPD, not MORVASTELLE, that finds it short. */
    fields = fields_of(hex("0003 616263"));
    EXPECT_EQ(find_field(fields, "morvastelle.isdn_port")->value, "\"abc\"");
    const shown_field *malformed = find_field(fields, "_ws.malformed");
    ASSERT_NE(malformed, nullptr);
    EXPECT_NE(malformed->label.find("LAPD"), std::string::npos) << malformed->label;
}

TEST_F(MorvastelleDissector, OtherTypesGoToData)
{
    std::vector<shown_field> fields = fields_of(hex("01 deadbeef"));
    EXPECT_EQ(find_field(fields, "morvastelle.type")->label, "Type: UNKNOWN (1)");
    EXPECT_EQ(find_field(fields, "morvastelle.isdn_port"), nullptr);
    EXPECT_EQ(top_level_protocols(fields), (std::vector<std::string>{"morvastelle", "data"}));
    EXPECT_EQ(find_field(fields, "data")->start, H + 1);
    EXPECT_EQ(find_field(fields, "data")->length, 4);

    for (int type : {2, 42, 255}) {
        fields = fields_of(bytes{static_cast<guint8>(type), 0x00, 0x05});
        EXPECT_EQ(find_field(fields, "morvastelle.type")->label,
                  "Type: Unknown (" + std::to_string(type) + ")");
        EXPECT_EQ(find_field(fields, "morvastelle.isdn_port"), nullptr);
        EXPECT_EQ(find_field(fields, "data")->length, 2);
    }

    /* A Type-1 PDU of one octet hands an empty payload on, which is no error. */
    fields = fields_of(hex("01"));
    EXPECT_EQ(find_field(fields, "_ws.malformed"), nullptr);
}

TEST_F(MorvastelleDissector, ColumnsWithAndWithoutTree)
{
    for (bool tree : {true, false}) {
        SCOPED_TRACE(tree ? "with tree" : "without tree");
        host_dissection::options opts;
        opts.tree = tree;

        bytes other = hex("2a 0102");
        host_dissection d(exported_pdu_record("morvastelle", other.data(), other.size()), opts);
        EXPECT_EQ(d.column(COL_PROTOCOL), "MORVASTELLE");
        EXPECT_EQ(d.column(COL_INFO), "");

        /* The tunnelled protocols write the columns on every pass. */
        bytes setup = lapd_pdu("isdn0", setup_frame);
        host_dissection s(exported_pdu_record("morvastelle", setup.data(), setup.size()), opts);
        EXPECT_EQ(s.column(COL_PROTOCOL), "Q.931");
        EXPECT_NE(s.column(COL_INFO).find("SETUP"), std::string::npos) << s.column(COL_INFO);
    }
}

TEST_F(MorvastelleDissector, ShortPdusAreMalformedWithAndWithoutTree)
{
    const bytes short_pdus[] = {
        {},
        hex("00"),
        hex("0008 697364"),
        hex("00ff") ,
    };
    for (const bytes &pdu : short_pdus) {
        for (bool tree : {true, false}) {
            SCOPED_TRACE(testing::Message() << pdu.size() << " octets, " << (tree ? "tree" : "no tree"));
            host_dissection::options opts;
            opts.tree = tree;
            host_dissection d(exported_pdu_record("morvastelle", pdu.data(), pdu.size()), opts);
            EXPECT_EQ(d.column(COL_PROTOCOL), "MORVASTELLE") << "nothing may be handed on";
            EXPECT_NE(d.column(COL_INFO).find("Malformed Packet"), std::string::npos) << d.column(COL_INFO);
            if (tree) {
                std::vector<shown_field> fields = shown_fields(d.tree());
                EXPECT_EQ(top_level_protocols(fields).front(), "morvastelle");
                EXPECT_EQ(find_field(fields, "lapd"), nullptr);
                EXPECT_NE(find_field(fields, "_ws.malformed"), nullptr);
            }
        }
    }
}

TEST_F(MorvastelleDissector, PrimedFieldsInAnInvisibleTree)
{
    host_dissection::options opts;
    opts.visible = false;
    opts.primed_fields = {"morvastelle.isdn_port", "q931.message_type"};
    bytes pdu = lapd_pdu("isdn7", setup_frame);
    host_dissection d(exported_pdu_record("morvastelle", pdu.data(), pdu.size()), opts);

    std::vector<shown_field> fields = shown_fields(d.tree());
    ASSERT_NE(find_field(fields, "morvastelle.isdn_port"), nullptr);
    EXPECT_EQ(find_field(fields, "morvastelle.isdn_port")->value, "\"isdn7\"");
    ASSERT_NE(find_field(fields, "q931.message_type"), nullptr);
    EXPECT_EQ(find_field(fields, "q931.message_type")->value, "5");
}

TEST_F(MorvastelleDissector, PortNameIsArbitraryOctets)
{
    bytes name = {'a', 0x00, 'b', 0xff, '\n'};
    bytes pdu = lapd_pdu(std::string(name.begin(), name.end()), setup_frame);
    std::vector<shown_field> fields = fields_of(pdu);
    const shown_field *port = find_field(fields, "morvastelle.isdn_port");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->length, 5);
    EXPECT_EQ(find_field(fields, "lapd")->start, H + 7);
    EXPECT_EQ(find_field(fields, "_ws.malformed"), nullptr);

    /* L = 255, the largest header there is. */
    pdu = lapd_pdu(std::string(255, 'x'), setup_frame);
    fields = fields_of(pdu);
    EXPECT_EQ(find_field(fields, "morvastelle.isdn_port")->length, 255);
    EXPECT_EQ(find_field(fields, "lapd")->start, H + 257);
}

/* "call/repeated frame" of a frame, from the call layer's fields. */
std::string
call_of(proto_tree *tree)
{
    std::vector<shown_field> fields = shown_fields(tree);
    const shown_field *id = find_field(fields, "morvastelle_call.id");
    const shown_field *repeated = find_field(fields, "morvastelle_call.retransmission_of");
    return (id ? id->value : "-") + "/" + (repeated ? repeated->value : "0");
}

/* A file's calls are those its first pass found, whichever pass shows them
 * and whether or not that pass had the host's decoding of the numbers
 * (tshark -2 runs no taps on its first). */
TEST_F(MorvastelleDissector, EveryPassShowsTheCallsOfTheFirst)
{
    const bytes frames[] = {
        lapd_pdu("isdn0", hex("0081 0000 0801 0105 0403 8090a2 7002 8131")),
        /* Another SETUP on the reference: a new call. */
        lapd_pdu("isdn0", hex("0081 0200 0801 0105 0403 8090a2 7002 8132")),
        /* Unanswered, sent again: the same call. */
        lapd_pdu("isdn0", hex("0081 0400 0801 0105 0403 8090a2 7002 8132")),
        /* That I-frame again. */
        lapd_pdu("isdn0", hex("0081 0400 0801 0105 0403 8090a2 7002 8132")),
        lapd_pdu("isdn0", hex("0281 0006 0801 8107")),
    };
    const std::vector<std::string> expected = {"1/0", "2/0", "2/0", "2/3", "2/0"};

    host_dissection::options first;
    first.visible = false;
    first.primed_fields = {"morvastelle_call.id", "morvastelle_call.retransmission_of"};
    host_dissection::options later;
    later.taps = true;
    for (const host_dissection::options *passes : {&first, &later}) {
        SCOPED_TRACE(passes == &first ? "first pass without taps" : "first pass with taps");
        host_file file;
        for (const bytes &pdu : frames)
            file.add(exported_pdu_record("morvastelle", pdu.data(), pdu.size()));
        const host_dissection::options *readings[] = {passes, &later, &later};
        for (const host_dissection::options *opts : readings) {
            std::vector<std::string> calls;
            for (size_t i = 0; i < file.frames(); i++) {
                host_dissection d(file, i, *opts);
                calls.push_back(call_of(d.tree()));
            }
            EXPECT_EQ(calls, expected);
        }
    }
}

tap_packet_status
collect_expert_info(void *tapdata, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    const expert_info_t *info = static_cast<const expert_info_t *>(data);
    static_cast<std::vector<std::string> *>(tapdata)->push_back(std::to_string(info->packet_num) + " " +
                                                                 info->protocol + ": " + info->summary);
    return TAP_PACKET_DONT_REDRAW;
}

/* What went wrong reaches the host's expert tap from every pass, with or
 * without a tree: tshark's one pass, its second, the GUI's retap. Each
 * finding names the analysis layer it comes from. */
TEST_F(MorvastelleDissector, FindingsReachTheExpertTapFromEveryPass)
{
    const bytes frames[] = {
        lapd_pdu("isdn0", hex("0081 0000 0801 0105 0403 8090a2")),
        /* N(S) 1 is missing. */
        lapd_pdu("isdn0", hex("0081 0400 0801 017b")),
        /* A call whose SETUP the capture lacks. */
        lapd_pdu("isdn0", hex("0281 0006 0801 8207")),
        /* A SETUP without a called number, whose Date/time Q.931 finds
         * too short: the layer's look for Keypad digits reports nothing. */
        lapd_pdu("isdn0", hex("0081 0600 0801 0305 0403 8090a2 2902 9999")),
    };
    const std::vector<std::string> expected = {
        "2 MORVASTELLE Link: I-frames of the data link are missing from the capture",
        "3 MORVASTELLE Call: The capture lacks the call's SETUP",
        "4 Q.931: Date/time: length is 2, should be 5 or 6",
    };
    std::vector<std::string> records;
    GString *error = register_tap_listener("expert", &records, NULL, TL_REQUIRES_NOTHING, NULL,
                                           collect_expert_info, NULL, NULL);
    ASSERT_EQ(error, nullptr) << error->str;

    host_dissection::options quiet;
    quiet.tree = false;
    host_dissection::options tapped = quiet;
    tapped.taps = true;
    for (const host_dissection::options *first : {&quiet, &tapped}) {
        host_file file;
        for (const bytes &pdu : frames)
            file.add(exported_pdu_record("morvastelle", pdu.data(), pdu.size()));
        SCOPED_TRACE(first == &quiet ? "first pass without taps" : "first pass with taps");
        const host_dissection::options *passes[] = {first, &tapped};
        for (const host_dissection::options *opts : passes) {
            records.clear();
            for (size_t i = 0; i < file.frames(); i++)
                host_dissection d(file, i, *opts);
            if (opts->taps) {
                EXPECT_EQ(records, expected);
            }
        }
    }
    remove_tap_listener(&records);
}

} // namespace
