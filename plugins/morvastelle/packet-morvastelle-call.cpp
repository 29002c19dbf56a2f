/* packet-morvastelle-call.cpp
 * MORVASTELLE Call: gives every tunnelled Q.931 message of a call the
 * call's number, state, outcome and links to its SETUP, CONNECT and first
 * clearing message, raises what went wrong in the call as expert infos,
 * and queues the records of the "morvastelle_call" tap (the plugin's call
 * statistics) and of the "voip" tap (the host's VoIP Calls and Flow
 * Sequence).
 *
 * Its post-dissector is the plugin's one analysis pass: on the first pass
 * over a file it hands every tunnelled LAPD frame to the link tracker and
 * its Q.931 message to the call tracker, both kept in the host's
 * file-scoped memory, and keeps what they found per frame; every pass
 * shows that, for MORVASTELLE Link too. GUI random access, refiltering,
 * retaps and tshark -2 all show what the first pass found. A
 * post-dissector sees a frame even when Q.931 raised an error after its
 * header, so such a frame still finds its call.
 *
 * The dissector and the post-dissector run inside the host's exception
 * frames, which are a longjmp: no C++ object with a destructor may be alive
 * in a function that calls a host routine able to raise one.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "packet-morvastelle-call.h"

#include <new>
#include <string>
#include <vector>

#include <epan/epan_dissect.h>
#include <epan/exceptions.h>
#include <epan/tap-voip.h>
#include <epan/tap.h>
#include <epan/dissectors/packet-q931.h>

#include "expert-findings.h"
#include "frame-records.h"
#include "link-tracker.h"
#include "packet-morvastelle-link.h"
#include "stats-morvastelle.h"

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
static int morvastelle_anomalies_tap = -1;
static int voip_tap = -1;
static int q931_tap = -1;
static int hf_q931_keypad_facility = -1;
static dissector_handle_t q931_ie_handle;

/* A frame record's flags, for a frame of a call. */
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

struct analysis_of_file {
    analysis_of_file()
        : tracker(&file_memory_resource), links(&file_memory_resource), records(&file_memory_resource),
          port_names(&file_memory_resource)
    {
    }
    morvastelle::call_tracker tracker;
    morvastelle::link_tracker links;
    morvastelle::frame_records records;
    /* By port index: the names as the dissector shows them. */
    std::pmr::vector<const char *> port_names;
};

/* Between the host's init and cleanup routines of a file; none while both
 * analysis layers are disabled. The host starts a file's dissection again
 * when a layer is switched on or off. */
static analysis_of_file *file_analysis;
static gboolean call_layer_enabled;
static gboolean link_layer_enabled;

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
    /* The message's own dissection reported what is wrong in these octets:
     * the host raises no expert info for a frame numbered 0, so the
     * expert tap does not get each of them a second time. */
    guint32 frame = pinfo->num;
    pinfo->num = 0;
    TRY {
        call_dissector_only(q931_ie_handle, tvb_new_subset_remaining(tvb, offset), pinfo, edt->tree, NULL);
    }
    CATCH_ALL {
        /* The message's own dissection passed these octets already. */
    }
    ENDTRY;
    pinfo->num = frame;
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

/* nstime_to_sec() of the frame's time since the first, without the call. */
static inline double
frame_time(const packet_info *pinfo)
{
    return (double)pinfo->rel_ts.secs + (double)pinfo->rel_ts.nsecs / 1e9;
}

static bool
resets_link(gint control)
{
    if ((control & 0x03) != 0x03)
        return false;
    int function = control & ~LAPD_PF_BIT;
    return function == LAPD_SABME || function == LAPD_DISC || function == LAPD_DM;
}

/* The name as the dissector shows it, once per port: ports are numbered in
 * the order they turn up. */
static void
name_port(uint32_t port, tvbuff_t *pdu_tvb, guint length)
{
    if (port == file_analysis->port_names.size())
        file_analysis->port_names.push_back(
            (const char *)tvb_get_string_enc(wmem_file_scope(), pdu_tvb, 2, (gint)length, ENC_ASCII));
}

