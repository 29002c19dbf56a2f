/* stats-calls.cpp
 * Calls per ISDN port as one of the host's statistics tables:
 * "tshark -z morvastelle.calls[,FILTER]" and Telephony > MORVASTELLE Calls
 * in the GUI. One table per port, one row per call.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <cstdio>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include <epan/packet.h>
#include <epan/stat_tap_ui.h>

#include "call-feed.h"
#include "host-version.h"
#include "stats-morvastelle.h"

/* Newer hosts renamed the Telephony menu's group. */
#if MORVASTELLE_HOST_AT_LEAST(4, 2)
#define MORVASTELLE_TELEPHONY_GROUP REGISTER_TELEPHONY_GROUP_UNSORTED
#else
#define MORVASTELLE_TELEPHONY_GROUP REGISTER_STAT_GROUP_TELEPHONY
#endif

using morvastelle::call;
using morvastelle::call_change;

enum {
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
    CALL_COLUMNS
};

static stat_tap_table_item call_columns[CALL_COLUMNS] = {
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
};

static void calls_table_init(stat_tap_table_ui *ui);
static tap_packet_status calls_table_packet(void *tapdata, packet_info *pinfo, epan_dissect_t *edt,
                                            const void *data, tap_flags_t flags);
static void calls_table_reset(stat_tap_table *table);
static void calls_table_free_cell(stat_tap_table *table, guint row, guint column, stat_tap_table_item_type *cell);

static stat_tap_table_ui calls_table_ui = {
    MORVASTELLE_TELEPHONY_GROUP,
    "MORVASTELLE Calls",
    "q931",
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

/*
 * The host keeps the tables in calls_table_ui, one set at a time, so one
 * tracker serves them. Cells point into its calls rather than owning
 * copies, so the tables are emptied whenever it is.
 */
static void empty_tables(void *owner);
static call_feed calls_feed(empty_tables, NULL);
/* The port's table, by the tracker's port index. */
static std::vector<stat_tap_table *> port_tables;
/* The host keeps the title pointer: titles live as long as the process,
 * one per port label however often the host frees the tables and they
 * are made again. */
static std::set<std::string> table_titles;

/* The texts of a call's times, by call id. */
struct call_times {
    char start[16];
    char answer_delay[16];
    char connected[16];
};
static std::deque<call_times> times_of_calls;

static void
empty_tables(void *)
{
    port_tables.clear();
    times_of_calls.clear();
    if (!calls_table_ui.tables)
        return;
    for (guint i = 0; i < calls_table_ui.tables->len; i++) {
        stat_tap_table *table = g_array_index(calls_table_ui.tables, stat_tap_table *, i);
        for (guint row = 0; row < table->num_elements; row++)
            g_free(table->elements[row]);
        g_free(table->elements);
        table->elements = NULL;
        table->num_elements = 0;
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
    GString *error = calls_feed.start();
    if (error) {
        /* The host gives an init no way to fail: the table stays empty. */
        ws_warning("morvastelle.calls: %s", error->str);
        g_string_free(error, TRUE);
    }
    calls_feed.reset();
}

static void
calls_table_reset(stat_tap_table *)
{
    calls_feed.reset();
}

static void
calls_table_free_cell(stat_tap_table *, guint, guint, stat_tap_table_item_type *)
{
    /* The cells own nothing: see calls_feed. */
}

static stat_tap_table *
port_table(const call &c)
{
    if (c.port < port_tables.size() && port_tables[c.port])
        return port_tables[c.port];

    char label[PORT_LABEL_SIZE];
    port_label(calls_feed.tracker().ports()[c.port].name.c_str(), label);
    stat_tap_table *table = stat_tap_find_table(&calls_table_ui, label);
    if (!table) {
        const std::string &title = *table_titles.insert(label).first;
        table = stat_tap_init_table(title.c_str(), CALL_COLUMNS, 0, NULL);
        stat_tap_add_table(&calls_table_ui, table);
    }
    if (c.port >= port_tables.size())
        port_tables.resize(c.port + 1);
    port_tables[c.port] = table;
    return table;
}

static stat_tap_table_item_type
text_cell(const char *text)
{
    stat_tap_table_item_type cell = {};
    cell.type = TABLE_ITEM_STRING;
    cell.value.string_value = text;
    return cell;
}

/* A number, or "-" for one the messages did not carry. */
static stat_tap_table_item_type
number_cell(const std::string &number)
{
    return text_cell(number.empty() ? "-" : number.c_str());
}

/* Seconds with three decimals, or "-" where the call has no such time. */
static stat_tap_table_item_type
seconds_cell(char (&text)[16], double seconds)
{
    if (seconds < 0)
        return text_cell("-");
    snprintf(text, sizeof text, "%.3f", seconds);
    return text_cell(text);
}

/* Every cell has a value: the host's text output stops a row at the
 * first empty one. */
static void
write_row(const call &c)
{
    stat_tap_table_item_type cells[CALL_COLUMNS];
    if (c.id >= times_of_calls.size())
        times_of_calls.resize(c.id + 1);
    call_times &times = times_of_calls[c.id];

    cells[CALL_REF_COLUMN] = text_cell(c.call_ref.c_str());
    cells[ORIGINATED_BY_COLUMN] = text_cell(c.network_originated ? "network" : "user");
    cells[CALLING_COLUMN] = number_cell(c.calling_number);
    cells[CALLED_COLUMN] = number_cell(c.called_number);
    cells[START_COLUMN] = seconds_cell(times.start, c.start);
    cells[ANSWER_DELAY_COLUMN] = seconds_cell(times.answer_delay, c.answer_delay());
    cells[CONNECTED_COLUMN] = seconds_cell(times.connected, c.connected_duration());
    cells[OUTCOME_COLUMN] = text_cell(morvastelle::call_outcome_name(c.outcome()));
    cells[CAUSE_COLUMN] = text_cell(c.cause == morvastelle::no_cause ? "-" : call_cause_text(c.cause));
    cells[FRAMES_COLUMN] = {};
    cells[FRAMES_COLUMN].type = TABLE_ITEM_UINT;
    cells[FRAMES_COLUMN].value.uint_value = c.frames;

    stat_tap_init_table_row(port_table(c), (guint)c.row, CALL_COLUMNS, cells);
}

static tap_packet_status
calls_table_packet(void *, packet_info *pinfo, epan_dissect_t *, const void *data, tap_flags_t)
{
    call_change change = calls_feed.add(pinfo, static_cast<const q931_packet_info *>(data));
    if (!change.changed)
        return TAP_PACKET_DONT_REDRAW;
    write_row(*change.changed);
    return TAP_PACKET_REDRAW;
}

void
register_morvastelle_calls_table(void)
{
    register_stat_tap_table_ui(&calls_table_ui);
}
