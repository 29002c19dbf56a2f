/* morvastelle_fuzzer.cpp
 * libFuzzer target: every input is a sequence of MORVASTELLE PDUs, handed
 * by name to the plugin inside the real host library as the consecutive
 * frames of a file of their own, so LAPD and Q.931 below it run on the same
 * bytes, the call layer follows calls across them, and the plugin's
 * statistics (the calls table, the outcomes, ports and anomalies trees) and the
 * host's VoIP Calls tap get its records.
 *
 * The PDUs of an input are separated by the five octets "<PDU>": an input
 * without them is one PDU, as every seed from the sample capture is, and a
 * PDU cannot contain them. Each frame is stamped at the epoch.
 *
 * Every input is a file of its own, opened through the host's cleanup and
 * init of a file, so the call layer's tracker starts empty and a report
 * reproduces from the one input that caused it. It is read with a later
 * pass over its visited frames: an input of even length as the GUI reads a
 * file (taps on the first pass, then a retap with a tree), one of odd
 * length as tshark -2 does (a first pass without taps, here with the call
 * layer's fields primed as a read filter would, then a pass with taps). The
 * later pass must give each frame the call and the link to a repeated frame
 * that the first pass gave it, and no pass a frame a call of another port,
 * call reference or originating side. It must give each frame the findings
 * of MORVASTELLE Link and MORVASTELLE Call the first gave it too, each as
 * an expert info under its layer's name, three a layer at most, and the same as
 * the frame's anomalies record; where both passes run taps, the host's
 * expert tap must get every expert info of the first, of any protocol,
 * from the later one too.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sanitizer/lsan_interface.h>
#include <unistd.h>

#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/stat_tap_ui.h>
#include <epan/stats_tree_priv.h>
#include <epan/tap.h>
#include <epan/tap-voip.h>

#include "host_session.h"
#include "packet-morvastelle.h"
#include "packet-morvastelle-analysis.h"
#include "packet-morvastelle-call.h"
#include "packet-morvastelle-link.h"

static const char pdu_separator[] = "<PDU>";

static void
fail(const char *what, const char *detail)
{
    fprintf(stderr, "%s: %s\n", what, detail ? detail : "");
    abort();
}

static void
fail_at(const char *what, guint32 frame)
{
    fail(what, ("frame " + std::to_string(frame)).c_str());
}

/* What a pass showed of one frame. */
struct frame_seen {
    guint32 call = 0;            /* the call's number, 0 for none */
    guint32 retransmission_of = 0;
    /* The analysis layers' findings, by their expert infos' fields: from
     * the expert tap, or from the primed fields of a pass without taps. */
    std::vector<int> findings;
    /* From a pass with taps: every expert info of the frame,
     * "protocol: summary", and the findings of its anomalies record. */
    std::vector<std::string> expert_infos;
    std::vector<int> anomalies;
    bool anomalies_record = false;
    bool operator==(const frame_seen &other) const
    {
        return call == other.call && retransmission_of == other.retransmission_of && findings == other.findings;
    }
};

/* More on one frame would mean a rule fires where it should not: an
 * S-frame's T200 poll, lost frames and RNR or REJ are the most the link
 * layer finds in one frame, a message of a call not set up with a cause
 * of a protocol error about the most the call layer finds. */
static const size_t max_findings_per_layer = 3;

/* The analysis layers' findings, by their expert infos' fields. */
struct finding_kind {
    const char *name;            /* the expert info's filter name */
    const char *layer;           /* the protocol it must name */
};
static std::vector<finding_kind> finding_kinds;
static std::vector<int> finding_fields;    /* by kind */
static std::vector<int> link_finding_fields, call_finding_fields;  /* by bit */

/* The frame's PDU as the "morvastelle" tap saw it in this pass. */
struct pdu_seen {
    guint32 frame = 0;
    std::string isdn_port;
    gint call_ref_length = -1;
    gboolean call_ref_flag = FALSE;
    guint8 call_ref[15] = {};
    gboolean cr = FALSE;
};

