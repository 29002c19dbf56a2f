/* packet-morvastelle-call.cpp
 * MORVASTELLE Call: a post-dissector that gives every tunnelled Q.931
 * message of a call the call's number, outcome and links to its SETUP,
 * CONNECT and first clearing message, and queues the records of the
 * "morvastelle_call" tap (the plugin's call statistics) and of the "voip"
 * tap (the host's VoIP Calls and Flow Sequence).
 *
 * Calls are assigned once, on the first pass over a file, by one call
 * tracker kept in the host's file-scoped memory, and the result is kept per
 * frame: GUI random access, refiltering, retaps and tshark -2 all show what
 * the first pass found. A post-dissector sees a frame even when Q.931
 * raised an error after its header, so such a frame still finds its call.
 *
 * The dissector and the post-dissector run inside the host's exception
 * frames, which are a longjmp: no C++ object with a destructor may be alive
 * in a function that calls a host routine able to raise one.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "packet-morvastelle-call.h"

#include <cmath>
#include <new>
#include <string>
#include <vector>

#include <epan/epan_dissect.h>
#include <epan/exceptions.h>
#include <epan/proto_data.h>
#include <epan/tap-voip.h>
#include <epan/tap.h>
#include <epan/dissectors/packet-q931.h>

#include "stats-morvastelle.h"

using morvastelle::call;
using morvastelle::call_outcome;

static int proto_morvastelle_call = -1;
static protocol_t *morvastelle_call_protocol;

static int hf_morvastelle_call_id = -1;
static int hf_morvastelle_call_originated_by = -1;
static int hf_morvastelle_call_outcome = -1;
static int hf_morvastelle_call_setup_frame = -1;
static int hf_morvastelle_call_connect_frame = -1;
static int hf_morvastelle_call_clearing_frame = -1;
static int hf_morvastelle_call_time_since_setup = -1;
static int hf_morvastelle_call_retransmission_of = -1;

static gint ett_morvastelle_call = -1;

static int morvastelle_call_tap = -1;
static int voip_tap = -1;
static int q931_tap = -1;
static int hf_q931_keypad_facility = -1;
static dissector_handle_t q931_ie_handle;

/* What the first pass found for a frame that belongs to a call: the host's
 * per-frame data, in file scope. */
typedef struct _morvastelle_call_frame {
    guint32 call_id;
    guint32 retransmission_of;
    guint8 message_type;
    guint8 tei;
    guint8 flags;
} morvastelle_call_frame;

#define CALL_FRAME_FROM_NETWORK 0x01
#define CALL_FRAME_STARTS_CALL 0x02
/* The message's details are still to be added to its call: they come from
 * the host's q931 tap record, which is only queued in a pass that runs taps
 * for some listener (not tshark -2's first pass, nor a first reading with no
 * statistics open); later full passes go in frame order too. The
 * call_detail_* the frame may add are in the bits above. */
#define CALL_FRAME_DETAILS_PENDING 0x04
#define CALL_FRAME_DETAILS_SHIFT 3

/* Hands the tracker the host's file-scoped memory: freed with the file. */
class file_memory : public std::pmr::memory_resource {
    void *do_allocate(size_t bytes, size_t) override { return wmem_alloc(wmem_file_scope(), bytes); }
    void do_deallocate(void *p, size_t, size_t) override { wmem_free(wmem_file_scope(), p); }
    bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override { return this == &other; }
};

static file_memory file_memory_resource;

struct calls_of_file {
    calls_of_file() : tracker(&file_memory_resource), port_names(&file_memory_resource) {}
    morvastelle::call_tracker tracker;
    /* By port index: the names as the dissector shows them. */
    std::pmr::vector<const char *> port_names;
};

/* Between the host's init and cleanup routines of a file. */
static calls_of_file *file_calls;
/* The host starts a file's dissection again when the layer is switched
 * on or off. */
static gboolean layer_enabled;

/* Frame records are taken from blocks of file-scoped memory: one
 * allocation each would cost more than the record. */
static morvastelle_call_frame *frame_block;
static guint frames_left_in_block;

