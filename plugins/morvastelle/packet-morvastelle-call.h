/* packet-morvastelle-call.h
 * MORVASTELLE Call, the plugin's call analysis layer: which call each
 * tunnelled Q.931 message belongs to and what went wrong in it, shown
 * beside the other protocols and handed to the call statistics and the
 * host's VoIP Calls. Its post-dissector runs the plugin's analysis, for
 * MORVASTELLE Link too.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef PACKET_MORVASTELLE_CALL_H
#define PACKET_MORVASTELLE_CALL_H

#include <epan/packet.h>

#include "call-tracker.h"
#include "packet-morvastelle.h"

/* What the "morvastelle_call" tap hands its listeners: one record per frame
 * that belongs to a call, in packet scope. The call is the one the first
 * pass over the file assigned; a one-pass run sees it as far as it has
 * read. */
typedef struct _morvastelle_call_tap_info {
    const morvastelle::call *call;
    const morvastelle::call_port *port;  /* the call's */
    const char *isdn_port;       /* the port's name as the dissector shows it */
    guint32 retransmission_of;   /* 0 unless the frame repeats that one */
    guint32 lost_frames;         /* on the call's data link while it was up, so far */
    guint8 message_type;
    gboolean from_network;
} morvastelle_call_tap_info;

/* What the "morvastelle_anomalies" tap hands its listeners: one record per
 * frame with findings of an enabled analysis layer, in packet scope. */
typedef struct _morvastelle_anomalies_tap_info {
    const char *isdn_port;       /* as the dissector shows it */
    guint16 link_findings;       /* morvastelle::link_* bits */
    guint8 call_findings;        /* morvastelle::call_* finding bits */
} morvastelle_anomalies_tap_info;

/* The display filter of one call finding's bit. */
const char *morvastelle_call_finding_name(guint8 finding);

/* The host's VoIP Calls finds a call's row by walking its whole list for
 * every record, so many rows make it slow to open: the first calls get
 * rows, the rest are summed up in one. With 10,000 rows, VoIP Calls
 * on a capture of 30,000 calls opens about 8 s later than without the
 * layer's rows (docs/performance.md). */
static const guint32 voip_listed_calls = 10000;

/* "17 User busy": a cause value with the host's own label for it. */
const char *call_cause_text(guint8 cause);

void proto_register_morvastelle_call(void);
void proto_reg_handoff_morvastelle_call(void);

#endif /* PACKET_MORVASTELLE_CALL_H */