static std::vector<frame_seen> pass_seen;
static pdu_seen last_pdu;

/* Reads every octet of the tap record, so the sanitizers see the plugin's
 * pointer into the packet's port name. */
static volatile size_t tap_record_sum;
static volatile size_t statistics_sum;

static tap_packet_status
read_tap_record(void *, packet_info *pinfo, epan_dissect_t *, const void *data, tap_flags_t)
{
    const morvastelle_tap_info *info = static_cast<const morvastelle_tap_info *>(data);
    tap_record_sum = info->type + info->header_whole + info->pdu_length + info->lapd.control +
           (info->isdn_port ? strlen(info->isdn_port) : 0);
    last_pdu.frame = pinfo->num;
    last_pdu.isdn_port = info->isdn_port ? info->isdn_port : "";
    last_pdu.call_ref_length = info->lapd.call_ref_length;
    last_pdu.call_ref_flag = info->lapd.call_ref_flag;
    last_pdu.cr = info->lapd.cr;
    if (info->lapd.call_ref_length > 0)
        memcpy(last_pdu.call_ref, info->lapd.call_ref, (size_t)info->lapd.call_ref_length);
    return TAP_PACKET_DONT_REDRAW;
}

static size_t
read_call(const morvastelle::call *c)
{
    char call_ref[2 * morvastelle::max_call_ref_length + 1];
    c->call_ref_text(call_ref);
    double times = c->start + c->connect_time + c->clearing_time + c->alerting_time + c->dialling_end +
                   c->end_time + c->answer_delay() + c->connected_duration();
    return strlen(call_ref) + c->calling_number.size() + strlen(c->calling_number.c_str()) +
           c->called_number.size() + strlen(c->called_number.c_str()) + (std::isnan(times) ? 1 : 0) + c->id +
           c->port + c->frames + c->setup_frame + c->connect_frame + c->clearing_frame + c->cause +
           c->network_originated + c->setup_seen + c->connected + c->cleared + c->cleared_by_calling_side +
           c->ended + c->called_from_keypad + c->resumed + c->broadcast + c->link_tei + c->channel +
           (size_t)c->leg.state + strlen(morvastelle::call_outcome_name(c->outcome()));
}

static bool
same_call_ref(const morvastelle::call *c, const pdu_seen &pdu)
{
    return pdu.call_ref_length == c->call_ref_length &&
           memcmp(pdu.call_ref, c->call_ref, c->call_ref_length) == 0;
}

/* Every field of the call layer's record read; the frame's call must be one
 * of its port, reference and originating side, or one it resumed. A record
 * of a call that another frame changed is no frame's of the call. */
static tap_packet_status
read_call_record(void *, packet_info *pinfo, epan_dissect_t *, const void *data, tap_flags_t)
{
    const morvastelle_call_tap_info *info = static_cast<const morvastelle_call_tap_info *>(data);
    const morvastelle::call *c = info->call;
    tap_record_sum = read_call(c) + info->ports->name(c->port).size() + info->port->calls +
                     (size_t)(info->port->first_frame_time + info->port->last_frame_time) +
                     strlen(info->isdn_port) + info->message_type + info->from_network;
    if (!info->frame_of_call)
        return TAP_PACKET_DONT_REDRAW;

    guint32 frame = pinfo->num;
    if (frame == 0 || frame > pass_seen.size())
        fail_at("morvastelle_call: a record for a frame not in the file", frame);
    if (last_pdu.frame != frame)
        fail_at("morvastelle_call: a record for a frame without a MORVASTELLE record", frame);
    if (last_pdu.isdn_port != info->isdn_port)
        fail_at("morvastelle_call: the frame's call is on another port", frame);
    if (!c->resumed && !same_call_ref(c, last_pdu))
        fail_at("morvastelle_call: the frame's call has another call reference", frame);
    bool network_originated = last_pdu.call_ref_flag ? !last_pdu.cr : last_pdu.cr;
    if (!c->resumed && c->network_originated != network_originated)
        fail_at("morvastelle_call: the frame's call was originated by the other side", frame);
    if (info->retransmission_of >= frame)
        fail_at("morvastelle_call: a retransmission of a later frame", frame);
    if (info->retransmission_of && pass_seen[info->retransmission_of - 1].call != c->id + 1)
        fail_at("morvastelle_call: a retransmission of another call's frame", frame);
    pass_seen[frame - 1].call = c->id + 1;
    pass_seen[frame - 1].retransmission_of = info->retransmission_of;
    return TAP_PACKET_DONT_REDRAW;
}