static morvastelle_call_frame *
new_frame_record(void)
{
    if (frames_left_in_block == 0) {
        frames_left_in_block = 256;
        frame_block = wmem_alloc_array(wmem_file_scope(), morvastelle_call_frame, frames_left_in_block);
    }
    frames_left_in_block--;
    return frame_block++;
}

/* The PDU the dissector saw in the frame being dissected, for the
 * post-dissector of the same frame. */
static struct {
    const packet_info *pinfo;
    guint32 frame;
    tvbuff_t *tvb;
    morvastelle_tap_info pdu;
} pending;

morvastelle_tap_info *
morvastelle_call_pdu_seen(packet_info *pinfo, tvbuff_t *tvb)
{
    if (!layer_enabled || pinfo->flags.in_error_pkt)
        return NULL;
    /* A frame's first PDU is its own. */
    if (pending.pinfo == pinfo && pending.frame == pinfo->num)
        return NULL;
    pending.pinfo = pinfo;
    pending.frame = pinfo->num;
    pending.tvb = tvb;
    /* Later passes find the frame's call in its per-frame data, and read
     * the PDU only in the rare frame whose details are still to come. */
    return PINFO_FD_VISITED(pinfo) ? NULL : &pending.pdu;
}

/* Through the registered fields: newer hosts no longer export the tables. */
static const char *
q931_value_label(const char *field, guint32 value)
{
    header_field_info *hfinfo = proto_registrar_get_byname(field);
    if (!hfinfo || !hfinfo->strings)
        return NULL;
    if (hfinfo->display & BASE_EXT_STRING)
        return try_val_to_str_ext(value, (value_string_ext *)hfinfo->strings);
    return try_val_to_str(value, (const value_string *)hfinfo->strings);
}

const char *
call_cause_text(guint8 cause)
{
    static std::string texts[256];
    std::string &text = texts[cause];
    if (text.empty()) {
        const char *label = q931_value_label("q931.cause_value", cause);
        text = std::to_string(cause);
        if (label)
            text += std::string(" ") + label;
    }
    return text.c_str();
}

static const char *
message_name(guint8 message_type)
{
    static std::string names[256];
    std::string &name = names[message_type];
    if (name.empty()) {
        const char *label = q931_value_label("q931.message_type", message_type);
        char unknown[32];
        snprintf(unknown, sizeof unknown, "message 0x%02x", message_type);
        name = label ? label : unknown;
    }
    return name.c_str();
}

/*
 * The digits of the message's Keypad facility elements, from the host's
 * Q.931 decoding of its information elements into a tree of our own: the
 * host decodes them only into a tree, and the frame may have none.
 */
static const char *
keypad_digits(packet_info *pinfo, tvbuff_t *tvb, guint offset)
{
    if (!q931_ie_handle || hf_q931_keypad_facility < 0)
        return NULL;
    epan_dissect_t *edt = epan_dissect_new(pinfo->epan, TRUE, FALSE);
    epan_dissect_prime_with_hfid(edt, hf_q931_keypad_facility);
    gboolean writable = col_get_writable(pinfo->cinfo, -1);
    col_set_writable(pinfo->cinfo, -1, FALSE);
    TRY {
        call_dissector_only(q931_ie_handle, tvb_new_subset_remaining(tvb, offset), pinfo, edt->tree, NULL);
    }
    CATCH_ALL {
        /* The message's own dissection passed these octets already. */
    }
    ENDTRY;
    col_set_writable(pinfo->cinfo, -1, writable);

    const char *digits = NULL;
    GPtrArray *items = proto_get_finfo_ptr_array(edt->tree, hf_q931_keypad_facility);
    for (guint i = 0; items && i < items->len; i++) {
        field_info *fi = (field_info *)g_ptr_array_index(items, i);
        const char *part = (const char *)tvb_get_string_enc(pinfo->pool, fi->ds_tvb, fi->start, fi->length, ENC_ASCII);
        digits = digits ? wmem_strdup_printf(pinfo->pool, "%s%s", digits, part) : part;
    }
    epan_dissect_free(edt);
    return digits;
}

