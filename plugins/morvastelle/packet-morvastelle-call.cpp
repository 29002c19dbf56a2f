/* packet-morvastelle-call.cpp
 * MORVASTELLE Call: gives every tunnelled Q.931 message of a call the
 * call's number, state, outcome and links to its SETUP, CONNECT and first
 * clearing message, raises what went wrong in the call as expert infos,
 * and queues the records of the "morvastelle_call" tap (the plugin's call
 * statistics) and of the "voip" tap (the host's VoIP Calls and Flow
 * Sequence), from the records of the file's analysis.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "packet-morvastelle-call.h"

#include <string>

#include <epan/address.h>
#include <epan/tap-voip.h>
#include <epan/tap.h>

#include "expert-findings.h"
#include "gateway-address.h"

using morvastelle::call;
using morvastelle::frame_numbers;
using morvastelle::frame_record;
using morvastelle::call_outcome;

static int proto_morvastelle_call = -1;
static protocol_t *morvastelle_call_protocol;
#define CALL_PROTOCOL_NAME "MORVASTELLE Call"

static int hf_morvastelle_call_id = -1;
static int hf_morvastelle_call_originated_by = -1;
static int hf_morvastelle_call_outcome = -1;
static int hf_morvastelle_call_setup_frame = -1;
static int hf_morvastelle_call_connect_frame = -1;
static int hf_morvastelle_call_clearing_frame = -1;
static int hf_morvastelle_call_time_since_setup = -1;
static int hf_morvastelle_call_retransmission_of = -1;
static int hf_morvastelle_call_state = -1;
static int hf_morvastelle_call_cause = -1;
static int hf_morvastelle_call_calls_up = -1;

static gint ett_morvastelle_call = -1;

static int morvastelle_call_tap = -1;
static int voip_tap = -1;

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

/* nstime_to_sec() of the frame's time since the first, without the call. */
static inline double
frame_time(const packet_info *pinfo)
{
    return (double)pinfo->rel_ts.secs + (double)pinfo->rel_ts.nsecs / 1e9;
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

/* By finding, in the order of the call_* finding bits. */
static expert_field ei_morvastelle_call[8] = {
    EI_INIT, EI_INIT, EI_INIT, EI_INIT, EI_INIT, EI_INIT, EI_INIT, EI_INIT,
};

static ei_register_info call_experts[] = {
    { &ei_morvastelle_call[0],
      { "morvastelle_call.unexpected_message", PI_PROTOCOL, PI_WARN,
        "Message not compatible with the call state", EXPFILL }
    },
    { &ei_morvastelle_call[1],
      { "morvastelle_call.protocol_error", PI_RESPONSE_CODE, PI_WARN,
        "Cause of an invalid message or a protocol error", EXPFILL }
    },
    { &ei_morvastelle_call[2],
      { "morvastelle_call.setup_repeated", PI_SEQUENCE, PI_NOTE,
        "SETUP sent again (T303 expired)", EXPFILL }
    },
    { &ei_morvastelle_call[3],
      { "morvastelle_call.release_repeated", PI_SEQUENCE, PI_WARN,
        "RELEASE sent again (T308 expired)", EXPFILL }
    },
    { &ei_morvastelle_call[4],
      { "morvastelle_call.disconnect_unanswered", PI_SEQUENCE, PI_NOTE,
        "RELEASE from the side that sent DISCONNECT (T305 expired)", EXPFILL }
    },
    { &ei_morvastelle_call[5],
      { "morvastelle_call.no_setup", PI_SEQUENCE, PI_NOTE,
        "The capture lacks the call's SETUP", EXPFILL }
    },
    { &ei_morvastelle_call[6],
      { "morvastelle_call.connect_lost", PI_SEQUENCE, PI_WARN,
        "CONNECT ACKNOWLEDGE without CONNECT: the call was answered in a frame the capture lacks", EXPFILL }
    },
    { &ei_morvastelle_call[7],
      { "morvastelle_call.restart_with_calls_up", PI_PROTOCOL, PI_WARN,
        "RESTART of an interface with calls up", EXPFILL }
    },
};

static_assert(array_length(ei_morvastelle_call) == array_length(call_experts), "an expert info per finding");

const char *
morvastelle_call_finding_name(guint8 finding)
{
    return finding_name(call_experts, array_length(call_experts), finding);
}

static const value_string call_state_vals[] = {
    { (guint32)morvastelle::call_state::null, "Null" },
    { (guint32)morvastelle::call_state::call_initiated, "Call initiated" },
    { (guint32)morvastelle::call_state::overlap_sending, "Overlap sending" },
    { (guint32)morvastelle::call_state::outgoing_call_proceeding, "Outgoing call proceeding" },
    { (guint32)morvastelle::call_state::call_delivered, "Call delivered" },
    { (guint32)morvastelle::call_state::call_present, "Call present" },
    { (guint32)morvastelle::call_state::call_received, "Call received" },
    { (guint32)morvastelle::call_state::connect_request, "Connect request" },
    { (guint32)morvastelle::call_state::incoming_call_proceeding, "Incoming call proceeding" },
    { (guint32)morvastelle::call_state::active, "Active" },
    { (guint32)morvastelle::call_state::disconnect_request, "Disconnect request" },
    { (guint32)morvastelle::call_state::disconnect_indication, "Disconnect indication" },
    { (guint32)morvastelle::call_state::suspend_request, "Suspend request" },
    { (guint32)morvastelle::call_state::resume_request, "Resume request" },
    { (guint32)morvastelle::call_state::release_request, "Release request" },
    { (guint32)morvastelle::call_state::overlap_receiving, "Overlap receiving" },
    { 0, NULL }
};

static guint32
call_retransmission_of(const frame_numbers *numbers)
{
    return numbers ? numbers->retransmission_of : 0;
}

static void
add_call_fields(proto_tree *call_tree, tvbuff_t *tvb, packet_info *pinfo, const frame_record *record,
                const frame_numbers *numbers, const call *c, const char *outcome)
{
    proto_item_set_generated(proto_tree_add_uint(call_tree, hf_morvastelle_call_id, tvb, 0, 0, c->id + 1));
    proto_item_set_generated(proto_tree_add_string(call_tree, hf_morvastelle_call_originated_by, tvb, 0, 0,
                                                   c->network_originated ? "network" : "user"));
    proto_item_set_generated(proto_tree_add_string(call_tree, hf_morvastelle_call_outcome, tvb, 0, 0, outcome));
    /* A call found without its SETUP has none until a message tells. */
    if (record->call_state != (guint8)morvastelle::call_state::unknown)
        proto_item_set_generated(
            proto_tree_add_uint(call_tree, hf_morvastelle_call_state, tvb, 0, 0, record->call_state));
    add_frame_link(call_tree, hf_morvastelle_call_setup_frame, tvb, c->setup_frame);
    add_frame_link(call_tree, hf_morvastelle_call_connect_frame, tvb, c->connect_frame);
    add_frame_link(call_tree, hf_morvastelle_call_clearing_frame, tvb, c->clearing_frame);
    if (c->setup_seen) {
        /* Whole nanoseconds, rounded half away from zero as llround()
         * would: both times came from the host's own. */
        double since = (frame_time(pinfo) - c->start) * 1e9;
        gint64 ns = (gint64)(since < 0 ? since - 0.5 : since + 0.5);
        nstime_t since_setup;
        since_setup.secs = (time_t)(ns / 1000000000);
        since_setup.nsecs = (int)(ns % 1000000000);
        proto_item_set_generated(
            proto_tree_add_time(call_tree, hf_morvastelle_call_time_since_setup, tvb, 0, 0, &since_setup));
    }
    add_frame_link(call_tree, hf_morvastelle_call_retransmission_of, tvb, call_retransmission_of(numbers));
}

/* "MORVASTELLE Call, Call 12, answered", in a buffer of ITEM_LABEL_LENGTH */
static void
call_label(char *label, const call *c, const char *outcome)
{
    static const char prefix[] = CALL_PROTOCOL_NAME ", Call ";
    char digits[10];
    size_t count = 0;
    for (guint32 id = c->id + 1; id; id /= 10)
        digits[count++] = (char)('0' + id % 10);
    char *end = label + sizeof prefix - 1;
    memcpy(label, prefix, sizeof prefix - 1);
    while (count)
        *end++ = digits[--count];
    *end++ = ',';
    *end++ = ' ';
    memcpy(end, outcome, strlen(outcome) + 1);
}

/*
 * The layer's item, on a frame of a call that a tree asks about and on any
 * frame with a finding: a RESTART belongs to no call. The findings are
 * raised with or without a tree, for the host's expert tap.
 */
static void
add_call_items(proto_tree *tree, tvbuff_t *tvb, packet_info *pinfo, const frame_record *record,
               const frame_numbers *numbers, const call *c, gboolean items)
{
    proto_item *ti = NULL;
    const char *outcome = c ? morvastelle::call_outcome_name(c->outcome()) : NULL;
    if (tree) {
        ti = proto_tree_add_item(tree, proto_morvastelle_call, tvb, 0, 0, ENC_NA);
        proto_item_set_generated(ti);
    }
    /* tshark -T fields pays for the label on every call frame: written
     * whole and formatted here, where the host's formatting would cost
     * several times as much. */
    if (c && tree && PTREE_DATA(tree)->visible) {
        char label[ITEM_LABEL_LENGTH];
        call_label(label, c, outcome);
        proto_item_set_text(ti, "%s", label);
    }
    if (items) {
        proto_tree *call_tree = proto_item_add_subtree(ti, ett_morvastelle_call);
        if (c)
            add_call_fields(call_tree, tvb, pinfo, record, numbers, c, outcome);
        if (numbers && (record->call_findings & morvastelle::call_protocol_error))
            proto_item_set_generated(proto_tree_add_uint_format_value(call_tree, hf_morvastelle_call_cause, tvb, 0,
                                                                      0, numbers->cause, "%s",
                                                                      call_cause_text(numbers->cause)));
        if (numbers && (record->call_findings & morvastelle::call_restart_with_calls_up))
            proto_item_set_generated(
                proto_tree_add_uint(call_tree, hf_morvastelle_call_calls_up, tvb, 0, 0, numbers->calls_up));
    }
    if (!record->call_findings)
        return;
    raise_findings(pinfo, ti, CALL_PROTOCOL_NAME, call_experts, array_length(call_experts), record->call_findings);
}

/* The call's port's name as the dissector shows it. */
static const char *
port_name(const morvastelle_call_frame *frame)
{
    return frame->port_names[frame->analysis->ports.port(frame->call->port).name];
}

static void
queue_call_record(packet_info *pinfo, const morvastelle_call_frame *frame)
{
    const frame_record *record = frame->record;
    morvastelle_call_tap_info *info = wmem_new(pinfo->pool, morvastelle_call_tap_info);
    info->call = frame->call;
    const morvastelle::capture_analysis &analysis = *frame->analysis;
    info->port = &analysis.calls.ports()[frame->call->port];
    info->ports = &analysis.ports;
    info->isdn_port = port_name(frame);
    info->retransmission_of = record ? call_retransmission_of(frame->numbers) : 0;
    info->lost_frames = analysis.calls.lost_frames(*frame->call);
    info->message_type = record ? record->message_type : 0;
    info->from_network = record && (record->flags & morvastelle::frame_from_network);
    info->frame_of_call = record != NULL;
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
queue_voip_overflow(packet_info *pinfo, voip_packet_info_t *info, guint32 calls)
{
    guint32 left_out = calls - voip_listed_calls;
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

/* The port as VoIP Calls names it: where other gateways send its name
 * too, with its gateway's address. */
static const char *
voip_port_name(packet_info *pinfo, const morvastelle_call_frame *frame)
{
    uint32_t port = frame->call->port;
    const morvastelle::port_registry &ports = frame->analysis->ports;
    if (!ports.name_shared(port))
        return port_name(frame);
    return wmem_strdup_printf(pinfo->pool, "%s %s", port_name(frame), morvastelle_gateway_text(pinfo->pool, ports, port));
}

static void
queue_voip_record(packet_info *pinfo, const morvastelle_call_frame *call_frame)
{
    const frame_record *frame = call_frame->record;
    const frame_numbers *numbers = call_frame->numbers;
    const call *c = call_frame->call;
    voip_packet_info_t *info = wmem_new0(pinfo->pool, voip_packet_info_t);
    info->protocol_name = (gchar *)"MORVASTELLE";
    info->call_active_state = VOIP_ACTIVE;
    if (c->id >= voip_listed_calls) {
        /* The row's count is final after the first pass: later passes
         * need it once. */
        bool first_left_out = c->id == voip_listed_calls;
        if ((frame->flags & morvastelle::frame_starts_call) && (first_left_out || !PINFO_FD_VISITED(pinfo)))
            queue_voip_overflow(pinfo, info, (guint32)call_frame->analysis->calls.calls().size());
        return;
    }

    call_outcome outcome = c->outcome();
    bool from_network = (frame->flags & morvastelle::frame_from_network) != 0;
    const char *port = voip_port_name(pinfo, call_frame);
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
    if (call_retransmission_of(numbers))
        info->frame_comment = wmem_strdup_printf(pinfo->pool, "%s, retransmission of frame %u", info->frame_comment,
                                                 call_retransmission_of(numbers));

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

gboolean
morvastelle_call_enabled(void)
{
    return proto_is_protocol_enabled(morvastelle_call_protocol);
}

gboolean
morvastelle_call_wanted(proto_tree *tree)
{
    return call_items_wanted(tree) || have_tap_listener(morvastelle_call_tap) || have_tap_listener(voip_tap);
}

void
morvastelle_call_show(proto_tree *tree, tvbuff_t *tvb, packet_info *pinfo, const morvastelle_call_frame *frame)
{
    const frame_record *record = frame->record;
    const call *c = frame->call;
    gboolean items = call_items_wanted(tree);
    if ((c && items) || record->call_findings)
        add_call_items(tree, tvb, pinfo, record, frame->numbers, c, items);
    if (!c)
        return;
    if (have_tap_listener(morvastelle_call_tap))
        queue_call_record(pinfo, frame);
    if (have_tap_listener(voip_tap))
        queue_voip_record(pinfo, frame);
}

void
morvastelle_call_changed(packet_info *pinfo, const morvastelle_call_frame *frame)
{
    if (have_tap_listener(morvastelle_call_tap))
        queue_call_record(pinfo, frame);
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
        { &hf_morvastelle_call_state,
          { "State", "morvastelle_call.state",
            FT_UINT8, BASE_DEC, VALS(call_state_vals), 0,
            "The user side's call state after the message", HFILL }
        },
        { &hf_morvastelle_call_cause,
          { "Cause", "morvastelle_call.cause",
            FT_UINT8, BASE_DEC, NULL, 0,
            "The cause of an invalid message or a protocol error that the message carries", HFILL }
        },
        { &hf_morvastelle_call_calls_up,
          { "Calls up", "morvastelle_call.calls_up",
            FT_UINT32, BASE_DEC, NULL, 0,
            "Calls of the port (SETUP seen, not yet ended) when the RESTART came", HFILL }
        },
    };

    static gint *ett[] = {
        &ett_morvastelle_call,
    };

    proto_morvastelle_call = proto_register_protocol(CALL_PROTOCOL_NAME, CALL_PROTOCOL_NAME, "morvastelle_call");
    morvastelle_call_protocol = find_protocol_by_id(proto_morvastelle_call);
    proto_register_field_array(proto_morvastelle_call, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));
    expert_module_t *expert = expert_register_protocol(proto_morvastelle_call);
    expert_register_field_array(expert, call_experts, array_length(call_experts));
    morvastelle_call_tap = register_tap("morvastelle_call");
    /* No host dissector registers it; the host's VoIP Calls listens to it
     * whenever it exists. */
    voip_tap = register_tap("voip");
}
