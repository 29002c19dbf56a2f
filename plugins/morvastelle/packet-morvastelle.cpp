/* packet-morvastelle.cpp
 * Dissector for MORVASTELLE: ISDN LAPD frames tunnelled in UDP, each
 * labelled with the name of the ISDN port it belongs to.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <epan/packet.h>
#include <epan/tap.h>
#include "host-version.h"
#include "packet-morvastelle.h"

/* Newer hosts deprecate the old accessor name; both read one octet. */
#if MORVASTELLE_HOST_AT_LEAST(4, 2)
#define morvastelle_get_octet tvb_get_uint8
#else
#define morvastelle_get_octet tvb_get_guint8
#endif

static int proto_morvastelle = -1;
static int morvastelle_tap = -1;

static int hf_morvastelle_data = -1;
static int hf_morvastelle_type = -1;
static int hf_morvastelle_isdn_port = -1;

static gint ett_morvastelle = -1;

static const guint32 morvastelle_udp_port = 4;

static dissector_handle_t data_handle;
static dissector_handle_t lapd_handle;
static dissector_handle_t morvastelle_handle;
/* NULL on a host built without LAPD. */
static protocol_t *lapd_protocol;
/* Whether it is enabled, as at the start of the file's dissection: the
 * host starts it again when that changes. */
static gboolean lapd_enabled;
static gboolean handoff_done = FALSE;

const value_string morvastelle_type_vals[] = {
    { MORVASTELLE_TYPE_LAPD, "LAPD" },
    { 1, "UNKNOWN" },
    { 0, NULL }
};

/*
 * The frame's address and, for the frames that carry Q.931 (I- and
 * UI-frames on SAPI 0), the message's call reference and type: the call
 * layer keys calls on them, and the host's q931 tap gives no usable
 * reference. `octets` are the PDU's captured octets, the frame starts at
 * `frame`.
 */
static void
read_lapd_frame(const guint8 *octets, guint captured, guint frame, morvastelle_lapd_frame *lapd)
{
    guint message;

    /* The control field follows the frame's two address octets. */
    if (captured <= frame + 2)
        return;
    lapd->sapi = octets[frame] >> 2;
    lapd->cr = (octets[frame] & 0x02) != 0;
    lapd->tei = octets[frame + 1] >> 1;
    lapd->control = octets[frame + 2];
    if ((lapd->control & 0x03) == 0x03) {
        lapd->information = frame + 3;
    } else {
        lapd->information = frame + 4;
        if (captured > frame + 3)
            lapd->control2 = octets[frame + 3];
    }

    /* As the host's LAPD hands frames on: a UI-frame with the P bit set
     * carries no message it decodes, so it is no call's either. */
    if ((lapd->control & 0x01) == 0)
        message = frame + 4;
    else if (lapd->control == LAPD_UI)
        message = frame + 3;
    else
        return;
    /* The protocol discriminator, then the reference's length octet. */
    if (lapd->sapi != LAPD_SAPI_CALL_CONTROL || captured <= message + 1)
        return;
    guint call_ref_length = octets[message + 1] & 0x0f;
    guint message_type = message + 2 + call_ref_length;
    if (captured < message_type)
        return;
    /* Mostly one or two octets: no call for them. */
    for (guint i = 0; i < call_ref_length; i++)
        lapd->call_ref[i] = octets[message + 2 + i];
    if (call_ref_length > 0) {
        lapd->call_ref_flag = (lapd->call_ref[0] & 0x80) != 0;
        lapd->call_ref[0] &= 0x7f;
    }
    lapd->call_ref_length = (gint)call_ref_length;
    if (captured > message_type) {
        lapd->message_type = octets[message_type];
        lapd->information_elements = message_type + 1;
    }
}

/*
 * What the PDU's captured octets say, read without raising: it runs before
 * the header's own reads, so a short PDU is still reported, and the bounds
 * error that flags it ends the dissection, not this.
 */
void
morvastelle_read_pdu(const guint8 *octets, guint captured, morvastelle_tap_info *info)
{
    /* Field by field: every packet goes through here. */
    static const morvastelle_lapd_frame no_frame = { -1, 0, FALSE, 0, -1, 0, -1, FALSE, {0}, -1, 0 };
    info->type = captured >= 1 ? octets[0] : 0;
    info->header_whole = FALSE;
    info->isdn_port = NULL;
    info->isdn_port_octets = NULL;
    info->isdn_port_length = 0;
    info->pdu_length = 0;
    info->octets = octets;
    info->captured = captured;
    info->lapd = no_frame;

    if (captured >= 1 && info->type != MORVASTELLE_TYPE_LAPD) {
        info->header_whole = TRUE;
    } else if (captured >= 2) {
        guint port_name_len = octets[1];
        info->header_whole = captured - 2 >= port_name_len;
        if (info->header_whole) {
            info->isdn_port_octets = octets + 2;
            info->isdn_port_length = port_name_len;
        }
        read_lapd_frame(octets, captured, 2 + port_name_len, &info->lapd);
    }
}

