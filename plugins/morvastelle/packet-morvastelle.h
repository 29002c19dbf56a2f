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

/* Q.931 call control; TEI management on its own SAPI. */
#define LAPD_SAPI_CALL_CONTROL 0

/* A LAPD U-frame's function is its control octet without the P/F bit. */
#define LAPD_PF_BIT 0x10
#define LAPD_UI 0x03
#define LAPD_DM 0x0f
#define LAPD_DISC 0x43
#define LAPD_SABME 0x6f

extern const value_string morvastelle_type_vals[];

/* What a PDU's tunnelled LAPD frame says about itself, from its captured
 * octets alone. */
typedef struct _morvastelle_lapd_frame {
    gint control;            /* first control octet, -1 if none */
    /* The frame's address, valid when control is not -1. */
    guint8 sapi;
    gboolean cr;
    guint8 tei;
    /* An I- or S-frame's second control octet, -1 for a U-frame or where
     * not captured; the PDU offset of what follows the control field. */
    gint control2;
    guint information;
    /* The Q.931 message an I- or UI-frame on SAPI 0 carries: its call
     * reference, -1 unless its length octet and all its value octets were
     * captured, with the flag bit kept apart from the value octets; its
     * message type, -1 unless captured too. */
    gint call_ref_length;
    gboolean call_ref_flag;
    guint8 call_ref[15];
    gint message_type;
    guint information_elements;  /* PDU offset of the octet after the type */
} morvastelle_lapd_frame;

/* What the "morvastelle" tap hands its listeners, one per PDU, in packet
 * scope. */
typedef struct _morvastelle_tap_info {
    guint8 type;             /* 0 when not even the Type was captured */
    gboolean header_whole;   /* Type, L and all L name octets captured */
    const char *isdn_port;   /* Type 0: the name as far as captured; else NULL */
    /* The name's octets, when the header was captured whole. */
    const guint8 *isdn_port_octets;
    guint isdn_port_length;
    guint pdu_length;        /* as reported, captured or not (tap records only) */
    /* The PDU's captured octets, while its packet is being dissected. */
    const guint8 *octets;
    guint captured;
    morvastelle_lapd_frame lapd;
} morvastelle_tap_info;

/* What a PDU's captured octets say, read without raising. */
void morvastelle_read_pdu(const guint8 *octets, guint captured, morvastelle_tap_info *info);

/* From a post-dissector, for every packet once it has been dissected: puts
 * back what a tunnelled frame that raised an error left changed, and hands
 * over the packet's own MORVASTELLE PDU (the first one, not one quoted in
 * an error packet) and its captured octets, NULL if it has none. The
 * analysis built on the dissector reads it from here, while the packet's
 * buffers still live. */
tvbuff_t *morvastelle_packet_dissected(packet_info *pinfo, const guint8 **octets, guint *captured);

void proto_register_morvastelle(void);
void proto_reg_handoff_morvastelle(void);

#endif /* PACKET_MORVASTELLE_H */
