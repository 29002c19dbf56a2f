/* packet-morvastelle-analysis.cpp
 * The analysis post-dissector. On the first pass over a file it reads each
 * tunnelled frame (its gateway, port, LAPD frame and Q.931 message) and
 * hands it to the file's analysis, kept in the host's file-scoped memory;
 * every pass hands the record the first pass left to MORVASTELLE Link and
 * MORVASTELLE Call, so GUI random access, refiltering, retaps and tshark -2
 * all show what the first pass found. A post-dissector sees a frame even
 * when Q.931 raised an error after its header, so such a frame still finds
 * its call.
 *
 * It runs inside the host's exception frames, which are a longjmp: no C++
 * object with a destructor may be alive in a function that calls a host
 * routine able to raise one.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "packet-morvastelle-analysis.h"

#include <new>
#include <type_traits>

#include <epan/epan_dissect.h>
#include <epan/exceptions.h>
#include <epan/tap.h>
#include <epan/dissectors/packet-q931.h>

#include "capture-analysis.h"
#include "packet-morvastelle.h"
#include "packet-morvastelle-call.h"
#include "packet-morvastelle-link.h"

/* What the first pass keeps on the stack while it calls the host, which
 * may longjmp past it. */
static_assert(std::is_trivially_destructible_v<morvastelle::analysed_frame> &&
                  std::is_trivially_destructible_v<morvastelle::frame_result> &&
                  std::is_trivially_destructible_v<morvastelle_call_frame>,
              "nothing to destroy where the host may raise");

using morvastelle::frame_numbers;
using morvastelle::frame_record;

static int morvastelle_anomalies_tap = -1;
static int q931_tap = -1;
static int hf_q931_keypad_facility = -1;
static dissector_handle_t q931_ie_handle;

/* Hands the analysis the host's file-scoped memory: freed with the file. */
class file_memory : public std::pmr::memory_resource {
    void *do_allocate(size_t bytes, size_t) override { return wmem_alloc(wmem_file_scope(), bytes); }
    void do_deallocate(void *p, size_t, size_t) override { wmem_free(wmem_file_scope(), p); }
    bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override { return this == &other; }
};

static file_memory file_memory_resource;

struct analysis_of_file {
    analysis_of_file() : analysis(&file_memory_resource), names(&file_memory_resource) {}
    morvastelle::capture_analysis analysis;
    /* By the registry's name index: as the dissector shows them. */
    std::pmr::vector<const char *> names;
};

/* Between the host's init and cleanup routines of a file; none while both
 * analysis layers are disabled. The host starts a file's dissection again
 * when a layer is switched on or off. */
static analysis_of_file *file_analysis;
static gboolean call_layer_enabled;
static gboolean link_layer_enabled;

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

/* The numbers the host decoded from the message, when it has them for this
 * pass: TRUE when `message` got them. Keypad digits are only looked for
 * where they may dial. */
static gboolean
take_details(packet_info *pinfo, tvbuff_t *pdu_tvb, guint information_elements,
             morvastelle::call_message *message)
{
    const q931_packet_info *q931 = q931_record(message->message_type);
    if (!q931)
        return FALSE;
    message->calling_number = q931->calling_number;
    message->called_number = q931->called_number;
    if (!q931->called_number)
        message->keypad = keypad_digits(pinfo, pdu_tvb, information_elements);
    return TRUE;
}

/* The frame as the analysis takes it, from the PDU's captured octets.
 * Only SETUP and INFORMATION may dial, and only the call layer shows their
 * numbers. */