/* The host's decoding of the frame's Q.931 message, when it got to the end
 * of it. */
static const q931_packet_info *
q931_record(guint8 message_type)
{
    const q931_packet_info *record = (const q931_packet_info *)fetch_tapped_data(q931_tap, 0);
    return record && record->message_type == message_type ? record : NULL;
}

static bool
resets_link(gint control)
{
    if ((control & 0x03) != 0x03)
        return false;
    int function = control & ~LAPD_PF_BIT;
    return function == LAPD_SABME || function == LAPD_DISC || function == LAPD_DM;
}

/* Hands the message to the tracker; for a frame without one, tells it of
 * the port and of a data link set up or taken down. Reads only captured
 * octets, so it raises no host exception amid its C++ objects. */
static const call *
track_frame(const morvastelle::call_message &message, bool has_message, gint control, guint8 tei, tvbuff_t *tvb,
            guint32 *retransmission_of, bool *started, guint8 *details)
{
    morvastelle::call_tracker &tracker = file_calls->tracker;
    const call *assigned = NULL;
    uint32_t port;
    if (has_message) {
        morvastelle::frame_assignment assignment = tracker.add(message);
        port = assignment.port;
        assigned = assignment.assigned;
        *retransmission_of = assignment.retransmission_of;
        *started = assignment.started;
        *details = assignment.details;
    } else {
        port = tracker.port_frame(message.port, message.time);
        if (control >= 0 && resets_link(control))
            tracker.link_reset(port, tei);
    }
    /* The name as the dissector shows it, once per port: ports are
     * numbered in the order they turn up. */
    if (port == file_calls->port_names.size())
        file_calls->port_names.push_back((const char *)tvb_get_string_enc(
            wmem_file_scope(), tvb, 2, (gint)message.port.size(), ENC_ASCII));
    return assigned;
}

/* The host's decoding of the message's information elements, when it has
 * one for this pass: TRUE when `message` got them. Keypad digits are only
 * looked for where they may dial. */
static gboolean
take_details(packet_info *pinfo, gboolean may_dial, morvastelle::call_message *message)
{
    const q931_packet_info *q931 = q931_record(message->message_type);
    if (!q931)
        return FALSE;
    message->calling_number = q931->calling_number;
    message->called_number = q931->called_number;
    message->cause = q931->cause_value;
    if (may_dial && !q931->called_number)
        message->keypad = keypad_digits(pinfo, pending.tvb, pending.pdu.lapd.information_elements);
    return TRUE;
}

/* The first pass: which call the frame's message belongs to, kept for the
 * passes to come. */