static const finding_kind *
finding_of(int hf_index)
{
    for (size_t i = 0; i < finding_fields.size(); i++)
        if (finding_fields[i] == hf_index)
            return &finding_kinds[i];
    return NULL;
}

static std::string
finding_names(const std::vector<int> &findings)
{
    std::string names;
    for (int hf_index : findings)
        names += std::string(names.empty() ? "" : " ") + proto_registrar_get_abbrev(hf_index);
    return names.empty() ? "none" : names;
}

static std::string
joined(const std::vector<std::string> &texts)
{
    std::string all;
    for (const std::string &text : texts)
        all += "[" + text + "]";
    return all.empty() ? "none" : all;
}

static bool
is_layer_name(const char *protocol)
{
    return protocol && (strcmp(protocol, "MORVASTELLE Link") == 0 || strcmp(protocol, "MORVASTELLE Call") == 0);
}

/* A finding names its layer, and the layers raise nothing but findings. */
static tap_packet_status
read_expert_info(void *, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    const expert_info_t *info = static_cast<const expert_info_t *>(data);
    guint32 frame = info->packet_num;
    if (frame == 0 || frame > pass_seen.size())
        fail_at("expert: an expert info for a frame not in the file", frame);
    const char *protocol = info->protocol ? info->protocol : "(none)";
    pass_seen[frame - 1].expert_infos.push_back(std::string(protocol) + ": " + info->summary);
    const finding_kind *finding = info->hf_index > 0 ? finding_of(info->hf_index) : NULL;
    if (!finding && !is_layer_name(info->protocol))
        return TAP_PACKET_DONT_REDRAW;
    if (!finding)
        fail_at(("expert: an expert info of " + std::string(protocol) + " that is no finding").c_str(), frame);
    if (strcmp(protocol, finding->layer) != 0)
        fail_at((std::string("expert: ") + finding->name + " under the name " + protocol).c_str(), frame);
    if (strcmp(info->summary, proto_registrar_get_nth(info->hf_index)->name) != 0)
        fail_at((std::string("expert: ") + finding->name + " with another summary").c_str(), frame);
    pass_seen[frame - 1].findings.push_back(info->hf_index);
    return TAP_PACKET_DONT_REDRAW;
}

static void
add_findings(std::vector<int> &fields, const std::vector<int> &by_bit, guint bits)
{
    for (size_t bit = 0; bit < by_bit.size(); bit++)
        if (bits & (1u << bit))
            fields.push_back(by_bit[bit]);
    if (bits >> by_bit.size())
        fail("morvastelle_anomalies: a finding bit of no finding", std::to_string(bits).c_str());
}