static void
read_frame(packet_info *pinfo, tvbuff_t *pdu_tvb, const morvastelle_tap_info *pdu, morvastelle::analysed_frame *frame)
{
    const morvastelle_lapd_frame *lapd = &pdu->lapd;
    frame->number = pinfo->num;
    frame->time = frame_time(pinfo);
    frame->source = morvastelle_network_address(&pinfo->src);
    frame->destination = morvastelle_network_address(&pinfo->dst);
    frame->port_name = std::string_view((const char *)pdu->isdn_port_octets, pdu->isdn_port_length);
    if (lapd->control < 0)
        return;
    frame->has_lapd = true;
    morvastelle::link_frame &link = frame->lapd;
    link.frame = pinfo->num;
    link.sapi = lapd->sapi;
    link.tei = lapd->tei;
    link.cr = lapd->cr;
    link.control = (uint8_t)lapd->control;
    link.control2 = lapd->control2;
    if (pdu->captured > lapd->information) {
        link.information = pdu->octets + lapd->information;
        link.information_length = pdu->captured - lapd->information;
    }
    if (lapd->message_type < 0)
        return;

    frame->has_message = true;
    frame->protocol_discriminator = pdu->octets[lapd->information];
    morvastelle::call_message &message = frame->message;
    message.frame = pinfo->num;
    message.time = frame->time;
    /* I- and UI-frames are commands: C/R is set by the network. */
    message.from_network = lapd->cr;
    message.tei = lapd->tei;
    if ((lapd->control & 0x01) == 0) {
        message.send_sequence = lapd->control >> 1;
        message.receive_sequence = lapd->control2 >> 1;
    }
    message.call_ref_length = (unsigned)lapd->call_ref_length;
    /* Zero past the length, as read. */
    memcpy(message.call_ref, lapd->call_ref, sizeof message.call_ref);
    message.call_ref_flag = lapd->call_ref_flag;
    message.message_type = (guint8)lapd->message_type;
    message.elements.octets = pdu->octets + lapd->information_elements;
    message.elements.length = pdu->captured - lapd->information_elements;
    bool may_dial = message.message_type == morvastelle::q931_setup ||
                    message.message_type == morvastelle::q931_information;
    if (call_layer_enabled && may_dial && frame->protocol_discriminator == morvastelle::q931_discriminator)
        message.has_details = take_details(pinfo, pdu_tvb, lapd->information_elements, &message);
}

/* The name as the dissector shows it, once per distinct name. */
static void
name_port(uint32_t port, tvbuff_t *pdu_tvb, guint length)
{
    uint32_t name = file_analysis->analysis.ports.port(port).name;
    if (name == file_analysis->names.size())
        file_analysis->names.push_back(
            (const char *)tvb_get_string_enc(wmem_file_scope(), pdu_tvb, 2, (gint)length, ENC_ASCII));
}

static const char *
port_name(uint32_t port)
{
    return file_analysis->names[file_analysis->analysis.ports.port(port).name];
}

static morvastelle_call_frame
call_frame(const frame_record *record, const frame_numbers *numbers, const morvastelle::call *c)
{
    morvastelle_call_frame frame;
    frame.record = record;
    frame.numbers = numbers;
    frame.call = c;
    frame.analysis = &file_analysis->analysis;
    frame.port_names = file_analysis->names.data();
    return frame;
}

/* The first pass: what the frame shows, kept for the passes to come. Calls
 * that the frame ended without being theirs go to the call statistics
 * now, as a one-pass reading has no later pass to show them. */
static frame_record *
first_pass(packet_info *pinfo, tvbuff_t *pdu_tvb, const guint8 *octets, guint captured)
{
    morvastelle_tap_info pdu;
    morvastelle_read_pdu(octets, captured, &pdu);
    if (pdu.type != MORVASTELLE_TYPE_LAPD || !pdu.header_whole)
        return NULL;
    morvastelle::analysed_frame frame;
    read_frame(pinfo, pdu_tvb, &pdu, &frame);
    morvastelle::frame_result result = file_analysis->analysis.add(frame);
    if (result.new_port)
        name_port(result.port, pdu_tvb, pdu.isdn_port_length);
    if (call_layer_enabled) {
        for (uint32_t id : *result.calls_changed) {
            morvastelle_call_frame changed = call_frame(NULL, NULL, &file_analysis->analysis.calls.calls()[id]);
            morvastelle_call_changed(pinfo, &changed);
        }
    }
    return result.record;
}

