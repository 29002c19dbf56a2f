/* stats-outcomes.cpp
 * Call outcomes per ISDN port as a stats tree:
 * "tshark -z morvastelle.outcomes,tree" and Statistics > MORVASTELLE in the
 * GUI. Calls by outcome, and the rejected and cancelled ones by cause.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <map>
#include <vector>

#include <epan/packet.h>
#include <epan/stats_tree.h>

#include "packet-morvastelle-call.h"
#include "stats-morvastelle.h"

using morvastelle::call;
using morvastelle::call_outcome;

static const char st_str_calls[] = "Calls";

/* Where the tree counts a call: each tree has a filter of its own, so each
 * has the calls its messages brought. */
struct counted_call {
    bool counted = false;
    call_outcome outcome = call_outcome::in_progress;
    guint8 cause = morvastelle::no_cause;
};

struct outcomes_tree {
    std::vector<counted_call> calls;
    port_labels labels;
};

static std::map<stats_tree *, outcomes_tree> outcomes_trees;

static void
outcomes_init(stats_tree *st)
{
    outcomes_tree &tree = outcomes_trees[st];
    tree.calls.clear();
    tree.labels.clear();
    stats_tree_create_node(st, st_str_calls, 0, STAT_DT_INT, TRUE);
}

static void
outcomes_cleanup(stats_tree *st)
{
    outcomes_trees.erase(st);
}

static bool
counted_by_cause(call_outcome outcome)
{
    return outcome == call_outcome::rejected || outcome == call_outcome::cancelled;
}

static void
count_outcome(stats_tree *st, int port_node, call_outcome outcome, guint8 cause, int count)
{
    int outcome_node = increase_stat_node(st, morvastelle::call_outcome_name(outcome), port_node, TRUE, count);
    if (counted_by_cause(outcome)) {
        const char *cause_node = cause == morvastelle::no_cause ? "no cause" : call_cause_text(cause);
        increase_stat_node(st, cause_node, outcome_node, FALSE, count);
    }
}

/* A stats tree has no end of capture: a call moves between the nodes
 * whenever its outcome or cause changes. */
static tap_packet_status
outcomes_packet(stats_tree *st, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    auto tree = outcomes_trees.find(st);
    if (tree == outcomes_trees.end())
        return TAP_PACKET_DONT_REDRAW;
    const morvastelle_call_tap_info *info = static_cast<const morvastelle_call_tap_info *>(data);
    const call &c = *info->call;
    std::vector<counted_call> &calls = tree->second.calls;
    if (c.id >= calls.size())
        calls.resize(c.id + 1);
    counted_call &counted = calls[c.id];

    call_outcome outcome = c.outcome();
    bool started = !counted.counted;
    /* Another frame's record of a call only moves a call its own counted. */
    if (started && !info->frame_of_call)
        return TAP_PACKET_DONT_REDRAW;
    bool moved = outcome != counted.outcome || (counted_by_cause(outcome) && c.cause != counted.cause);
    if (!started && !moved)
        return TAP_PACKET_DONT_REDRAW;

    int increment = started ? 1 : 0;
    int calls_node = increase_stat_node(st, st_str_calls, 0, TRUE, increment);
    const char *label = tree->second.labels.label_under(st, calls_node, *info->ports, c.port, info->isdn_port);
    int port_node = increase_stat_node(st, label, calls_node, TRUE, increment);
    if (!started)
        count_outcome(st, port_node, counted.outcome, counted.cause, -1);
    count_outcome(st, port_node, outcome, c.cause, 1);
    counted.counted = true;
    counted.outcome = outcome;
    counted.cause = c.cause;
    return TAP_PACKET_REDRAW;
}

void
register_morvastelle_outcomes_tree(void)
{
    stats_tree_register_plugin("morvastelle_call", "morvastelle.outcomes", MORVASTELLE_STATS_MENU "Call Outcomes",
                               TL_REQUIRES_NOTHING, outcomes_packet, outcomes_init, outcomes_cleanup);
}