static tap_packet_status
read_anomalies_record(void *, packet_info *pinfo, epan_dissect_t *, const void *data, tap_flags_t)
{
    const morvastelle_anomalies_tap_info *info = static_cast<const morvastelle_anomalies_tap_info *>(data);
    guint32 frame = pinfo->num;
    if (frame == 0 || frame > pass_seen.size())
        fail_at("morvastelle_anomalies: a record for a frame not in the file", frame);
    if (last_pdu.frame != frame)
        fail_at("morvastelle_anomalies: a record for a frame without a MORVASTELLE record", frame);
    if (last_pdu.isdn_port != info->isdn_port)
        fail_at("morvastelle_anomalies: the record names another port", frame);
    frame_seen &seen = pass_seen[frame - 1];
    if (seen.anomalies_record)
        fail_at("morvastelle_anomalies: two records for one frame", frame);
    if (!info->link_findings && !info->call_findings)
        fail_at("morvastelle_anomalies: a record without findings", frame);
    seen.anomalies_record = true;
    add_findings(seen.anomalies, link_finding_fields, info->link_findings);
    add_findings(seen.anomalies, call_finding_fields, info->call_findings);
    return TAP_PACKET_DONT_REDRAW;
}

/* What one frame showed in a pass, taken as a whole. */
static void
check_frame(frame_seen &seen, guint32 frame, bool taps)
{
    std::sort(seen.findings.begin(), seen.findings.end());
    if (std::adjacent_find(seen.findings.begin(), seen.findings.end()) != seen.findings.end())
        fail_at(("a finding raised twice: " + finding_names(seen.findings)).c_str(), frame);
    size_t link_findings = (size_t)std::count_if(seen.findings.begin(), seen.findings.end(), [](int hf_index) {
        return strcmp(finding_of(hf_index)->layer, "MORVASTELLE Link") == 0;
    });
    if (link_findings > max_findings_per_layer || seen.findings.size() - link_findings > max_findings_per_layer)
        fail_at(("too many findings: " + finding_names(seen.findings)).c_str(), frame);
    if (!taps)
        return;
    std::sort(seen.anomalies.begin(), seen.anomalies.end());
    if (seen.anomalies != seen.findings)
        fail_at(("morvastelle_anomalies: the record has " + finding_names(seen.anomalies) + ", the expert tap " +
                 finding_names(seen.findings))
                    .c_str(),
                frame);
    std::sort(seen.expert_infos.begin(), seen.expert_infos.end());
}

static size_t
address_length(const address &side)
{
    return side.type == AT_STRINGZ ? strlen(static_cast<const char *>(side.data)) : (size_t)side.len;
}

/* As the host's VoIP Calls reads its records. */
static tap_packet_status
read_voip_record(void *, packet_info *pinfo, epan_dissect_t *, const void *data, tap_flags_t)
{
    const voip_packet_info_t *info = static_cast<const voip_packet_info_t *>(data);
    const char *texts[] = { info->protocol_name, info->call_id, info->from_identity, info->to_identity,
                            info->call_comment, info->frame_label, info->frame_comment };
    size_t sum = info->call_state + info->call_active_state + address_length(pinfo->src) + address_length(pinfo->dst);
    for (const char *text : texts)
        sum += text ? strlen(text) : 0;
    tap_record_sum = sum;
    return TAP_PACKET_DONT_REDRAW;
}

/* MORVASTELLE_FUZZ_SHOW=1 prints each frame's findings and what the
 * statistics show after each pass, for looking into a reproducer. */
static bool show_statistics;

/* MORVASTELLE_FUZZ_FILES=N ends the process after N inputs (run.sh's forked
 * jobs): the host keeps memory from every file it opens. */
static unsigned long files_per_process;
static unsigned long files_read;

static stat_tap_table_ui *calls_table;
static stat_data_t calls_table_data;
static std::vector<stats_tree *> trees;

/* As the GUI's table dialogs reset theirs, so the table's own reset runs
 * as well as the call feed's. */
static void
reset_calls_table(void *tapdata)
{
    reset_stat_table(static_cast<stat_data_t *>(tapdata)->stat_tap_data);
}

/* As tshark's -z morvastelle.calls registers it. */
static void
start_calls_table(void)
{
    calls_table = stat_tap_by_name("morvastelle.calls");
    if (!calls_table)
        fail("no table", "morvastelle.calls");
    calls_table->stat_tap_init_cb(calls_table);
    calls_table_data.stat_tap_data = calls_table;
    GString *error = register_tap_listener(calls_table->tap_name, &calls_table_data, NULL, 0,
                                           reset_calls_table, calls_table->packet_func, NULL, NULL);
    if (error)
        fail("morvastelle.calls", error->str);
}

