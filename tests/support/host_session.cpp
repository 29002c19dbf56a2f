/* host_session.cpp
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "host_session.h"

#include <epan/epan.h>
#include <epan/prefs.h>
#include <epan/proto.h>
#include <epan/column.h>
#include <epan/timestamp.h>
#include <epan/tvbuff.h>
#include <wsutil/exported_pdu_tlvs.h>
#include <wsutil/privileges.h>

#include "host-version.h"

extern "C" void plugin_register(void);

static epan_t *host_epan;
static struct packet_provider_funcs host_provider_funcs;
static column_info host_columns;
static guint32 host_frame_number;

/* Every frame of these sessions is stamped at the epoch. */
static const nstime_t *
epoch_frame_ts(struct packet_provider_data *, guint32)
{
    static const nstime_t epoch = { 0, 0 };
    return &epoch;
}

void
host_start(void)
{
    if (host_epan)
        return;

    init_process_policies();
    wtap_init(FALSE);
    plugin_register();
    epan_init(NULL, NULL, FALSE);
    epan_load_settings();

    /* Value-initialised: newer hosts add members after these. */
    host_provider_funcs = {};
    host_provider_funcs.get_frame_ts = epoch_frame_ts;
    host_epan = epan_new(NULL, &host_provider_funcs);

    /* As tshark does: the time column has no format until one is chosen. */
    timestamp_set_type(TS_RELATIVE);
    timestamp_set_precision(TS_PREC_FIXED_SEC);
    timestamp_set_seconds_type(TS_SECONDS_DEFAULT);
    build_column_format_array(&host_columns, prefs.num_cols, TRUE);
}

std::vector<guint8>
exported_pdu_record(const char *dissector_name, const guint8 *payload, size_t length, const guint8 *ipv4_source)
{
    std::string name(dissector_name);
    std::vector<guint8> record;
    record.push_back(0);
    record.push_back(EXP_PDU_TAG_DISSECTOR_NAME);
    record.push_back(static_cast<guint8>(name.size() >> 8));
    record.push_back(static_cast<guint8>(name.size()));
    record.insert(record.end(), name.begin(), name.end());
    if (ipv4_source) {
        static const guint8 collector[4] = {198, 51, 100, 1};
        for (const guint8 *address : {ipv4_source, collector}) {
            guint8 tag = address == collector ? EXP_PDU_TAG_IPV4_DST : EXP_PDU_TAG_IPV4_SRC;
            record.insert(record.end(), {0, tag, 0, 4});
            record.insert(record.end(), address, address + 4);
        }
    }
    /* End of options: tag 0, length 0. */
    record.insert(record.end(), 4, 0);
    record.insert(record.end(), payload, payload + length);
    return record;
}

/* As a file reader hands a frame to the host. */
static void
fill_record(wtap_rec *rec, const guint8 *record, size_t length)
{
#if MORVASTELLE_HOST_AT_LEAST(4, 6)
    /* The record carries its own bytes and the name of its type; the host
     * makes the tvb from them. */
    wtap_rec_init(rec, length);
    wtap_setup_packet_rec(rec, WTAP_ENCAP_WIRESHARK_UPPER_PDU);
    ws_buffer_append(&rec->data, record, length);
#else
    (void)record;
    wtap_rec_init(rec);
    rec->rec_type = REC_TYPE_PACKET;
    rec->rec_header.packet_header.pkt_encap = WTAP_ENCAP_WIRESHARK_UPPER_PDU;
#endif
    rec->presence_flags = WTAP_HAS_TS | WTAP_HAS_CAP_LEN;
    rec->rec_header.packet_header.caplen = static_cast<guint32>(length);
    rec->rec_header.packet_header.len = static_cast<guint32>(length);
}

host_file::host_file()
{
    host_start();
    /* What closing a file and opening the next does to the host's
     * dissection state: its cleanup routines, then its init routines. */
    epan_free(host_epan);
    host_epan = epan_new(NULL, &host_provider_funcs);
}

host_file::~host_file()
{
    for (frame_data &fd : frame_data_)
        frame_data_destroy(&fd);
}

