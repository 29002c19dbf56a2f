/* stats-morvastelle.cpp
 * PDUs per Type, ISDN port, LAPD frame kind and function, as a stats tree:
 * "tshark -z morvastelle.ports,tree" and Statistics > MORVASTELLE in the GUI.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <stdio.h>

#include <map>
#include <memory>
#include <memory_resource>
#include <vector>

#include <epan/packet.h>
#include <epan/stats_tree.h>
/* For rename_stat_node: the nodes as the host keeps them. */
#include <epan/stats_tree_priv.h>

#include "packet-morvastelle.h"
#include "packet-morvastelle-analysis.h"
#include "stats-morvastelle.h"

static const char st_str_pdus[] = "MORVASTELLE PDUs";
static const char st_str_truncated[] = "Truncated or malformed";
static const char st_str_frame_kinds[] = "LAPD frames by kind";

static int st_node_pdus = -1;
static int st_node_frame_kinds = -1;

/* What one ports tree knows of the ports it counts: it counts every PDU,
 * whether or not the analysis follows it, so it tells gateways apart
 * itself. */
struct ports_tree_state {
    /* Its own pool: the tables the registry outgrows go back there, not
     * among the host's nodes, whose siblings the host walks for every new
     * one. */
    std::pmr::unsynchronized_pool_resource memory;
    morvastelle::port_registry ports{&memory};
    port_labels labels;
    /* By port: the nodes that show it, under its Type's node and under
     * "Truncated or malformed". */
    std::pmr::vector<std::pair<int, int>> parents{&memory};
};

static std::map<stats_tree *, std::unique_ptr<ports_tree_state>> ports_trees;

static void
morvastelle_ports_init(stats_tree *st)
{
    ports_trees[st] = std::make_unique<ports_tree_state>();
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

std::string
port_labels::gateway_text(const morvastelle::port_registry &ports, uint32_t port)
{
    char *text = morvastelle_gateway_text(NULL, ports, port);
    std::string copied = text;
    wmem_free(NULL, text);
    return copied;
}

void
port_labels::make(const morvastelle::port_registry &ports, uint32_t port, const char *name, std::pmr::string &text)
{
    char label[PORT_LABEL_SIZE];
    port_label(name, label);
    text = label;
    uint32_t named = ports.port(port).name;
    if (ports.name_shared(port)) {
        text += " " + gateway_text(ports, port);
    } else {
        if (named >= bare_.size())
            bare_.resize(named + 1, no_port);
        bare_[named] = port;
    }
}

const char *
port_labels::label_under(stats_tree *st, int parent, const morvastelle::port_registry &ports, uint32_t port,
                         const char *name)
{
    return label(ports, port, name, [&](uint32_t, const std::pmr::string &old, const std::pmr::string &now) {
               rename_stat_node(st, parent, old.c_str(), now.c_str());
           }).c_str();
}

void
port_labels::clear()
{
    labels_.clear();
    bare_.clear();
    journal_position_ = 0;
}

void
rename_stat_node(stats_tree *st, int parent_id, const char *old_name, const char *new_name)
{
    stat_node *parent = (stat_node *)g_ptr_array_index(st->parents, parent_id);
    stat_node *node = parent->hash ? (stat_node *)g_hash_table_lookup(parent->hash, old_name) : NULL;
    if (!node)
        return;
    /* Both tables are keyed by the node's own copy of its name. */
    g_hash_table_remove(parent->hash, old_name);
    gpointer key, value;
    if (node->id >= 0 && g_hash_table_lookup_extended(st->names, old_name, &key, &value) && key == node->name) {
        g_hash_table_steal(st->names, old_name);
        if (value != node)
            g_hash_table_insert(st->names, ((stat_node *)value)->name, value);
    }
    g_free(node->name);
    node->name = g_strdup(new_name);
    g_hash_table_insert(parent->hash, node->name, node);
    if (node->id >= 0)
        g_hash_table_insert(st->names, node->name, node);
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

static void
morvastelle_ports_cleanup(stats_tree *st)
{
    ports_trees.erase(st);
}

static int
tick_port(stats_tree *st, packet_info *pinfo, const char *name, int parent, gboolean with_children)
{
    std::unique_ptr<ports_tree_state> &kept = ports_trees[st];
    if (!kept)
        kept = std::make_unique<ports_tree_state>();
    ports_tree_state &state = *kept;
    uint32_t port = state.ports.port_of(
        state.ports.gateway_of(morvastelle_network_address(&pinfo->src), morvastelle_network_address(&pinfo->dst)),
        name ? name : "");
    if (port >= state.parents.size())
        state.parents.resize(port + 1, std::make_pair(-1, -1));
    const std::pmr::string &label =
        state.labels.label(state.ports, port, name, [&](uint32_t shown, const std::pmr::string &old, const std::pmr::string &now) {
            for (int under : {state.parents[shown].first, state.parents[shown].second})
                if (under >= 0)
                    rename_stat_node(st, under, old.c_str(), now.c_str());
        });
    std::pair<int, int> &under = state.parents[port];
    (with_children ? under.first : under.second) = parent;
    return tick_stat_node(st, label.c_str(), parent, with_children);
}

static tap_packet_status
morvastelle_ports_packet(stats_tree *st, packet_info *pinfo, epan_dissect_t *edt _U_,
                         const void *data, tap_flags_t flags _U_)
{
    const morvastelle_tap_info *info = (const morvastelle_tap_info *)data;
    char type_label[32];

    tick_stat_node(st, st_str_pdus, 0, TRUE);

    if (!info->header_whole) {
        int truncated = tick_stat_node(st, st_str_truncated, st_node_pdus, TRUE);
        tick_port(st, pinfo, info->isdn_port, truncated, FALSE);
        return TAP_PACKET_REDRAW;
    }

    const char *type_name = try_val_to_str(info->type, morvastelle_type_vals);
    snprintf(type_label, sizeof type_label, "%s (%u)", type_name ? type_name : "Unknown", info->type);
    int type_node = tick_stat_node(st, type_label, st_node_pdus, info->type == MORVASTELLE_TYPE_LAPD);

    if (info->type == MORVASTELLE_TYPE_LAPD) {
        tick_frame(st, tick_port(st, pinfo, info->isdn_port, type_node, TRUE), info->lapd.control);
        tick_stat_node(st, st_str_frame_kinds, 0, TRUE);
        tick_frame(st, st_node_frame_kinds, info->lapd.control);
    }
    return TAP_PACKET_REDRAW;
}

void
register_morvastelle_stats_tree(void)
{
    stats_tree_register_plugin("morvastelle", "morvastelle.ports", MORVASTELLE_STATS_MENU "ISDN Ports",
                               TL_REQUIRES_NOTHING, morvastelle_ports_packet, morvastelle_ports_init,
                               morvastelle_ports_cleanup);
}
