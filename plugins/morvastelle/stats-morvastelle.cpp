/* stats-morvastelle.cpp
 * PDUs per Type, ISDN port, LAPD frame kind and function, as a stats tree:
 * "tshark -z morvastelle.ports,tree" and Statistics > MORVASTELLE in the GUI.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <stdio.h>

#include <epan/packet.h>
#include <epan/stats_tree.h>

#include "packet-morvastelle.h"
#include "stats-morvastelle.h"

static const char st_str_pdus[] = "MORVASTELLE PDUs";
static const char st_str_truncated[] = "Truncated or malformed";
static const char st_str_frame_kinds[] = "LAPD frames by kind";

static int st_node_pdus = -1;
static int st_node_frame_kinds = -1;

static void
morvastelle_ports_init(stats_tree *st)
{
    st_node_pdus = stats_tree_create_node(st, st_str_pdus, 0, STAT_DT_INT, TRUE);
    st_node_frame_kinds = stats_tree_create_node(st, st_str_frame_kinds, 0, STAT_DT_INT, TRUE);
}

static const char *
frame_kind(gint control)
{
    if (control < 0)
        return "no LAPD frame";
    if ((control & 0x01) == 0)
        return "I-frame";
    return (control & 0x03) == 0x01 ? "S-frame" : "U-frame";
}

/*
 * Keyed by the first control octet cut down to the bits that name the
 * function: the low four of an S-frame (its P/F is in the second octet),
 * all but P/F (0x10) of a U-frame. The low two bits keep S- and U-frame
 * keys apart.
 */
static const value_string lapd_functions[] = {
    { 0x01, "RR" },
    { 0x05, "RNR" },
    { 0x09, "REJ" },
    { LAPD_SABME, "SABME" },
    { LAPD_DM, "DM" },
    { LAPD_UI, "UI" },
    { LAPD_DISC, "DISC" },
    { 0x63, "UA" },
    { 0x87, "FRMR" },
    { 0xaf, "XID" },
    { 0, NULL }
};

/* NULL for frames without a function of their own: I-frames all carry
 * information, and an absent frame has none. */
static const char *
frame_function(gint control)
{
    if (control < 0 || (control & 0x01) == 0)
        return NULL;
    guint key = (control & 0x03) == 0x01 ? control & 0x0f : control & ~LAPD_PF_BIT;
    return val_to_str_const(key, lapd_functions, "other");
}

static void
tick_frame(stats_tree *st, int parent, gint control)
{
    const char *function = frame_function(control);
    /* A node made without children aborts the host when one is ticked. */
    int kind = tick_stat_node(st, frame_kind(control), parent, function != NULL);
    if (function)
        tick_stat_node(st, function, kind, FALSE);
}

/*
 * A port is shown as the display filter string that selects it, quotes
 * included. That keeps leading and trailing blanks and control octets
 * visible, and keeps a port from sharing a name with a top-level node: the
 * host finds those by name among all nodes of the tree.
 */
void
port_label(const char *name, char *label)
{
    char *out = label;

    *out++ = '"';
    for (const char *p = name ? name : ""; *p && out < label + PORT_LABEL_SIZE - 6; p++) {
        guchar c = (guchar)*p;
        if (c == '"' || c == '\\') {
            *out++ = '\\';
            *out++ = (char)c;
        } else if (c < 0x20 || c == 0x7f) {
            out += snprintf(out, 5, "\\x%02x", c);
        } else {
            *out++ = (char)c;
        }
    }
    *out++ = '"';
    *out = '\0';
}

stat_tap_table_item_type
table_text_cell(const char *text)
{
    stat_tap_table_item_type cell = {};
    cell.type = TABLE_ITEM_STRING;
    cell.value.string_value = text;
    return cell;
}

stat_tap_table_item_type
table_uint_cell(guint value)
{
    stat_tap_table_item_type cell = {};
    cell.type = TABLE_ITEM_UINT;
    cell.value.uint_value = value;
    return cell;
}

void
empty_table(stat_tap_table *table)
{
    for (guint row = 0; row < table->num_elements; row++)
        g_free(table->elements[row]);
    g_free(table->elements);
    table->elements = NULL;
    table->num_elements = 0;
}

static int
tick_port(stats_tree *st, const char *name, int parent, gboolean with_children)
{
    char label[PORT_LABEL_SIZE];

    port_label(name, label);
    return tick_stat_node(st, label, parent, with_children);
}

static tap_packet_status
morvastelle_ports_packet(stats_tree *st, packet_info *pinfo _U_, epan_dissect_t *edt _U_,
                         const void *data, tap_flags_t flags _U_)
{
    const morvastelle_tap_info *info = (const morvastelle_tap_info *)data;
    char type_label[32];

    tick_stat_node(st, st_str_pdus, 0, TRUE);

    if (!info->header_whole) {
        int truncated = tick_stat_node(st, st_str_truncated, st_node_pdus, TRUE);
        tick_port(st, info->isdn_port, truncated, FALSE);
        return TAP_PACKET_REDRAW;
    }

    const char *type_name = try_val_to_str(info->type, morvastelle_type_vals);
    snprintf(type_label, sizeof type_label, "%s (%u)", type_name ? type_name : "Unknown", info->type);
    int type_node = tick_stat_node(st, type_label, st_node_pdus, info->type == MORVASTELLE_TYPE_LAPD);

    if (info->type == MORVASTELLE_TYPE_LAPD) {
        tick_frame(st, tick_port(st, info->isdn_port, type_node, TRUE), info->lapd.control);
        tick_stat_node(st, st_str_frame_kinds, 0, TRUE);
        tick_frame(st, st_node_frame_kinds, info->lapd.control);
    }
    return TAP_PACKET_REDRAW;
}

void
register_morvastelle_stats_tree(void)
{
    stats_tree_register_plugin("morvastelle", "morvastelle.ports", MORVASTELLE_STATS_MENU "ISDN Ports",
                               TL_REQUIRES_NOTHING, morvastelle_ports_packet, morvastelle_ports_init, NULL);
}