void
host_file::add(const std::vector<guint8> &record)
{
    records_.push_back(record);
    wtap_rec rec;
    fill_record(&rec, record.data(), record.size());
    frame_data_init(&frame_data_.emplace_back(), static_cast<guint32>(records_.size()), &rec, 0, 0);
    wtap_rec_cleanup(&rec);
}

host_dissection::host_dissection(host_file &file, size_t index, const options &opts)
    : fd_(&file.frame_data_.at(index))
{
    dissect(file.records_[index].data(), file.records_[index].size(), opts);
}

host_dissection::host_dissection(const std::vector<guint8> &record, const options &opts)
    : record_(record)
{
    dissect(record_.data(), record_.size(), opts);
}

host_dissection::host_dissection(const guint8 *record, size_t length, const options &opts)
{
    dissect(record, length, opts);
}

void
host_dissection::dissect(const guint8 *record, size_t length, const options &opts)
{
    host_start();
    fill_record(&rec_, record, length);
    if (fd_ == &own_fd_)
        frame_data_init(&own_fd_, ++host_frame_number, &rec_, 0, 0);

    epan_dissect_init(&edt_, host_epan, opts.tree, opts.visible);
    for (const std::string &field : opts.primed_fields)
        epan_dissect_prime_with_hfid(&edt_, proto_registrar_get_id_byname(field.c_str()));
    for (int field_id : opts.primed_field_ids)
        epan_dissect_prime_with_hfid(&edt_, field_id);

    column_info *columns = opts.columns ? &host_columns : NULL;
#if MORVASTELLE_HOST_AT_LEAST(4, 6)
    if (opts.taps)
        epan_dissect_run_with_taps(&edt_, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, &rec_, fd_, columns);
    else
        epan_dissect_run(&edt_, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, &rec_, fd_, columns);
#else
    tvbuff_t *tvb = tvb_new_real_data(record, static_cast<guint>(length), static_cast<gint>(length));
    if (opts.taps)
        epan_dissect_run_with_taps(&edt_, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, &rec_, tvb, fd_, columns);
    else
        epan_dissect_run(&edt_, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, &rec_, tvb, fd_, columns);
#endif
}

host_dissection::~host_dissection()
{
    epan_dissect_cleanup(&edt_);
    if (fd_ == &own_fd_)
        frame_data_destroy(&own_fd_);
    wtap_rec_cleanup(&rec_);
}

std::string
host_dissection::column(int col_format)
{
    const gchar *text = col_get_text(&host_columns, col_format);
    return text ? text : "";
}

static fvalue_t *
field_value(field_info *fi)
{
#if MORVASTELLE_HOST_AT_LEAST(4, 2)
    return fi->value;
#else
    return &fi->value;
#endif
}

static std::string
field_label(field_info *fi)
{
    if (fi->rep)
        return fi->rep->representation;
    if (fi->hfinfo->type != FT_PROTOCOL) {
        gchar label[ITEM_LABEL_LENGTH];
#if MORVASTELLE_HOST_AT_LEAST(4, 6)
        proto_item_fill_label(fi, label, NULL);
#else
        proto_item_fill_label(fi, label);
#endif
        return label;
    }
    return "";
}

struct walk_state {
    std::vector<shown_field> *fields;
    int depth;
};

static void
collect_field(proto_node *node, gpointer data)
{
    walk_state *state = static_cast<walk_state *>(data);
    field_info *fi = PNODE_FINFO(node);
    if (fi && fi->hfinfo) {
        shown_field field;
        field.abbrev = fi->hfinfo->abbrev;
        field.start = fi->start;
        field.length = fi->length;
        char *value = fvalue_to_string_repr(NULL, field_value(fi), FTREPR_DFILTER, BASE_NONE);
        field.value = value ? value : "";
        wmem_free(NULL, value);
        field.label = field_label(fi);
        field.depth = state->depth;
        state->fields->push_back(field);
    }
    walk_state child = { state->fields, state->depth + 1 };
    proto_tree_children_foreach(node, collect_field, &child);
}

std::vector<shown_field>
shown_fields(proto_tree *tree)
{
    std::vector<shown_field> fields;
    if (tree) {
        walk_state state = { &fields, 0 };
        proto_tree_children_foreach(tree, collect_field, &state);
    }
    return fields;
}