static morvastelle_call_frame *
assign_frame(packet_info *pinfo)
{
    const morvastelle_tap_info *pdu = &pending.pdu;
    const morvastelle_lapd_frame *lapd = &pdu->lapd;
    if (pdu->type != MORVASTELLE_TYPE_LAPD || !pdu->header_whole)
        return NULL;

    morvastelle::call_message message;
    message.frame = pinfo->num;
    message.port = std::string_view((const char *)pdu->isdn_port_octets, pdu->isdn_port_length);
    message.time = nstime_to_sec(&pinfo->rel_ts);
    bool has_message = lapd->message_type >= 0;
    if (has_message) {
        /* I- and UI-frames are commands: C/R is set by the network. */
        message.from_network = lapd->cr;
        message.tei = lapd->tei;
        message.numbered = (lapd->control & 0x01) == 0;
        message.send_sequence = (guint)lapd->control >> 1;
        message.call_ref_length = (unsigned)lapd->call_ref_length;
        /* Zero past the length, as read. */
        memcpy(message.call_ref, lapd->call_ref, sizeof message.call_ref);
        message.call_ref_flag = lapd->call_ref_flag;
        message.message_type = (guint8)lapd->message_type;
        /* Captured octets only: no host exception amid the C++ objects. */
        guint captured = tvb_captured_length(pending.tvb);
        message.information_elements_length = captured - lapd->information_elements;
        message.information_elements =
            tvb_get_ptr(pending.tvb, lapd->information_elements, (gint)message.information_elements_length);
        /* Only these messages may add details to their call; which of
         * them count is only known once the tracker has the message: take
         * them all now, it keeps what counts. */
        bool may_dial = message.message_type == morvastelle::q931_setup ||
                        message.message_type == morvastelle::q931_information;
        if (may_dial || morvastelle::is_clearing(message.message_type))
            message.has_details = take_details(pinfo, may_dial, &message);
    }

    guint32 retransmission_of = 0;
    bool started = false;
    guint8 details = 0;
    const call *assigned = track_frame(message, has_message, lapd->control, lapd->tei, pending.tvb,
                                       &retransmission_of, &started, &details);
    if (!assigned)
        return NULL;

    morvastelle_call_frame *frame = new_frame_record();
    frame->call_id = assigned->id;
    frame->retransmission_of = retransmission_of;
    frame->message_type = message.message_type;
    frame->tei = (guint8)message.tei;
    frame->flags = (message.from_network ? CALL_FRAME_FROM_NETWORK : 0) | (started ? CALL_FRAME_STARTS_CALL : 0);
    if (!message.has_details && details)
        frame->flags |= CALL_FRAME_DETAILS_PENDING | (guint8)(details << CALL_FRAME_DETAILS_SHIFT);
    p_add_proto_data(wmem_file_scope(), pinfo, proto_morvastelle_call, 0, frame);
    return frame;
}

/* A later pass, with taps, adds what the first could not. */
static void
add_pending_details(packet_info *pinfo, morvastelle_call_frame *frame)
{
    guint8 details = frame->flags >> CALL_FRAME_DETAILS_SHIFT;
    morvastelle_read_pdu(pending.tvb, &pending.pdu);
    morvastelle::call_message message;
    message.frame = pinfo->num;
    message.message_type = frame->message_type;
    if (!take_details(pinfo, (details & (morvastelle::call_detail_numbers | morvastelle::call_detail_dialled)) != 0,
                      &message))
        return;
    file_calls->tracker.add_details(frame->call_id, details, message);
    frame->flags &= ~CALL_FRAME_DETAILS_PENDING;
}

static void
add_frame_link(proto_tree *tree, int hf, tvbuff_t *tvb, guint32 frame)
{
    if (frame)
        proto_item_set_generated(proto_tree_add_uint(tree, hf, tvb, 0, 0, frame));
}

/* Items only for a tree that shows them or a filter, column or field that
 * asks for one of them: tshark -T fields keeps every protocol's item. */
static gboolean
call_items_wanted(proto_tree *tree)
{
    if (!tree)
        return FALSE;
    return PTREE_DATA(tree)->visible || proto_registrar_get_nth(proto_morvastelle_call)->ref_type != HF_REF_TYPE_NONE;
}

static void
add_call_items(proto_tree *tree, tvbuff_t *tvb, packet_info *pinfo, const morvastelle_call_frame *frame, const call *c)
{
    const char *outcome = morvastelle::call_outcome_name(c->outcome());
    proto_item *ti = proto_tree_add_item(tree, proto_morvastelle_call, tvb, 0, 0, ENC_NA);
    proto_item_set_generated(ti);
    if (PTREE_DATA(tree)->visible)
        proto_item_append_text(ti, ", Call %u, %s", c->id + 1, outcome);
    proto_tree *call_tree = proto_item_add_subtree(ti, ett_morvastelle_call);

    proto_item_set_generated(proto_tree_add_uint(call_tree, hf_morvastelle_call_id, tvb, 0, 0, c->id + 1));
    proto_item_set_generated(proto_tree_add_string(call_tree, hf_morvastelle_call_originated_by, tvb, 0, 0,
                                                   c->network_originated ? "network" : "user"));
    proto_item_set_generated(proto_tree_add_string(call_tree, hf_morvastelle_call_outcome, tvb, 0, 0, outcome));
    add_frame_link(call_tree, hf_morvastelle_call_setup_frame, tvb, c->setup_frame);
    add_frame_link(call_tree, hf_morvastelle_call_connect_frame, tvb, c->connect_frame);
    add_frame_link(call_tree, hf_morvastelle_call_clearing_frame, tvb, c->clearing_frame);
    if (c->setup_seen) {
        /* Whole nanoseconds: both times came from the host's own. */
        gint64 ns = (gint64)llround((nstime_to_sec(&pinfo->rel_ts) - c->start) * 1e9);
        nstime_t since_setup;
        since_setup.secs = (time_t)(ns / 1000000000);
        since_setup.nsecs = (int)(ns % 1000000000);
        proto_item_set_generated(
            proto_tree_add_time(call_tree, hf_morvastelle_call_time_since_setup, tvb, 0, 0, &since_setup));
    }
    add_frame_link(call_tree, hf_morvastelle_call_retransmission_of, tvb, frame->retransmission_of);
}