/* The host's decoding of the message's information elements, when it has
 * one for this pass: TRUE when `message` got them. Keypad digits are only
 * looked for where they may dial. */
static gboolean
take_details(packet_info *pinfo, tvbuff_t *pdu_tvb, guint information_elements, gboolean may_dial,
             morvastelle::call_message *message)
{
    const q931_packet_info *q931 = q931_record(message->message_type);
    if (!q931)
        return FALSE;
    message->calling_number = q931->calling_number;
    message->called_number = q931->called_number;
    message->cause = q931->cause_value;
    if (may_dial && !q931->called_number)
        message->keypad = keypad_digits(pinfo, pdu_tvb, information_elements);
    return TRUE;
}

/* The Q.931 message of the PDU's frame, as the call tracker takes it.
 * Captured octets only: no host exception amid the C++ objects. */
static void
read_message(packet_info *pinfo, tvbuff_t *pdu_tvb, const morvastelle_tap_info *pdu, double time,
             morvastelle::call_message *message)
{
    const morvastelle_lapd_frame *lapd = &pdu->lapd;
    message->frame = pinfo->num;
    message->port = std::string_view((const char *)pdu->isdn_port_octets, pdu->isdn_port_length);
    message->time = time;
    /* I- and UI-frames are commands: C/R is set by the network. */
    message->from_network = lapd->cr;
    message->tei = lapd->tei;
    message->numbered = (lapd->control & 0x01) == 0;
    message->send_sequence = (guint)lapd->control >> 1;
    message->call_ref_length = (unsigned)lapd->call_ref_length;
    /* Zero past the length, as read. */
    memcpy(message->call_ref, lapd->call_ref, sizeof message->call_ref);
    message->call_ref_flag = lapd->call_ref_flag;
    message->message_type = (guint8)lapd->message_type;
    message->information_elements = pdu->octets + lapd->information_elements;
    message->information_elements_length = pdu->captured - lapd->information_elements;
    /* Only these messages may add details to their call; which of them
     * count is only known once the tracker has the message: take them all
     * now, it keeps what counts. Only the call layer shows them. */
    bool may_dial = message->message_type == morvastelle::q931_setup ||
                    message->message_type == morvastelle::q931_information;
    if (call_layer_enabled && (may_dial || morvastelle::is_clearing(message->message_type)))
        message->has_details = take_details(pinfo, pdu_tvb, lapd->information_elements, may_dial, message);
}

/* The frame's data link, for the link tracker. */
static morvastelle::link_result
track_link(packet_info *pinfo, uint32_t port, const morvastelle_tap_info *pdu)
{
    const morvastelle_lapd_frame *lapd = &pdu->lapd;
    morvastelle::link_frame frame;
    frame.frame = pinfo->num;
    frame.port = port;
    frame.sapi = lapd->sapi;
    frame.tei = lapd->tei;
    frame.cr = lapd->cr;
    frame.control = (uint8_t)lapd->control;
    frame.control2 = lapd->control2;
    if (pdu->captured > lapd->information) {
        frame.information = pdu->octets + lapd->information;
        frame.information_length = pdu->captured - lapd->information;
    }
    return file_analysis->links.add(frame);
}

/*
 * The first pass: what the frame's data link and its message show, and
 * which call the message belongs to, kept for the passes to come. The
 * link goes first: I-frames it finds lost before a new call's SETUP are not
 * that call's.
 */
