/* stats-kpi.cpp
 * Port KPIs as one of the host's statistics tables:
 * "tshark -z morvastelle.kpi[,FILTER]" and Telephony > MORVASTELLE Port
 * KPIs in the GUI. One row per ISDN port and one for all ports, computed
 * from the calls as the call layer assigned them (call-kpi.cpp).
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <deque>
#include <memory>
#include <vector>

#include <epan/packet.h>
#include <epan/stat_tap_ui.h>

#include "call-kpi.h"
#include "packet-morvastelle-call.h"
#include "stats-morvastelle.h"


enum {
    PORT_COLUMN,
    CALLS_COLUMN,
    ANSWERED_COLUMN,
    ASR_COLUMN,
    NER_COLUMN,
    ACD_COLUMN,
    PDD_COLUMN,
    PEAK_CALLS_COLUMN,
    PEAK_TIME_COLUMN,
    ERLANGS_COLUMN,
    KPI_COLUMNS
};

/* Text where a cell may show "-": the host prints a cell with its
 * column's format whatever the cell's type. */
static stat_tap_table_item kpi_columns[KPI_COLUMNS] = {
    { TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "ISDN port", "%s" },
    { TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Calls", "%u" },
    { TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Answered", "%u" },
    { TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "ASR (%)", "%s" },
    { TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "NER (%)", "%s" },
    { TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "ACD (s)", "%s" },
    { TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "PDD (s)", "%s" },
    { TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Peak calls", "%u" },
    { TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Peak at (s)", "%s" },
    { TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Erlangs", "%s" },
};

static void kpi_table_init(stat_tap_table_ui *ui);
static tap_packet_status kpi_table_packet(void *tapdata, packet_info *pinfo, epan_dissect_t *edt,
                                          const void *data, tap_flags_t flags);
static void kpi_table_reset(stat_tap_table *table);
static void kpi_table_free_cell(stat_tap_table *table, guint row, guint column, stat_tap_table_item_type *cell);

static stat_tap_table_ui kpi_table_ui = {
    MORVASTELLE_TELEPHONY_GROUP,
    "MORVASTELLE Port KPIs",
    "morvastelle_call",
    "morvastelle.kpi",
    kpi_table_init,
    kpi_table_packet,
    kpi_table_reset,
    kpi_table_free_cell,
    NULL,
    KPI_COLUMNS, kpi_columns,
    0, NULL,
    NULL,
    0
};

static const char kpi_table_title[] = "ISDN ports";

/* Types of this file alone: the calls table has a row_texts of its own. */
namespace {

/* The texts of a row's cells, owned here: the host keeps pointers to them
 * until the next change. */
struct row_texts {
    char label[PORT_LABEL_SIZE];
    char asr[24];
    char ner[24];
    char acd[24];
    char post_dial_delay[24];
    char peak_time[24];
    char erlangs[24];
};

} // namespace

static stat_tap_table *kpi_table;
static std::unique_ptr<morvastelle::call_kpis> kpis;
/* By port row; the all-ports row's are apart. */
static std::deque<row_texts> port_texts;
static row_texts all_ports_texts;
static port_labels row_labels;
static std::vector<guint> rows_of_ports;  /* by port, for relabelling */

/* Every cell has a value: the host's text output stops a row at the
 * first empty one. */
static void
write_row(guint index, const morvastelle::kpi_row &row, row_texts &texts)
{
    using morvastelle::format_fixed;
    stat_tap_table_item_type cells[KPI_COLUMNS];

    format_fixed(texts.asr, row.asr_tenths, 1);
    format_fixed(texts.ner, row.ner_tenths, 1);
    format_fixed(texts.acd, row.acd_ms, 3);
    format_fixed(texts.post_dial_delay, row.post_dial_delay_ms, 3);
    format_fixed(texts.peak_time, row.peak_time_ms, 3);
    format_fixed(texts.erlangs, row.erlangs_thousandths, 3);
    cells[PORT_COLUMN] = table_text_cell(texts.label);
    cells[CALLS_COLUMN] = table_uint_cell(row.calls);
    cells[ANSWERED_COLUMN] = table_uint_cell(row.answered);
    cells[ASR_COLUMN] = table_text_cell(texts.asr);
    cells[NER_COLUMN] = table_text_cell(texts.ner);
    cells[ACD_COLUMN] = table_text_cell(texts.acd);
    cells[PDD_COLUMN] = table_text_cell(texts.post_dial_delay);
    cells[PEAK_CALLS_COLUMN] = table_uint_cell(row.peak_calls);
    cells[PEAK_TIME_COLUMN] = table_text_cell(texts.peak_time);
    cells[ERLANGS_COLUMN] = table_text_cell(texts.erlangs);

    stat_tap_init_table_row(kpi_table, index, KPI_COLUMNS, cells);
}

/* Last, below the ports. */
static void
write_all_ports_row(void)
{
    write_row((guint)port_texts.size(), kpis->all_ports(), all_ports_texts);
}

static void
start_over(void)
{
    kpis = std::make_unique<morvastelle::call_kpis>();
    port_texts.clear();
    row_labels.clear();
    rows_of_ports.clear();
    empty_table(kpi_table);
    write_all_ports_row();
}

static void
kpi_table_init(stat_tap_table_ui *ui)
{
    /* The host frees its tables when the last dialog showing them closes. */
    kpi_table = stat_tap_find_table(ui, kpi_table_title);
    if (!kpi_table) {
        kpi_table = stat_tap_init_table(kpi_table_title, KPI_COLUMNS, 0, NULL);
        stat_tap_add_table(ui, kpi_table);
    }
    g_strlcpy(all_ports_texts.label, "all ports", sizeof all_ports_texts.label);
    start_over();
}

static void
kpi_table_reset(stat_tap_table *)
{
    start_over();
}

static void
kpi_table_free_cell(stat_tap_table *, guint, guint, stat_tap_table_item_type *)
{
    /* The cells own nothing: see row_texts. */
}

static tap_packet_status
kpi_table_packet(void *, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    const morvastelle_call_tap_info *info = static_cast<const morvastelle_call_tap_info *>(data);
    /* Another frame's record of a call only updates a call its own counted. */
    if (!info->frame_of_call && !kpis->listed(info->call->id))
        return TAP_PACKET_DONT_REDRAW;
    morvastelle::call_kpis::update_result update = kpis->add(*info->call, *info->port);
    uint32_t port = info->call->port;
    const std::pmr::string &label =
        row_labels.label(*info->ports, port, info->isdn_port, [](uint32_t shown, const std::pmr::string &, const std::pmr::string &now) {
            g_strlcpy(port_texts[rows_of_ports[shown]].label, now.c_str(), sizeof port_texts[0].label);
        });
    if (update.new_row) {
        g_strlcpy(port_texts.emplace_back().label, label.c_str(), sizeof port_texts[0].label);
        if (port >= rows_of_ports.size())
            rows_of_ports.resize(port + 1);
        rows_of_ports[port] = update.row;
    }
    if (!update.changed)
        return TAP_PACKET_DONT_REDRAW;
    write_row(update.row, kpis->port_row(update.row), port_texts[update.row]);
    write_all_ports_row();
    return TAP_PACKET_REDRAW;
}

void
register_morvastelle_kpi_table(void)
{
    register_stat_tap_table_ui(&kpi_table_ui);
}
