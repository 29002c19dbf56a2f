/* stats-anomalies.cpp
 * What went wrong per ISDN port, as a stats tree: the findings of the
 * plugin's analysis layers, per port and under it per kind, by the display
 * filter that finds them. "tshark -z morvastelle.anomalies,tree" and
 * Statistics > MORVASTELLE in the GUI.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <map>

#include <epan/packet.h>
#include <epan/stats_tree.h>

#include "packet-morvastelle-analysis.h"
#include "packet-morvastelle-call.h"
#include "packet-morvastelle-link.h"
#include "stats-morvastelle.h"

static const char st_str_findings[] = "Findings";

static std::map<stats_tree *, port_labels> anomalies_labels;

static void
anomalies_init(stats_tree *st)
{
    anomalies_labels[st].clear();
    stats_tree_create_node(st, st_str_findings, 0, STAT_DT_INT, TRUE);
}

static void
anomalies_cleanup(stats_tree *st)
{
    anomalies_labels.erase(st);
}

/* Each bit of a finding mask ticked under the port, by its name. */
template <typename mask, typename namer>
static int
tick_findings(stats_tree *st, int port_node, mask findings, namer name_of)
{
    int ticked = 0;
    for (unsigned bit = 0; bit < 8 * sizeof(mask); bit++) {
        mask finding = (mask)(1u << bit);
        if (findings & finding) {
            tick_stat_node(st, name_of(finding), port_node, FALSE);
            ticked++;
        }
    }
    return ticked;
}

static tap_packet_status
anomalies_packet(stats_tree *st, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    const morvastelle_anomalies_tap_info *info = static_cast<const morvastelle_anomalies_tap_info *>(data);
    int findings_node = increase_stat_node(st, st_str_findings, 0, TRUE, 0);
    const char *label = anomalies_labels[st].label_under(st, findings_node, *info->ports, info->port, info->isdn_port);
    int port_node = increase_stat_node(st, label, findings_node, TRUE, 0);
    int count = tick_findings(st, port_node, info->link_findings, morvastelle_link_finding_name) +
                tick_findings(st, port_node, info->call_findings, morvastelle_call_finding_name);
    increase_stat_node(st, label, findings_node, TRUE, count);
    increase_stat_node(st, st_str_findings, 0, TRUE, count);
    return TAP_PACKET_REDRAW;
}

void
register_morvastelle_anomalies_tree(void)
{
    stats_tree_register_plugin("morvastelle_anomalies", "morvastelle.anomalies", MORVASTELLE_STATS_MENU "Anomalies",
                               TL_REQUIRES_NOTHING, anomalies_packet, anomalies_init, anomalies_cleanup);
}
