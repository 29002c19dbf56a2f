/* packet-morvastelle-link.h
 * MORVASTELLE Link, the plugin's data link analysis: what went wrong on
 * the tunnelled LAPD data links (frames lost in the tunnel, repeated or
 * reordered, timer recovery, busy and rejecting receivers, resets with
 * calls up, TEI removal, failed set-ups), shown as the host's expert
 * information. The findings come from the link tracker, which the
 * analysis post-dissector feeds on a file's first pass.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef PACKET_MORVASTELLE_LINK_H
#define PACKET_MORVASTELLE_LINK_H

#include <epan/packet.h>

#include "frame-records.h"

/* Whether the protocol is enabled now: the host starts a file's
 * dissection again when that changes. */
gboolean morvastelle_link_enabled(void);

/* On a frame with findings (link_* bits) and only there: the layer's item,
 * with the findings' numbers, and its expert infos, raised with or
 * without a tree. */
void morvastelle_link_show(proto_tree *tree, tvbuff_t *tvb, packet_info *pinfo, guint16 findings,
                           const morvastelle::frame_numbers *numbers);

/* The display filter of one finding's bit. */
const char *morvastelle_link_finding_name(guint16 finding);

void proto_register_morvastelle_link(void);

#endif /* PACKET_MORVASTELLE_LINK_H */
