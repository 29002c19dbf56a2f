/* morvastelle_fuzzer.cpp
 * libFuzzer target: every input is a sequence of MORVASTELLE PDUs, handed
 * by name to the plugin inside the real host library as consecutive frames,
 * so LAPD and Q.931 below it run on the same bytes and the plugin's
 * statistics (the calls table, the outcomes and ports trees) follow calls
 * across them.
 *
 * The PDUs of an input are separated by the five octets "<PDU>": an input
 * without them is one PDU, as every seed from the sample capture is, and a
 * PDU cannot contain them. Each frame is stamped at the epoch.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <epan/packet.h>
#include <epan/stat_tap_ui.h>
#include <epan/stats_tree_priv.h>
#include <epan/tap.h>

#include "host_session.h"
#include "packet-morvastelle.h"

static const char pdu_separator[] = "<PDU>";

/* Reads every octet of the tap record, so the sanitizers see the plugin's
 * pointer into the packet's port name. */
static volatile size_t tap_record_sum;
static volatile size_t statistics_sum;

static tap_packet_status
read_tap_record(void *, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    const morvastelle_tap_info *info = static_cast<const morvastelle_tap_info *>(data);
    tap_record_sum = info->type + info->header_whole + info->pdu_length + info->lapd.control +
           (info->isdn_port ? strlen(info->isdn_port) : 0);
    return TAP_PACKET_DONT_REDRAW;
}

static void
fail(const char *what, const char *detail)
{
    fprintf(stderr, "%s: %s\n", what, detail ? detail : "");
    abort();
}

/* MORVASTELLE_FUZZ_SHOW=1 prints what the statistics show after each pass,
 * for looking into a reproducer. */
static bool show_statistics;

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

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    show_statistics = getenv("MORVASTELLE_FUZZ_SHOW") != NULL;
    host_start();
    /* The plugin registers its statistics with the host's tap listeners. */
    static tap_reg_t no_builtin_taps[] = { { NULL, NULL } };
    register_all_tap_listeners(no_builtin_taps);

    static int listener;
    GString *error = register_tap_listener("morvastelle", &listener, NULL, TL_REQUIRES_NOTHING,
                                           NULL, read_tap_record, NULL, NULL);
    if (error)
        fail("morvastelle tap", error->str);
    start_calls_table();
    start_tree("morvastelle.outcomes");
    start_tree("morvastelle.ports");
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

    /* Both ways on every input rather than alternating between inputs, so a
     * report reproduces from the one input that caused it. Walking the tree
     * formats every label, the port name's escaping included. */
    for (bool tree : {true, false}) {
        start_pass();
        host_dissection::options opts;
        opts.tree = tree;
        opts.taps = true;
        for (const std::vector<guint8> &record : records) {
            host_dissection frame(record, opts);
            if (tree)
                shown_fields(frame.tree());
        }
        read_calls_table();
        draw_trees();
    }
    /* Nothing of this input left behind: libFuzzer looks for a leak in
     * every input that allocates more than it frees. */
    start_pass();
    return 0;
}