/* As tshark's -z ABBR,tree registers it. */
static void
start_tree(const char *abbr)
{
    stats_tree_cfg *cfg = stats_tree_get_cfg_by_abbr(abbr);
    if (!cfg)
        fail("no stats tree", abbr);
    stats_tree *st = stats_tree_new(cfg, NULL, NULL);
    GString *error = register_tap_listener(cfg->tapname, st, st->filter, cfg->flags, stats_tree_reset,
                                           stats_tree_packet, NULL, NULL);
    if (error)
        fail(abbr, error->str);
    if (cfg->init)
        cfg->init(st);
    trees.push_back(st);
}

/* The host's reset empties the call trackers and the tables' rows; the
 * tables themselves and the trees' nodes outlive it, so they go too, as
 * when a statistics window is closed and opened again: what a pass shows
 * then depends on its own frames alone. */
static void
start_pass(void)
{
    reset_tap_listeners();
    if (calls_table->tables)
        free_stat_tables(calls_table);
    for (stats_tree *st : trees) {
        /* The host's reinit gives the root new burst buckets without
         * freeing its old ones (4.0 leaks them on every call): freed here,
         * LeakSanitizer needs no entry that could hide a plugin leak. */
        while (st->root.bh) {
            burst_bucket *next = st->root.bh->next;
            g_free(st->root.bh);
            st->root.bh = next;
        }
        st->root.bt = NULL;
        stats_tree_reinit(st);
    }
}

/* Every string cell read, so the sanitizers see a cell left pointing at
 * freed memory. A cell left empty is a fault too: tshark stops printing a
 * row at the first one. */
static void
read_calls_table(void)
{
    size_t sum = 0;
    for (guint t = 0; calls_table->tables && t < calls_table->tables->len; t++) {
        const stat_tap_table *table = g_array_index(calls_table->tables, stat_tap_table *, t);
        sum += strlen(table->title);
        if (show_statistics)
            printf("%s\n", table->title);
        for (guint row = 0; row < table->num_elements; row++) {
            for (guint column = 0; column < table->num_fields; column++) {
                const stat_tap_table_item_type *cell = stat_tap_get_field_data(table, row, column);
                if (cell->type == TABLE_ITEM_NONE)
                    fail("morvastelle.calls: an empty cell in table", table->title);
                if (cell->type == TABLE_ITEM_STRING)
                    sum += strlen(cell->value.string_value);
                else
                    sum += cell->value.uint_value;
                if (show_statistics && cell->type == TABLE_ITEM_STRING)
                    printf("%s |", cell->value.string_value);
                else if (show_statistics)
                    printf("%u |", cell->value.uint_value);
            }
            if (show_statistics)
                printf("\n");
        }
    }
    statistics_sum = sum;
}

/* A count below zero means a call left a node it was never counted in. */
static void
check_counts(const stat_node *node)
{
    for (const stat_node *child = node->children; child; child = child->next) {
        if (child->counter < 0)
            fail("stats tree: negative count at", child->name);
        check_counts(child);
    }
}

/* Drawn as tshark draws them at the end, every node's name and values. */
static void
draw_trees(void)
{
    for (stats_tree *st : trees) {
        check_counts(&st->root);
        GString *text = stats_tree_format_as_str(st, ST_FORMAT_PLAIN, stats_tree_get_default_sort_col(st),
                                                 stats_tree_is_default_sort_DESC(st));
        statistics_sum = statistics_sum + text->len;
        if (show_statistics)
            printf("%s", text->str);
        g_string_free(text, TRUE);
    }
}

/* How a host reads a file: the first pass, then a later one over the
 * visited frames. */
struct file_reading {
    const char *name;
    host_dissection::options first, later;
};

