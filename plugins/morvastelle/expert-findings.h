/* expert-findings.h
 * The analysis layers' findings, a bit each, as the host's expert infos:
 * one registered expert info per bit, in bit order.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_EXPERT_FINDINGS_H
#define MORVASTELLE_EXPERT_FINDINGS_H

#include <epan/expert.h>
#include <epan/packet.h>

/* Raises the expert info of each bit of `findings` on `item` (NULL without
 * a tree: the host's expert tap still gets them). The host names the
 * protocol that runs when an expert info is raised, and a post-dissector
 * has none of its own: the layer's name stands in for it meanwhile. */
static inline void
raise_findings(packet_info *pinfo, proto_item *item, const char *protocol_name, const ei_register_info *experts,
               guint count, guint findings)
{
    const char *current_proto = pinfo->current_proto;
    pinfo->current_proto = protocol_name;
    for (guint i = 0; i < count; i++)
        if (findings & (1u << i))
            expert_add_info(pinfo, item, experts[i].ids);
    pinfo->current_proto = current_proto;
}

/* The display filter of one finding's bit, NULL for none. */
static inline const char *
finding_name(const ei_register_info *experts, guint count, guint finding)
{
    for (guint i = 0; i < count; i++)
        if (finding == 1u << i)
            return experts[i].eiinfo.name;
    return NULL;
}

#endif /* MORVASTELLE_EXPERT_FINDINGS_H */