/* A later pass, with taps, adds what the first could not. */
static void
add_pending_details(packet_info *pinfo, tvbuff_t *pdu_tvb, const guint8 *octets, guint captured,
                    frame_record *record)
{
    guint8 details = record->flags >> morvastelle::frame_details_shift;
    morvastelle_tap_info pdu;
    morvastelle_read_pdu(octets, captured, &pdu);
    morvastelle::call_message message;
    message.frame = pinfo->num;
    message.message_type = record->message_type;
    if (!take_details(pinfo, pdu_tvb, pdu.lapd.information_elements, &message))
        return;
    file_analysis->analysis.calls.add_details(record->call - 1, details, message);
    record->flags &= ~morvastelle::frame_details_pending;
}

static void
queue_anomalies_record(packet_info *pinfo, const frame_numbers *numbers, guint16 link_findings, guint8 call_findings)
{
    morvastelle_anomalies_tap_info *info = wmem_new(pinfo->pool, morvastelle_anomalies_tap_info);
    info->ports = &file_analysis->analysis.ports;
    info->port = numbers ? numbers->port : 0;
    info->isdn_port = numbers ? port_name(numbers->port) : "";
    info->link_findings = link_findings;
    info->call_findings = call_findings;
    tap_queue_packet(morvastelle_anomalies_tap, pinfo, info);
}

static int
dissect_morvastelle_analysis(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data _U_)
{
    const guint8 *octets;
    guint captured;
    tvbuff_t *pdu_tvb = morvastelle_packet_dissected(pinfo, &octets, &captured);
    if (!pdu_tvb || !file_analysis)
        return 0;

    frame_record *record = PINFO_FD_VISITED(pinfo) ? file_analysis->analysis.records.find(pinfo->num)
                                                   : first_pass(pinfo, pdu_tvb, octets, captured);
    if (!record)
        return 0;
    const frame_numbers *numbers = file_analysis->analysis.records.find_numbers(*record);
    guint16 link_findings = link_layer_enabled ? record->link_findings : 0;
    guint8 call_findings = call_layer_enabled ? record->call_findings : 0;
    if (link_findings)
        morvastelle_link_show(tree, tvb, pinfo, link_findings, numbers);
    if (call_layer_enabled && (call_findings || record->call)) {
        const morvastelle::call *c =
            record->call ? &file_analysis->analysis.calls.calls()[record->call - 1] : NULL;
        if (c && PINFO_FD_VISITED(pinfo) && (record->flags & morvastelle::frame_details_pending) &&
            morvastelle_call_wanted(tree))
            add_pending_details(pinfo, pdu_tvb, octets, captured, record);
        morvastelle_call_frame frame = call_frame(record, numbers, c);
        morvastelle_call_show(tree, tvb, pinfo, &frame);
    }
    if ((link_findings || call_findings) && have_tap_listener(morvastelle_anomalies_tap))
        queue_anomalies_record(pinfo, numbers, link_findings, call_findings);
    return tvb_captured_length(tvb);
}

static void
morvastelle_analysis_init(void)
{
    call_layer_enabled = morvastelle_call_enabled();
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
proto_register_morvastelle_analysis(void)
{
    morvastelle_anomalies_tap = register_tap("morvastelle_anomalies");
    register_init_routine(morvastelle_analysis_init);
    register_cleanup_routine(morvastelle_analysis_cleanup);
}

void
proto_reg_handoff_morvastelle_analysis(void)
{
    static gboolean handoff_done = FALSE;
    if (handoff_done)
        return;

    /* Without a protocol the host calls it for every packet at little cost,
     * also while both layers are disabled: it puts back the addresses of
     * tunnelled frames that raised an error, and checks for itself whether
     * a layer is on. */
    register_postdissector(create_dissector_handle(dissect_morvastelle_analysis, -1));
    q931_tap = find_tap_id("q931");
    q931_ie_handle = find_dissector("q931.ie");
    hf_q931_keypad_facility = proto_registrar_get_id_byname("q931.keypad_facility");
    handoff_done = TRUE;
}
