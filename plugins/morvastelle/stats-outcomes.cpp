/* stats-outcomes.cpp
 * Call outcomes per ISDN port as a stats tree:
 * "tshark -z morvastelle.outcomes,tree" and Statistics > MORVASTELLE in the
 * GUI. Calls by outcome, and the rejected and cancelled ones by cause.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <map>
#include <memory>

#include <epan/packet.h>
#include <epan/stats_tree.h>

#include "call-feed.h"
#include "stats-morvastelle.h"

using morvastelle::call;
using morvastelle::call_change;
using morvastelle::call_outcome;

static const char st_str_calls[] = "Calls";

/* Each tree has a filter of its own, so each follows its own calls. */
static std::map<stats_tree *, std::unique_ptr<call_feed>> outcome_feeds;

static void
outcomes_init(stats_tree *st)
{
    std::unique_ptr<call_feed> &feed = outcome_feeds[st];
    if (!feed)
        feed.reset(new call_feed(NULL, NULL));
    GString *error = feed->start();
    if (error) {
        /* The host gives an init no way to fail: the tree stays empty. */
        ws_warning("morvastelle.outcomes: %s", error->str);
        g_string_free(error, TRUE);
    }
    feed->reset();
    stats_tree_create_node(st, st_str_calls, 0, STAT_DT_INT, TRUE);
}

static void
outcomes_cleanup(stats_tree *st)
{
    auto feed = outcome_feeds.find(st);
    if (feed == outcome_feeds.end())
        return;
    feed->second->stop();
    outcome_feeds.erase(feed);
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
outcomes_packet(stats_tree *st, packet_info *pinfo, epan_dissect_t *, const void *data, tap_flags_t)
{
    auto feed = outcome_feeds.find(st);
    if (feed == outcome_feeds.end())
        return TAP_PACKET_DONT_REDRAW;
    call_change change = feed->second->add(pinfo, static_cast<const q931_packet_info *>(data));
    if (!change.changed)
        return TAP_PACKET_DONT_REDRAW;

    const call &c = *change.changed;
    call_outcome outcome = c.outcome();
    bool moved = outcome != change.old_outcome || (counted_by_cause(outcome) && c.cause != change.old_cause);
    if (!change.started && !moved)
        return TAP_PACKET_DONT_REDRAW;

    char label[PORT_LABEL_SIZE];
    port_label(feed->second->tracker().ports()[c.port].name.c_str(), label);
    int increment = change.started ? 1 : 0;
    int calls_node = increase_stat_node(st, st_str_calls, 0, TRUE, increment);
    int port_node = increase_stat_node(st, label, calls_node, TRUE, increment);
    if (!change.started)
        count_outcome(st, port_node, change.old_outcome, change.old_cause, -1);
    count_outcome(st, port_node, outcome, c.cause, 1);
    return TAP_PACKET_REDRAW;
}

void
register_morvastelle_outcomes_tree(void)
{
    stats_tree_register_plugin("q931", "morvastelle.outcomes", "MORVASTELLE/Call Outcomes",
                               TL_REQUIRES_NOTHING, outcomes_packet, outcomes_init, outcomes_cleanup);
}