static frame_record *
first_pass(packet_info *pinfo, tvbuff_t *pdu_tvb)
{
    morvastelle_tap_info pdu;
    morvastelle_read_pdu(pdu_tvb, &pdu);
    const morvastelle_lapd_frame *lapd = &pdu.lapd;
    if (pdu.type != MORVASTELLE_TYPE_LAPD || !pdu.header_whole)
        return NULL;

    morvastelle::call_tracker &tracker = file_analysis->tracker;
    double time = frame_time(pinfo);
    uint32_t port =
        tracker.port_frame(std::string_view((const char *)pdu.isdn_port_octets, pdu.isdn_port_length), time);
    name_port(port, pdu_tvb, pdu.isdn_port_length);
    if (lapd->control < 0)
        return NULL;

    morvastelle::link_result link = track_link(pinfo, port, &pdu);
    bool call_control = lapd->sapi == LAPD_SAPI_CALL_CONTROL;
    if (call_control && link.lost_frames)
        tracker.frames_lost(port, lapd->tei, link.lost_frames);
    uint32_t link_calls_up = call_control && link.link_restarted ? tracker.calls_up(port, lapd->tei) : 0;
    if (link_calls_up)
        link.findings |= morvastelle::link_reset;

    morvastelle::frame_assignment assignment;
    guint8 message_type = 0;
    guint8 pending_details = 0;
    if (lapd->message_type >= 0) {
        morvastelle::call_message message;
        read_message(pinfo, pdu_tvb, &pdu, time, &message);
        message_type = message.message_type;
        assignment = tracker.add(message, port);
        if (!message.has_details)
            pending_details = assignment.details;
    } else if (resets_link(lapd->control)) {
        tracker.link_reset(port, lapd->tei);
    }
    if (!assignment.assigned && !link.findings && !assignment.findings)
        return NULL;

    frame_record &record = file_analysis->records.add(pinfo->num);
    record.link_findings = link.findings;
    record.call_findings = assignment.findings;
    record.call_state = (guint8)assignment.state;
    record.message_type = message_type;
    record.tei = lapd->tei;
    if (assignment.assigned) {
        record.call = assignment.assigned->id + 1;
        record.flags = (lapd->cr ? CALL_FRAME_FROM_NETWORK : 0) | (assignment.started ? CALL_FRAME_STARTS_CALL : 0);
        if (pending_details)
            record.flags |= CALL_FRAME_DETAILS_PENDING | (guint8)(pending_details << CALL_FRAME_DETAILS_SHIFT);
    }
    if (link.findings || assignment.findings || assignment.retransmission_of) {
        frame_numbers &numbers = file_analysis->records.add_numbers(record);
        numbers.port = port;
        numbers.retransmission_of = assignment.retransmission_of;
        numbers.link_retransmission_of = link.retransmission_of;
        numbers.lost_frames = link.lost_frames;
        numbers.calls_up = link_calls_up ? link_calls_up : assignment.calls_up;
        numbers.cause = assignment.cause;
    }
    return &record;
}

