/* gateway-address.h
 * A gateway's addresses in the host's terms and in the analysis's: the
 * analysis keys gateways by the packet's addresses, and the views name the
 * port of a shared name by its gateway's.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_GATEWAY_ADDRESS_H
#define MORVASTELLE_GATEWAY_ADDRESS_H

#include <epan/address.h>
#include <epan/to_str.h>

#include "port-registry.h"

/* A packet's address as the analysis keys gateways by it. */
static inline morvastelle::network_address
morvastelle_network_address(const address *from)
{
    morvastelle::network_address to;
    to.type = from->type;
    to.octets = (const guint8 *)from->data;
    to.length = from->data ? (size_t)from->len : 0;
    return to;
}

/* The address the port's gateway is named by, the one its first datagram
 * came from, allocated in `scope`. */
static inline char *
morvastelle_gateway_text(wmem_allocator_t *scope, const morvastelle::port_registry &ports, uint32_t port)
{
    const morvastelle::network_address &gateway = ports.gateway(ports.port(port).gateway).address();
    if (!gateway.length)
        return wmem_strdup(scope, "(no address)");
    address shown;
    set_address(&shown, gateway.type, (int)gateway.length, gateway.octets);
    return address_to_str(scope, &shown);
}

#endif /* MORVASTELLE_GATEWAY_ADDRESS_H */
