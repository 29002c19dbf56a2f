/* packet-morvastelle-analysis.h
 * The plugin's analysis pass: one post-dissector that, on the first pass
 * over a file, hands every tunnelled frame to the file's analysis
 * (capture-analysis.h) and keeps what it found; on every pass it hands
 * each frame's record to the layers that show it, MORVASTELLE Link and
 * MORVASTELLE Call, and the findings to the anomalies tap.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef PACKET_MORVASTELLE_ANALYSIS_H
#define PACKET_MORVASTELLE_ANALYSIS_H

#include <epan/packet.h>

#include "gateway-address.h"
#include "port-registry.h"

/* What the "morvastelle_anomalies" tap hands its listeners: one record per
 * frame with findings of an enabled analysis layer, in packet scope. */
typedef struct _morvastelle_anomalies_tap_info {
    const morvastelle::port_registry *ports;
    guint32 port;                /* the frame's, among them */
    const char *isdn_port;       /* its name as the dissector shows it */
    guint16 link_findings;       /* morvastelle::link_* bits */
    guint8 call_findings;        /* morvastelle::call_* finding bits */
} morvastelle_anomalies_tap_info;

void proto_register_morvastelle_analysis(void);
void proto_reg_handoff_morvastelle_analysis(void);

#endif /* PACKET_MORVASTELLE_ANALYSIS_H */