static void
queue_tap_record(tvbuff_t *tvb, packet_info *pinfo, const morvastelle_tap_info *pdu)
{
    morvastelle_tap_info *info = wmem_new(pinfo->pool, morvastelle_tap_info);
    guint captured = tvb_captured_length(tvb);

    *info = *pdu;
    info->pdu_length = tvb_reported_length(tvb);
    if (info->type != MORVASTELLE_TYPE_LAPD) {
        info->isdn_port = NULL;
    } else if (captured >= 2) {
        guint port_name_captured = MIN(morvastelle_get_octet(tvb, 1), captured - 2);
        info->isdn_port = (const char *)tvb_get_string_enc(pinfo->pool, tvb, 2, port_name_captured, ENC_ASCII);
    } else {
        info->isdn_port = "";
    }
    tap_queue_packet(morvastelle_tap, pinfo, info);
}

/*
 * Newer hosts' LAPD writes "?" into the packet's addresses when it cannot
 * tell a frame's direction, which a tunnelled frame never tells it: the
 * datagram's addresses are put back after the hand-off, or, when the frame
 * raised an error, once the whole packet has been dissected.
 */
static struct {
    const packet_info *pinfo;
    guint32 frame;
    address src;
    address dst;
} handed_off;

/* Plain copies of the structures: exactly what was there goes back, at
 * less cost per packet than the host's checked copies. */
static void
put_back_addresses(packet_info *pinfo)
{
    pinfo->src = handed_off.src;
    pinfo->dst = handed_off.dst;
    handed_off.pinfo = NULL;
}

/* The packet's own PDU, until the post-dissectors take it. */
static struct {
    const packet_info *pinfo;
    guint32 frame;
    tvbuff_t *tvb;
    const guint8 *octets;
    guint captured;
} packet_pdu;

tvbuff_t *
morvastelle_packet_dissected(packet_info *pinfo, const guint8 **octets, guint *captured)
{
    if (handed_off.pinfo == pinfo && handed_off.frame == pinfo->num)
        put_back_addresses(pinfo);
    if (packet_pdu.pinfo != pinfo || packet_pdu.frame != pinfo->num)
        return NULL;
    packet_pdu.pinfo = NULL;
    *octets = packet_pdu.octets;
    *captured = packet_pdu.captured;
    return packet_pdu.tvb;
}

static void
keep_packet_pdu(packet_info *pinfo, tvbuff_t *tvb, const guint8 *octets, guint captured)
{
    /* A PDU quoted in an ICMP error is not the packet's, nor is a second
     * one in the same packet. */
    if (pinfo->flags.in_error_pkt || (packet_pdu.pinfo == pinfo && packet_pdu.frame == pinfo->num))
        return;
    packet_pdu.pinfo = pinfo;
    packet_pdu.frame = pinfo->num;
    packet_pdu.tvb = tvb;
    packet_pdu.octets = octets;
    packet_pdu.captured = captured;
}

static void
hand_off(dissector_handle_t handle, tvbuff_t *next_tvb, packet_info *pinfo, proto_tree *tree)
{
    handed_off.pinfo = pinfo;
    handed_off.frame = pinfo->num;
    handed_off.src = pinfo->src;
    handed_off.dst = pinfo->dst;
    call_dissector(handle, next_tvb, pinfo, tree);
    put_back_addresses(pinfo);
}

/*
 * The host's LAPD sets the protocol column and clears the info column
 * before it reads a thing: a PDU whose header was captured whole goes to it,
 * and setting them here as well would be paid twice on every packet. Any
 * other PDU sets them here, the one that raises an error too.
 */
static gboolean
lapd_sets_columns(guint captured, guint8 type, guint8 port_name_len)
{
    return lapd_enabled && captured >= 2 && type == MORVASTELLE_TYPE_LAPD && captured - 2 >= port_name_len;
}

static void
morvastelle_init(void)
{
    lapd_enabled = lapd_protocol && proto_is_protocol_enabled(lapd_protocol);
}