static const char *
port_name(const call *c)
{
    return file_calls->port_names[c->port];
}

static void
queue_call_record(packet_info *pinfo, const morvastelle_call_frame *frame, const call *c)
{
    morvastelle_call_tap_info *info = wmem_new(pinfo->pool, morvastelle_call_tap_info);
    info->call = c;
    info->port = &file_calls->tracker.ports()[c->port];
    info->isdn_port = port_name(c);
    info->retransmission_of = frame->retransmission_of;
    info->message_type = frame->message_type;
    info->from_network = (frame->flags & CALL_FRAME_FROM_NETWORK) != 0;
    tap_queue_packet(morvastelle_call_tap, pinfo, info);
}

static voip_call_state
voip_state(guint8 message_type, call_outcome outcome)
{
    switch (message_type) {
    case morvastelle::q931_setup:
        return VOIP_CALL_SETUP;
    case morvastelle::q931_alerting:
        return VOIP_RINGING;
    case morvastelle::q931_connect:
        return VOIP_IN_CALL;
    default:
        break;
    }
    if (!morvastelle::is_clearing(message_type))
        return VOIP_NO_STATE;
    switch (outcome) {
    case call_outcome::answered:
        return VOIP_COMPLETED;
    case call_outcome::rejected:
        return VOIP_REJECTED;
    case call_outcome::cancelled:
        return VOIP_CANCELLED;
    default:
        return VOIP_UNKNOWN;
    }
}

static const char *
number_text(const std::pmr::string &number)
{
    return number.empty() ? "-" : number.c_str();
}

/* A side of the port as the ladder shows it: "isdn0 network" or
 * "isdn0 user TEI 64". */
static void
set_side(wmem_allocator_t *pool, address *side, const char *port, bool network, guint8 tei)
{
    char *text = network ? wmem_strdup_printf(pool, "%s network", port)
                         : wmem_strdup_printf(pool, "%s user TEI %u", port, tei);
    set_address(side, AT_STRINGZ, (int)strlen(text) + 1, text);
}

/* One record of the calls left out of the list: the row's comment counts
 * them. */
static void
queue_voip_overflow(packet_info *pinfo, voip_packet_info_t *info)
{
    guint32 left_out = (guint32)file_calls->tracker.calls().size() - voip_listed_calls;
    info->call_id = (gchar *)"MORVASTELLE calls left out";
    info->call_state = VOIP_NO_STATE;
    info->from_identity = (gchar *)"-";
    info->to_identity = (gchar *)"-";
    info->call_comment = wmem_strdup_printf(pinfo->pool,
        "%u more MORVASTELLE %s not listed here: Telephony > MORVASTELLE Calls lists them all",
        left_out, left_out == 1 ? "call is" : "calls are");
    info->frame_label = (gchar *)"calls left out";
    tap_queue_packet(voip_tap, pinfo, info);
}

