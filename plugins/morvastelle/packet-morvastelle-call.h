/* packet-morvastelle-call.h
 * MORVASTELLE Call, the plugin's call analysis layer: which call each
 * tunnelled Q.931 message belongs to and what went wrong in it, shown
 * beside the other protocols and handed to the call statistics and the
 * host's VoIP Calls. A view of the records of the file's analysis, which
 * hands it each frame.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef PACKET_MORVASTELLE_CALL_H
#define PACKET_MORVASTELLE_CALL_H

#include <epan/packet.h>

#include "capture-analysis.h"

/* What the "morvastelle_call" tap hands its listeners: one record per
 * frame that belongs to a call, in packet scope, and on a file's first
 * pass one for each call that a frame not its own changed (ended it). The
 * call is the one the first pass over the file assigned; a one-pass run
 * sees it as far as it has read. */
typedef struct _morvastelle_call_tap_info {
    const morvastelle::call *call;
    const morvastelle::call_port *port;       /* the call's */
    const morvastelle::port_registry *ports;  /* the call's port among them */
    const char *isdn_port;       /* the port's name as the dissector shows it */
    guint32 retransmission_of;   /* 0 unless the frame repeats that one */
    guint32 lost_frames;         /* on the call's data link while it was up, so far */
    guint8 message_type;
    gboolean from_network;
    gboolean frame_of_call;      /* FALSE: the call changed by another frame */
} morvastelle_call_tap_info;

/* What the analysis hands the layer for a frame of a call, a frame with a
 * call finding, or a call that another frame changed. */
typedef struct _morvastelle_call_frame {
    const morvastelle::frame_record *record;  /* NULL for a changed call */
    const morvastelle::frame_numbers *numbers;
    const morvastelle::call *call;            /* NULL for a frame of no call */
    const morvastelle::capture_analysis *analysis;
    /* By the registry's name index: the names as the dissector shows them. */
    const char *const *port_names;
} morvastelle_call_frame;

/* Whether the protocol is enabled now: the host starts a file's
 * dissection again when that changes. */
gboolean morvastelle_call_enabled(void);
/* Whether a frame of a call is shown or tapped: its call's numbers are
 * then wanted. */
gboolean morvastelle_call_wanted(proto_tree *tree);
/* The layer's item, fields and expert infos, and its tap records. */
void morvastelle_call_show(proto_tree *tree, tvbuff_t *tvb, packet_info *pinfo, const morvastelle_call_frame *frame);
/* On the first pass: the record of a call another frame changed. */
void morvastelle_call_changed(packet_info *pinfo, const morvastelle_call_frame *frame);

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

#endif /* PACKET_MORVASTELLE_CALL_H */
