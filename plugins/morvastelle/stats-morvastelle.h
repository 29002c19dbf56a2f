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

#include <deque>
#include <memory_resource>
#include <string>
#include <vector>

#include <epan/stat_tap_ui.h>
#include <epan/stats_tree.h>

#include "host-version.h"
#include "port-registry.h"

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

/*
 * The ISDN ports as one statistic shows them: by their port_label, and
 * where other gateways send the same name, followed by the gateway's
 * address: "isdn0" 192.0.2.1. A statistic learns of another gateway when
 * its registry does, so a port it showed before then is relabelled, and it
 * must show the new label wherever it showed the old one.
 */
class port_labels {
public:
    /* The port's label, made when first asked for; `relabel(port, old,
     * new)` is called first for each port shown so far whose name has
     * become shared since. */
    template <typename relabel_function>
    const std::pmr::string &label(const morvastelle::port_registry &ports, uint32_t port, const char *name,
                                  relabel_function relabel)
    {
        const std::pmr::vector<uint32_t> &shared = ports.names_shared();
        for (; journal_position_ < shared.size(); journal_position_++) {
            uint32_t name = shared[journal_position_];
            if (name >= bare_.size() || bare_[name] == no_port)
                continue;
            uint32_t shown = bare_[name];
            std::pmr::string &old_label = labels_[shown];
            std::pmr::string new_label(old_label, &memory_);
            new_label += " " + gateway_text(ports, shown);
            relabel(shown, old_label, new_label);
            old_label = new_label;
            bare_[name] = no_port;
        }
        if (port >= labels_.size())
            labels_.resize(port + 1);
        std::pmr::string &text = labels_[port];
        if (text.empty())
            make(ports, port, name, text);
        return text;
    }
    /* The same for a stats tree that shows every port under the node
     * `parent`, where a port relabelled is renamed. */
    const char *label_under(stats_tree *st, int parent, const morvastelle::port_registry &ports, uint32_t port,
                            const char *name);
    void clear();

private:
    static std::string gateway_text(const morvastelle::port_registry &ports, uint32_t port);
    void make(const morvastelle::port_registry &ports, uint32_t port, const char *name, std::pmr::string &text);

    static constexpr uint32_t no_port = UINT32_MAX;
    /* A pool of its own: what it outgrows goes back there, not among the
     * nodes of a stats tree, whose siblings the host walks for every new
     * one. */
    std::pmr::unsynchronized_pool_resource memory_;
    std::pmr::deque<std::pmr::string> labels_{&memory_};  /* by port, empty for one not shown */
    std::pmr::vector<uint32_t> bare_{&memory_};           /* by name: the port shown without an address */
    size_t journal_position_ = 0;                /* in the registry's names_shared */
};

/* Renames a node of a stats tree made with children: the host has no call
 * for it, and keeps each such node by name in its parent and in the tree. */
void rename_stat_node(stats_tree *st, int parent_id, const char *old_name, const char *new_name);

/* Cells of the call tables: every cell has a value, since the host's text
 * output stops a row at the first empty one. */
stat_tap_table_item_type table_text_cell(const char *text);
stat_tap_table_item_type table_uint_cell(guint value);
/* Drops a table's rows, keeping the table. */
void empty_table(stat_tap_table *table);

#endif /* STATS_MORVASTELLE_H */