/* A later pass, with taps, adds what the first could not. */
static void
add_pending_details(packet_info *pinfo, tvbuff_t *pdu_tvb, frame_record *record)
{
    guint8 details = record->flags >> CALL_FRAME_DETAILS_SHIFT;
    morvastelle_tap_info pdu;
    morvastelle_read_pdu(pdu_tvb, &pdu);
    morvastelle::call_message message;
    message.frame = pinfo->num;
    message.message_type = record->message_type;
    if (!take_details(pinfo, pdu_tvb, pdu.lapd.information_elements,
                      (details & (morvastelle::call_detail_numbers | morvastelle::call_detail_dialled)) != 0,
                      &message))
        return;
    file_analysis->tracker.add_details(record->call - 1, details, message);
    record->flags &= ~CALL_FRAME_DETAILS_PENDING;
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
               const frame_numbers *numbers, const call *c)
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
    if (call_items_wanted(tree)) {
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

static const char *
port_name(uint32_t port)
{
    return file_analysis->port_names[port];
}

static void
queue_call_record(packet_info *pinfo, const frame_record *frame, const frame_numbers *numbers, const call *c)
{
    morvastelle_call_tap_info *info = wmem_new(pinfo->pool, morvastelle_call_tap_info);
    info->call = c;
    info->port = &file_analysis->tracker.ports()[c->port];
    info->isdn_port = port_name(c->port);
    info->retransmission_of = call_retransmission_of(numbers);
    info->lost_frames = file_analysis->tracker.lost_frames(*c);
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
    guint32 left_out = (guint32)file_analysis->tracker.calls().size() - voip_listed_calls;
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
queue_voip_record(packet_info *pinfo, const frame_record *frame, const frame_numbers *numbers, const call *c)
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
    const char *port = port_name(c->port);
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

static void
queue_anomalies_record(packet_info *pinfo, const frame_numbers *numbers, guint16 link_findings, guint8 call_findings)
{
    morvastelle_anomalies_tap_info *info = wmem_new(pinfo->pool, morvastelle_anomalies_tap_info);
    info->isdn_port = numbers ? port_name(numbers->port) : "";
    info->link_findings = link_findings;
    info->call_findings = call_findings;
    tap_queue_packet(morvastelle_anomalies_tap, pinfo, info);
}

static void
show_call(proto_tree *tree, tvbuff_t *tvb, packet_info *pinfo, tvbuff_t *pdu_tvb, frame_record *record,
          const frame_numbers *numbers)
{
    bool items = call_items_wanted(tree);
    bool call_listener = record->call && have_tap_listener(morvastelle_call_tap);
    bool voip_listener = record->call && have_tap_listener(voip_tap);
    if (!items && !call_listener && !voip_listener && !record->call_findings)
        return;
    const call *c = record->call ? &file_analysis->tracker.calls()[record->call - 1] : NULL;
    if (c && PINFO_FD_VISITED(pinfo) && (record->flags & CALL_FRAME_DETAILS_PENDING) &&
        (items || call_listener || voip_listener))
        add_pending_details(pinfo, pdu_tvb, record);
    if ((c && items) || record->call_findings)
        add_call_items(tree, tvb, pinfo, record, numbers, c);
    if (call_listener)
        queue_call_record(pinfo, record, numbers, c);
    if (voip_listener)
        queue_voip_record(pinfo, record, numbers, c);
}

static int
dissect_morvastelle_analysis(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data _U_)
{
    tvbuff_t *pdu_tvb = morvastelle_packet_dissected(pinfo);
    if (!pdu_tvb || !file_analysis)
        return 0;

    frame_record *record =
        PINFO_FD_VISITED(pinfo) ? file_analysis->records.find(pinfo->num) : first_pass(pinfo, pdu_tvb);
    if (!record)
        return 0;
    const frame_numbers *numbers = file_analysis->records.find_numbers(*record);
    guint16 link_findings = link_layer_enabled ? record->link_findings : 0;
    guint8 call_findings = call_layer_enabled ? record->call_findings : 0;
    if (link_findings)
        morvastelle_link_show(tree, tvb, pinfo, link_findings, numbers);
    if (call_layer_enabled)
        show_call(tree, tvb, pinfo, pdu_tvb, record, numbers);
    if ((link_findings || call_findings) && have_tap_listener(morvastelle_anomalies_tap))
        queue_anomalies_record(pinfo, numbers, link_findings, call_findings);
    return tvb_captured_length(tvb);
}

static void
morvastelle_analysis_init(void)
{
    call_layer_enabled = proto_is_protocol_enabled(morvastelle_call_protocol);
    link_layer_enabled = morvastelle_link_enabled();
    if (call_layer_enabled || link_layer_enabled)
        file_analysis = new (wmem_alloc(wmem_file_scope(), sizeof(analysis_of_file))) analysis_of_file();
}

static void
morvastelle_analysis_cleanup(void)
{
    /* Its memory goes with the file scope, right after this. */
    if (file_analysis)
        file_analysis->~analysis_of_file();
    file_analysis = NULL;
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
            "Calls of the port (SETUP seen, not yet released) when the RESTART came", HFILL }
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
    morvastelle_anomalies_tap = register_tap("morvastelle_anomalies");
    register_init_routine(morvastelle_analysis_init);
    register_cleanup_routine(morvastelle_analysis_cleanup);
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
    register_postdissector(create_dissector_handle(dissect_morvastelle_analysis, -1));
    q931_tap = find_tap_id("q931");
    q931_ie_handle = find_dissector_add_dependency("q931.ie", proto_morvastelle_call);
    hf_q931_keypad_facility = proto_registrar_get_id_byname("q931.keypad_facility");
    handoff_done = TRUE;
}
