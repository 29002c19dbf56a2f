/* packet-morvastelle.h
 * Registration routines of the MORVASTELLE dissector, called from the
 * plugin's entry points.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef PACKET_MORVASTELLE_H
#define PACKET_MORVASTELLE_H

void proto_register_morvastelle(void);
void proto_reg_handoff_morvastelle(void);

#endif /* PACKET_MORVASTELLE_H */