static file_reading gui_reading, tshark_reading;

static void
start_readings(void)
{
    gui_reading.name = "as the GUI reads a file";
    gui_reading.first.tree = false;
    gui_reading.first.taps = true;
    gui_reading.later.taps = true;

    tshark_reading.name = "as tshark -2 reads a file";
    tshark_reading.first.visible = false;
    /* As a read filter on the findings would prime them, too. */
    tshark_reading.first.primed_fields = { "morvastelle_call.id", "morvastelle_call.retransmission_of" };
    for (const finding_kind &finding : finding_kinds)
        tshark_reading.first.primed_fields.push_back(finding.name);
    tshark_reading.later.tree = false;
    tshark_reading.later.taps = true;
}

/* What a pass without taps shows of a frame: its primed fields. */
static frame_seen
frame_from_fields(proto_tree *tree)
{
    frame_seen seen;
    for (const shown_field &field : shown_fields(tree)) {
        if (field.abbrev == "morvastelle_call.id")
            seen.call = (guint32)std::stoul(field.value);
        else if (field.abbrev == "morvastelle_call.retransmission_of")
            seen.retransmission_of = (guint32)std::stoul(field.value);
        else if (int hf_index = proto_registrar_get_id_byname(field.abbrev.c_str()); finding_of(hf_index))
            seen.findings.push_back(hf_index);
    }
    return seen;
}

/* One pass over every frame of the file: what it showed of each. */
static std::vector<frame_seen>
dissect_pass(host_file &file, const host_dissection::options &opts)
{
    start_pass();
    pass_seen.assign(file.frames(), frame_seen());
    last_pdu = pdu_seen();
    for (size_t i = 0; i < file.frames(); i++) {
        {
            host_dissection frame(file, i, opts);
            if (!opts.taps)
                pass_seen[i] = frame_from_fields(frame.tree());
            else if (opts.tree)
                shown_fields(frame.tree());
        }
        check_frame(pass_seen[i], (guint32)(i + 1), opts.taps);
        if (show_statistics && !pass_seen[i].findings.empty())
            printf("frame %zu: %s\n", i + 1, finding_names(pass_seen[i].findings).c_str());
    }
    read_calls_table();
    draw_trees();
    return pass_seen;
}

/* The records as the frames of a new file, read as `reading` says. */
static void
read_file(const std::vector<std::vector<guint8>> &records, const file_reading &reading)
{
    host_file file;
    for (const std::vector<guint8> &record : records)
        file.add(record);
    std::vector<frame_seen> first = dissect_pass(file, reading.first);
    std::vector<frame_seen> later = dissect_pass(file, reading.later);
    for (size_t i = 0; i < later.size(); i++) {
        std::string frame = std::to_string(i + 1);
        if (!(later[i] == first[i]))
            fail(reading.name, ("a later pass gave frame " + frame + " call " + std::to_string(later[i].call) +
                                " rather than " + std::to_string(first[i].call) + ", findings " +
                                finding_names(later[i].findings) + " rather than " + finding_names(first[i].findings))
                                   .c_str());
        /* The host raises some only into a tree (a string's stray octets
         * after a NUL): a later pass with a tree may have more, none fewer. */
        if (reading.first.taps && !std::includes(later[i].expert_infos.begin(), later[i].expert_infos.end(),
                                                 first[i].expert_infos.begin(), first[i].expert_infos.end()))
            fail(reading.name, ("a later pass gave frame " + frame + " the expert infos " +
                                joined(later[i].expert_infos) + " rather than " + joined(first[i].expert_infos))
                                   .c_str());
    }
}

static std::chrono::steady_clock::time_point process_start;

/* libFuzzer takes an exit() for a fault of the input: the leak check it
 * would make at exit first, and the counts the fork parent sums up from a
 * job's -print_final_stats, then away without exit()'s handlers. */