static void
queue_voip_record(packet_info *pinfo, const morvastelle_call_frame *frame, const call *c)
{
    voip_packet_info_t *info = wmem_new0(pinfo->pool, voip_packet_info_t);
    info->protocol_name = (gchar *)"MORVASTELLE";
    info->call_active_state = VOIP_ACTIVE;
    if (c->id >= voip_listed_calls) {
        /* The row's count is final after the first pass: later passes
         * need it once. */
        bool first_left_out = c->id == voip_listed_calls;
        if ((frame->flags & CALL_FRAME_STARTS_CALL) && (first_left_out || !PINFO_FD_VISITED(pinfo)))
            queue_voip_overflow(pinfo, info);
        return;
    }

    call_outcome outcome = c->outcome();
    bool from_network = (frame->flags & CALL_FRAME_FROM_NETWORK) != 0;
    const char *port = port_name(c);
    char call_ref[2 * morvastelle::max_call_ref_length + 1];
    c->call_ref_text(call_ref);

    info->call_id = wmem_strdup_printf(pinfo->pool, "MORVASTELLE call %u", c->id + 1);
    info->from_identity = (gchar *)number_text(c->calling_number);
    info->to_identity = (gchar *)number_text(c->called_number);
    info->call_state = voip_state(frame->message_type, outcome);
    if (morvastelle::is_clearing(frame->message_type))
        info->call_active_state = VOIP_INACTIVE;
    info->call_comment = wmem_strdup_printf(pinfo->pool, "%s, call reference %s from the %s, %s%s%s, called %s",
        port, call_ref, c->network_originated ? "network" : "user", morvastelle::call_outcome_name(outcome),
        c->cause == morvastelle::no_cause ? "" : ", cause ",
        c->cause == morvastelle::no_cause ? "" : call_cause_text(c->cause), number_text(c->called_number));
    info->frame_label = (gchar *)message_name(frame->message_type);
    info->frame_comment = wmem_strdup_printf(pinfo->pool, "%s to %s, TEI %u", from_network ? "network" : "user",
                                             from_network ? "user" : "network", frame->tei);
    if (frame->retransmission_of)
        info->frame_comment = wmem_strdup_printf(pinfo->pool, "%s, retransmission of frame %u", info->frame_comment,
                                                 frame->retransmission_of);

    /* Every datagram goes from the gateway to the collector: the ladder is
     * drawn between the sides of the ISDN port instead, in a copy of the
     * packet's record that only this tap sees, without the datagram's UDP
     * ports, which the ladder would write at the sides' ends. */
    packet_info *sides = wmem_new(pinfo->pool, packet_info);
    *sides = *pinfo;
    set_side(pinfo->pool, &sides->src, port, from_network, frame->tei);
    set_side(pinfo->pool, &sides->dst, port, !from_network, frame->tei);
    sides->srcport = 0;
    sides->destport = 0;
    tap_queue_packet(voip_tap, sides, info);
}

static int
dissect_morvastelle_call(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data _U_)
{
    morvastelle_packet_dissected(pinfo);
    if (pending.pinfo != pinfo || pending.frame != pinfo->num || !file_calls)
        return 0;
    pending.pinfo = NULL;

    morvastelle_call_frame *frame;
    if (!PINFO_FD_VISITED(pinfo)) {
        frame = assign_frame(pinfo);
    } else if (call_items_wanted(tree) || have_tap_listener(morvastelle_call_tap) || have_tap_listener(voip_tap)) {
        frame = (morvastelle_call_frame *)p_get_proto_data(wmem_file_scope(), pinfo, proto_morvastelle_call, 0);
        if (frame && (frame->flags & CALL_FRAME_DETAILS_PENDING))
            add_pending_details(pinfo, frame);
    } else {
        /* A later pass that no tree or listener asks about. */
        return 0;
    }
    if (!frame)
        return 0;

    const call *c = &file_calls->tracker.calls()[frame->call_id];
    if (call_items_wanted(tree))
        add_call_items(tree, tvb, pinfo, frame, c);
    if (have_tap_listener(morvastelle_call_tap))
        queue_call_record(pinfo, frame, c);
    if (have_tap_listener(voip_tap))
        queue_voip_record(pinfo, frame, c);
    return tvb_captured_length(tvb);
}

