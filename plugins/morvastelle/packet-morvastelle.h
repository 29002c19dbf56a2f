/* packet-morvastelle.h
 * Registration routines of the MORVASTELLE dissector, called from the
 * plugin's entry points.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef PACKET_MORVASTELLE_H
#define PACKET_MORVASTELLE_H

#include <epan/packet.h>

#define MORVASTELLE_TYPE_LAPD 0

extern const value_string morvastelle_type_vals[];

/* What the "morvastelle" tap hands its listeners, one per PDU, in packet
 * scope. */
typedef struct _morvastelle_tap_info {
    guint8 type;             /* 0 when not even the Type was captured */
    gboolean header_whole;   /* Type, L and all L name octets captured */
    const char *isdn_port;   /* Type 0: the name as far as captured; else NULL */
    guint pdu_length;        /* as reported, captured or not */
    gint lapd_control;       /* first control octet of the frame, -1 if none */
} morvastelle_tap_info;

void proto_register_morvastelle(void);
void proto_reg_handoff_morvastelle(void);

#endif /* PACKET_MORVASTELLE_H */
