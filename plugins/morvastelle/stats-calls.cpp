/* stats-calls.cpp
 * Calls per ISDN port as one of the host's statistics tables:
 * "tshark -z morvastelle.calls[,FILTER]" and Telephony > MORVASTELLE Calls
 * in the GUI. One table per port, one row per call, the calls as the call
 * layer assigned them.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <cstdio>
#include <deque>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <epan/packet.h>
#include <epan/stat_tap_ui.h>

#include "packet-morvastelle-call.h"
#include "stats-morvastelle.h"


using morvastelle::call;

enum {
    CALL_COLUMN,
    CALL_REF_COLUMN,
    ORIGINATED_BY_COLUMN,
    CALLING_COLUMN,
    CALLED_COLUMN,
    START_COLUMN,
    ANSWER_DELAY_COLUMN,
    CONNECTED_COLUMN,
    OUTCOME_COLUMN,
    CAUSE_COLUMN,
    FRAMES_COLUMN,
    LOST_FRAMES_COLUMN,
    CALL_COLUMNS
};

static stat_tap_table_item call_columns[CALL_COLUMNS] = {
    { TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Call", "%u" },
    { TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Call reference", "%s" },
    { TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Originated by", "%s" },
    { TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Calling number", "%s" },
    { TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Called number", "%s" },
    /* Text, since a call may have no such time: the host prints a cell
     * with its column's format whatever the cell's type. */
    { TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Start (s)", "%s" },
    { TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Answer delay (s)", "%s" },
    { TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Connected (s)", "%s" },
    { TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Outcome", "%s" },
    { TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Cause", "%s" },
    { TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Frames", "%u" },
    /* I-frames lost on the call's data link while it was up: the outcome
     * may rest on an incomplete capture. */
    { TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Lost frames", "%s" },
};

static void calls_table_init(stat_tap_table_ui *ui);
static tap_packet_status calls_table_packet(void *tapdata, packet_info *pinfo, epan_dissect_t *edt,
                                            const void *data, tap_flags_t flags);
static void calls_table_reset(stat_tap_table *table);
static void calls_table_free_cell(stat_tap_table *table, guint row, guint column, stat_tap_table_item_type *cell);

static stat_tap_table_ui calls_table_ui = {
    MORVASTELLE_TELEPHONY_GROUP,
    "MORVASTELLE Calls",
    "morvastelle_call",
    "morvastelle.calls",
    calls_table_init,
    calls_table_packet,
    calls_table_reset,
    calls_table_free_cell,
    NULL,
    CALL_COLUMNS, call_columns,
    0, NULL,
    NULL,
    0
};

/* The texts a call's row shows, owned here: the call goes on changing with
 * messages this table's filter may not let through. */
struct row_texts {
    std::string calling;
    std::string called;
    char call_ref[2 * morvastelle::max_call_ref_length + 1];
    char start[16];
    char answer_delay[16];
    char connected[16];
    char lost_frames[16];
};

/* Where a call's row is: the host keeps the tables in calls_table_ui, one
 * set at a time. */
struct call_row {
    stat_tap_table *table = NULL;
    guint row = 0;
    row_texts *texts = NULL;
};

/* By call id; in blocks, as a 30,000-call capture would move a vector of
 * them several times over. */
static std::deque<call_row> rows_of_calls;
static std::deque<row_texts> texts_of_rows;
static port_labels table_labels;
static std::vector<stat_tap_table *> tables_of_ports;  /* by port, NULL for none yet */
/* The host keeps the title pointer: titles live as long as the process,
 * one per port label however often the host frees the tables and they
 * are made again. */
static std::set<std::string> table_titles;
/* The host's tables by title, for a new pass to use them again: the
 * host's own look-up goes through them all, for every port. Made at the
 * pass's first row, as the host may free its tables after a reset. */
static std::unordered_map<std::string_view, stat_tap_table *> tables_by_title;
static bool tables_indexed;

static void
empty_tables(void)
{
    rows_of_calls.clear();
    texts_of_rows.clear();
    table_labels.clear();
    tables_of_ports.clear();
    tables_by_title.clear();
    tables_indexed = false;
    if (!calls_table_ui.tables)
        return;
    for (guint i = 0; i < calls_table_ui.tables->len; i++)
        empty_table(g_array_index(calls_table_ui.tables, stat_tap_table *, i));
}

static void
index_tables(void)
{
    tables_indexed = true;
    for (guint i = 0; calls_table_ui.tables && i < calls_table_ui.tables->len; i++) {
        stat_tap_table *table = g_array_index(calls_table_ui.tables, stat_tap_table *, i);
        tables_by_title.emplace(table->title, table);
    }
}

static void
calls_table_init(stat_tap_table_ui *ui)
{
    /* The host reads the array of tables when it resets or draws them, and
     * makes it only when a first table is added: a capture without calls
     * would have none, and the GUI resets them before any packet. */
    if (!ui->tables)
        ui->tables = g_array_new(FALSE, TRUE, sizeof(stat_tap_table *));
    empty_tables();
}

static void
calls_table_reset(stat_tap_table *)
{
    empty_tables();
}

static void
calls_table_free_cell(stat_tap_table *, guint, guint, stat_tap_table_item_type *)
{
    /* The cells own nothing: see row_texts. */
}

/* A port's table, titled by its label: a table the host kept from a pass
 * before is used again. */
static stat_tap_table *
port_table(const morvastelle_call_tap_info *info)
{
    if (!tables_indexed)
        index_tables();
    uint32_t port = info->call->port;
    const std::pmr::string &label =
        table_labels.label(*info->ports, port, info->isdn_port, [](uint32_t shown, const std::pmr::string &, const std::pmr::string &now) {
            if (shown >= tables_of_ports.size() || !tables_of_ports[shown])
                return;
            stat_tap_table *relabelled = tables_of_ports[shown];
            tables_by_title.erase(relabelled->title);
            relabelled->title = table_titles.emplace(now).first->c_str();
            tables_by_title.emplace(relabelled->title, relabelled);
        });
    if (port >= tables_of_ports.size())
        tables_of_ports.resize(port + 1);
    stat_tap_table *&table = tables_of_ports[port];
    if (!table) {
        auto kept = tables_by_title.find(label);
        if (kept != tables_by_title.end())
            table = kept->second;
    }
    if (!table) {
        table = stat_tap_init_table(table_titles.emplace(label).first->c_str(), CALL_COLUMNS, 0, NULL);
        stat_tap_add_table(&calls_table_ui, table);
        tables_by_title.emplace(table->title, table);
    }
    return table;
}

/* A call's row, made when one of its messages first comes through. */
static call_row &
row_of(const morvastelle_call_tap_info *info)
{
    const call &c = *info->call;
    if (c.id >= rows_of_calls.size())
        rows_of_calls.resize(c.id + 1);
    call_row &row = rows_of_calls[c.id];
    if (!row.table) {
        row.table = port_table(info);
        row.row = row.table->num_elements;
        row.texts = &texts_of_rows.emplace_back();
    }
    return row;
}

/* A number, or "-" for one the messages did not carry. */
static stat_tap_table_item_type
number_cell(std::string &text, const std::pmr::string &number)
{
    text.assign(number.data(), number.size());
    return table_text_cell(text.empty() ? "-" : text.c_str());
}

/* Seconds with three decimals, or "-" where the call has no such time. */
static stat_tap_table_item_type
seconds_cell(char (&text)[16], double seconds)
{
    if (seconds < 0)
        return table_text_cell("-");
    snprintf(text, sizeof text, "%.3f", seconds);
    return table_text_cell(text);
}

/* Every cell has a value: the host's text output stops a row at the
 * first empty one. */
static void
write_row(const morvastelle_call_tap_info *info)
{
    const call &c = *info->call;
    guint32 lost_frames = info->lost_frames;
    call_row &row = row_of(info);
    row_texts &texts = *row.texts;
    stat_tap_table_item_type cells[CALL_COLUMNS];

    c.call_ref_text(texts.call_ref);
    cells[CALL_COLUMN] = table_uint_cell(c.id + 1);
    cells[CALL_REF_COLUMN] = table_text_cell(texts.call_ref);
    cells[ORIGINATED_BY_COLUMN] = table_text_cell(c.network_originated ? "network" : "user");
    cells[CALLING_COLUMN] = number_cell(texts.calling, c.calling_number);
    cells[CALLED_COLUMN] = number_cell(texts.called, c.called_number);
    cells[START_COLUMN] = seconds_cell(texts.start, c.start);
    cells[ANSWER_DELAY_COLUMN] = seconds_cell(texts.answer_delay, c.answer_delay());
    cells[CONNECTED_COLUMN] = seconds_cell(texts.connected, c.connected_duration());
    cells[OUTCOME_COLUMN] = table_text_cell(morvastelle::call_outcome_name(c.outcome()));
    cells[CAUSE_COLUMN] = table_text_cell(c.cause == morvastelle::no_cause ? "-" : call_cause_text(c.cause));
    cells[FRAMES_COLUMN] = table_uint_cell(c.frames);
    snprintf(texts.lost_frames, sizeof texts.lost_frames, "%u", lost_frames);
    cells[LOST_FRAMES_COLUMN] = table_text_cell(lost_frames ? texts.lost_frames : "-");

    stat_tap_init_table_row(row.table, row.row, CALL_COLUMNS, cells);
}

static tap_packet_status
calls_table_packet(void *, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    const morvastelle_call_tap_info *info = static_cast<const morvastelle_call_tap_info *>(data);
    /* Another frame's record of a call only updates a row its own made. */
    guint32 id = info->call->id;
    if (!info->frame_of_call && (id >= rows_of_calls.size() || !rows_of_calls[id].table))
        return TAP_PACKET_DONT_REDRAW;
    write_row(info);
    return TAP_PACKET_REDRAW;
}

/* The host frees the tables but never the array the init made; at exit it
 * would be lost with the plugin's own data. */
static void
calls_table_shutdown(void)
{
    if (!calls_table_ui.tables)
        return;
    empty_tables();
    free_stat_tables(&calls_table_ui);
    g_array_free(calls_table_ui.tables, TRUE);
    calls_table_ui.tables = NULL;
}

void
register_morvastelle_calls_table(void)
{
    register_stat_tap_table_ui(&calls_table_ui);
    register_shutdown_routine(calls_table_shutdown);
}