static void
morvastelle_call_init(void)
{
    file_calls = new (wmem_alloc(wmem_file_scope(), sizeof(calls_of_file))) calls_of_file();
    frames_left_in_block = 0;
    pending.pinfo = NULL;
    layer_enabled = proto_is_protocol_enabled(morvastelle_call_protocol);
}

static void
morvastelle_call_cleanup(void)
{
    /* Its memory goes with the file scope, right after this. */
    file_calls->~calls_of_file();
    file_calls = NULL;
    layer_enabled = FALSE;
}

void
proto_register_morvastelle_call(void)
{
    static hf_register_info hf[] = {
        { &hf_morvastelle_call_id,
          { "Call", "morvastelle_call.id",
            FT_UINT32, BASE_DEC, NULL, 0,
            "The call's number: 1 for the first call of the capture, in the order calls started", HFILL }
        },
        { &hf_morvastelle_call_originated_by,
          { "Originated by", "morvastelle_call.originated_by",
            FT_STRING, BASE_NONE, NULL, 0,
            "The side that sent the call's SETUP: user or network", HFILL }
        },
        { &hf_morvastelle_call_outcome,
          { "Outcome", "morvastelle_call.outcome",
            FT_STRING, BASE_NONE, NULL, 0,
            "answered, cancelled, rejected, in progress or unknown", HFILL }
        },
        { &hf_morvastelle_call_setup_frame,
          { "Setup frame", "morvastelle_call.setup_frame",
            FT_FRAMENUM, BASE_NONE, FRAMENUM_TYPE(FT_FRAMENUM_REQUEST), 0,
            "The frame of the call's SETUP", HFILL }
        },
        { &hf_morvastelle_call_connect_frame,
          { "Connect frame", "morvastelle_call.connect_frame",
            FT_FRAMENUM, BASE_NONE, FRAMENUM_TYPE(FT_FRAMENUM_RESPONSE), 0,
            "The frame of the call's CONNECT", HFILL }
        },
        { &hf_morvastelle_call_clearing_frame,
          { "Clearing frame", "morvastelle_call.clearing_frame",
            FT_FRAMENUM, BASE_NONE, NULL, 0,
            "The frame of the call's first clearing message, which decided its outcome", HFILL }
        },
        { &hf_morvastelle_call_time_since_setup,
          { "Time since setup", "morvastelle_call.time_since_setup",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0,
            "Time since the call's SETUP", HFILL }
        },
        { &hf_morvastelle_call_retransmission_of,
          { "Retransmission of", "morvastelle_call.retransmission_of",
            FT_FRAMENUM, BASE_NONE, FRAMENUM_TYPE(FT_FRAMENUM_RETRANS_PREV), 0,
            "This I-frame repeats that one: it is not counted again", HFILL }
        },
    };

    static gint *ett[] = {
        &ett_morvastelle_call,
    };

    proto_morvastelle_call = proto_register_protocol("MORVASTELLE Call", "MORVASTELLE Call", "morvastelle_call");
    morvastelle_call_protocol = find_protocol_by_id(proto_morvastelle_call);
    proto_register_field_array(proto_morvastelle_call, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));
    morvastelle_call_tap = register_tap("morvastelle_call");
    /* No host dissector registers it; the host's VoIP Calls listens to it
     * whenever it exists. */
    voip_tap = register_tap("voip");
    register_init_routine(morvastelle_call_init);
    register_cleanup_routine(morvastelle_call_cleanup);
}

void
proto_reg_handoff_morvastelle_call(void)
{
    static gboolean handoff_done = FALSE;
    if (handoff_done)
        return;

    /* Without a protocol the host calls it for every packet at little cost,
     * also while the layer is disabled: it puts back the addresses of
     * tunnelled frames that raised an error, and checks for itself whether
     * the layer is on. */
    register_postdissector(create_dissector_handle(dissect_morvastelle_call, -1));
    q931_tap = find_tap_id("q931");
    q931_ie_handle = find_dissector_add_dependency("q931.ie", proto_morvastelle_call);
    hf_q931_keypad_facility = proto_registrar_get_id_byname("q931.keypad_facility");
    handoff_done = TRUE;
}