static void
end_process(void)
{
    int leaks = __lsan_do_recoverable_leak_check();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - process_start).count();
    fprintf(stderr, "stat::number_of_executed_units: %lu\nstat::average_exec_per_sec:     %lu\n", files_read,
            (unsigned long)(files_read / (seconds > 0 ? seconds : 1)));
    fflush(stderr);
    _exit(leaks ? 1 : 0);
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    process_start = std::chrono::steady_clock::now();
    show_statistics = getenv("MORVASTELLE_FUZZ_SHOW") != NULL;
    const char *files = getenv("MORVASTELLE_FUZZ_FILES");
    files_per_process = files ? strtoul(files, NULL, 10) : 0;
    host_start();
    /* The plugin registers its statistics with the host's tap listeners. */
    static tap_reg_t no_builtin_taps[] = { { NULL, NULL } };
    register_all_tap_listeners(no_builtin_taps);

    static int listener;
    GString *error = register_tap_listener("morvastelle", &listener, NULL, TL_REQUIRES_NOTHING,
                                           NULL, read_tap_record, NULL, NULL);
    if (error)
        fail("morvastelle tap", error->str);
    static int call_listener, voip_listener;
    error = register_tap_listener("morvastelle_call", &call_listener, NULL, TL_REQUIRES_NOTHING, NULL,
                                  read_call_record, NULL, NULL);
    if (error)
        fail("morvastelle_call tap", error->str);
    error = register_tap_listener("voip", &voip_listener, NULL, TL_REQUIRES_NOTHING, NULL, read_voip_record, NULL,
                                  NULL);
    if (error)
        fail("voip tap", error->str);
    for (guint bit = 0; const char *name = morvastelle_link_finding_name((guint16)(1u << bit)); bit++) {
        finding_kinds.push_back({ name, "MORVASTELLE Link" });
        link_finding_fields.push_back(proto_registrar_get_id_byname(name));
    }
    for (guint bit = 0; bit < 8; bit++) {
        const char *name = morvastelle_call_finding_name((guint8)(1u << bit));
        finding_kinds.push_back({ name, "MORVASTELLE Call" });
        call_finding_fields.push_back(proto_registrar_get_id_byname(name));
    }
    for (const finding_kind &finding : finding_kinds) {
        finding_fields.push_back(proto_registrar_get_id_byname(finding.name));
        if (finding_fields.back() < 0)
            fail("no expert info field", finding.name);
    }
    static int expert_listener, anomalies_listener;
    error = register_tap_listener("expert", &expert_listener, NULL, TL_REQUIRES_NOTHING, NULL, read_expert_info,
                                  NULL, NULL);
    if (error)
        fail("expert tap", error->str);
    error = register_tap_listener("morvastelle_anomalies", &anomalies_listener, NULL, TL_REQUIRES_NOTHING, NULL,
                                  read_anomalies_record, NULL, NULL);
    if (error)
        fail("morvastelle_anomalies tap", error->str);
    start_calls_table();
    start_tree("morvastelle.outcomes");
    start_tree("morvastelle.ports");
    start_tree("morvastelle.anomalies");
    start_readings();
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* The host catches its exceptions (a longjmp) inside the dissection
     * itself, so none unwinds this frame and its objects are safe here. */
    std::vector<std::vector<guint8>> records;
    const uint8_t *end = data + size;
    const uint8_t *sep_end = reinterpret_cast<const uint8_t *>(pdu_separator) + strlen(pdu_separator);
    for (const uint8_t *pdu = data;;) {
        const uint8_t *next = std::search(pdu, end, reinterpret_cast<const uint8_t *>(pdu_separator), sep_end);
        records.push_back(exported_pdu_record("morvastelle", pdu, next - pdu));
        if (next == end)
            break;
        pdu = next + strlen(pdu_separator);
    }

    read_file(records, size % 2 ? tshark_reading : gui_reading);
    /* Nothing of this input's statistics left behind. */
    start_pass();

    if (files_per_process && ++files_read == files_per_process)
        end_process();
    return 0;
}
