/* stats-morvastelle.h
 * The plugin's statistics, fed by the "morvastelle" tap.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef STATS_MORVASTELLE_H
#define STATS_MORVASTELLE_H

/* Register the plugin's statistics: the "morvastelle.ports",
 * "morvastelle.outcomes" and "morvastelle.anomalies" stats trees and the
 * "morvastelle.calls" and "morvastelle.kpi" tables. Called once the host's
 * taps exist. */
void register_morvastelle_stats_tree(void);
void register_morvastelle_calls_table(void);
void register_morvastelle_outcomes_tree(void);
void register_morvastelle_kpi_table(void);
void register_morvastelle_anomalies_tree(void);

#include <epan/stat_tap_ui.h>
#include <epan/stats_tree.h>

#include "host-version.h"

/* The Statistics menu's MORVASTELLE submenu, before a tree's own title.
 * Newer hosts name their separator and read a single "/" as part of the
 * title, which left the trees at the end of the menu, "/" and all. */
#ifdef STATS_TREE_MENU_SEPARATOR
#define MORVASTELLE_STATS_MENU "MORVASTELLE" STATS_TREE_MENU_SEPARATOR
#else
#define MORVASTELLE_STATS_MENU "MORVASTELLE/"
#endif

/* The Telephony menu's group for the call tables: newer hosts renamed it. */
#if MORVASTELLE_HOST_AT_LEAST(4, 2)
#define MORVASTELLE_TELEPHONY_GROUP REGISTER_TELEPHONY_GROUP_UNSORTED
#else
#define MORVASTELLE_TELEPHONY_GROUP REGISTER_STAT_GROUP_TELEPHONY
#endif

/* A name has at most 255 octets, each written as at most 4 characters. */
#define PORT_LABEL_SIZE (2 + 4 * 255 + 1)

/* An ISDN port as the statistics show it: the quoted display filter string
 * that selects it. `label` holds PORT_LABEL_SIZE characters. */
void port_label(const char *name, char *label);

/* Cells of the call tables: every cell has a value, since the host's text
 * output stops a row at the first empty one. */
stat_tap_table_item_type table_text_cell(const char *text);
stat_tap_table_item_type table_uint_cell(guint value);
/* Drops a table's rows, keeping the table. */
void empty_table(stat_tap_table *table);

#endif /* STATS_MORVASTELLE_H */