/*
 * Runs with and without a tree. Without one the host still needs the
 * columns and the hand-off (first pass, summary lines, filters and taps on
 * the tunnelled protocols), and a short PDU must raise the same bounds error
 * either way, so every octet the header claims is checked by the host's
 * accessors even when no item is built. The captured octets are read once,
 * for the columns, the tap and the analysis; where the header's are
 * missing the accessor is asked for them after, and raises.
 */
static int
dissect_morvastelle(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data _U_)
{
    proto_tree *morvastelle_tree = NULL;
    guint captured = tvb_captured_length(tvb);
    const guint8 *octets = captured ? tvb_get_ptr(tvb, 0, captured) : NULL;
    guint8 type = captured >= 1 ? octets[0] : 0;
    guint8 port_name_len = captured >= 2 ? octets[1] : 0;
    gint offset = 0;
    dissector_handle_t next_handle;

    if (pinfo->cinfo && !lapd_sets_columns(captured, type, port_name_len)) {
        col_set_str(pinfo->cinfo, COL_PROTOCOL, "MORVASTELLE");
        col_clear(pinfo->cinfo, COL_INFO);
    }

    keep_packet_pdu(pinfo, tvb, octets, captured);
    if (have_tap_listener(morvastelle_tap)) {
        morvastelle_tap_info pdu;
        morvastelle_read_pdu(octets, captured, &pdu);
        queue_tap_record(tvb, pinfo, &pdu);
    }

    if (tree) {
        proto_item *ti = proto_tree_add_item(tree, proto_morvastelle, tvb, 0, -1, ENC_NA);
        morvastelle_tree = proto_item_add_subtree(ti, ett_morvastelle);
        proto_tree_add_item(morvastelle_tree, hf_morvastelle_type, tvb, 0, 1, ENC_BIG_ENDIAN);
    }
    if (captured < 1)
        type = morvastelle_get_octet(tvb, offset);
    offset += 1;

    if (type == MORVASTELLE_TYPE_LAPD) {
        if (captured < 2)
            port_name_len = morvastelle_get_octet(tvb, offset);
        offset += 1;
        if (tree)
            proto_tree_add_item(morvastelle_tree, hf_morvastelle_isdn_port, tvb, offset, port_name_len, ENC_ASCII);
        else if (captured - 2 < port_name_len)
            tvb_ensure_bytes_exist(tvb, offset, port_name_len);
        offset += port_name_len;
        next_handle = lapd_handle;
    } else {
        next_handle = data_handle;
    }

    /* The caller's tree, not ours: the tunnelled protocol stands beside
     * MORVASTELLE at the top level. */
    hand_off(next_handle, tvb_new_subset_remaining(tvb, offset), pinfo, tree);
    return (int)captured;
}

void
proto_register_morvastelle(void)
{
    static hf_register_info hf[] = {
        { &hf_morvastelle_data,
          { "Data", "morvastelle.data",
            FT_NONE, BASE_NONE, NULL, 0,
            "MORVASTELLE PDU", HFILL }
        },
        { &hf_morvastelle_type,
          { "Type", "morvastelle.type",
            FT_UINT8, BASE_DEC, VALS(morvastelle_type_vals), 0,
            "Package Type", HFILL }
        },
        { &hf_morvastelle_isdn_port,
          { "ISDN-Port", "morvastelle.isdn_port",
            FT_STRING, BASE_NONE, NULL, 0,
            "ISDN Port", HFILL }
        },
    };

    static gint *ett[] = {
        &ett_morvastelle,
    };

    proto_morvastelle = proto_register_protocol("MORVASTELLE Protocol", "MORVASTELLE", "morvastelle");
    proto_register_field_array(proto_morvastelle, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));
    register_dissector("morvastelle", dissect_morvastelle, proto_morvastelle);
    register_init_routine(morvastelle_init);
    morvastelle_tap = register_tap("morvastelle");
}

void
proto_reg_handoff_morvastelle(void)
{
    if (handoff_done)
        return;

    data_handle = find_dissector_add_dependency("data", proto_morvastelle);
    lapd_handle = find_dissector_add_dependency("lapd", proto_morvastelle);
    /* A host built without LAPD still shows the frame's octets. */
    if (lapd_handle)
        lapd_protocol = find_protocol_by_id(dissector_handle_get_protocol_index(lapd_handle));
    else
        lapd_handle = data_handle;

    morvastelle_handle = create_dissector_handle(dissect_morvastelle, proto_morvastelle);
    dissector_add_uint("udp.port", morvastelle_udp_port, morvastelle_handle);
    handoff_done = TRUE;
}
