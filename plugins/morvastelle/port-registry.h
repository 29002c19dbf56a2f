/* port-registry.h
 * The ISDN ports of a capture. Gateways of one make name their ports
 * alike, and a collector may take a whole fleet of them, so a port is the
 * pair (gateway, name), and a gateway the pair of network addresses its
 * datagrams travel between, taken either way round as the host takes a
 * conversation's. Plain C++ with no host types: the analysis and the
 * statistics number ports through it, the unit tests drive it directly.
 * Everything it keeps comes from one memory resource.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_PORT_REGISTRY_H
#define MORVASTELLE_PORT_REGISTRY_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "octet-hash.h"

namespace morvastelle {

/* A network address as the host keeps one: its type and its octets. A PDU
 * that came with no address has type 0 and no octets. */
struct network_address {
    int type = 0;
    const uint8_t *octets = nullptr;
    size_t length = 0;
};

struct gateway_record {
    /* The pair in a fixed order, copied: the packet's octets do not last. */
    network_address ends[2];
    /* Which end sent the gateway's first datagram: the one its ports are
     * told apart by. */
    uint8_t first_source = 0;

    const network_address &address() const { return ends[first_source]; }
};

struct port_record {
    uint32_t gateway;
    uint32_t name;               /* the name's index among distinct names */
    std::string_view octets;     /* the name's, kept by the registry */
};

class port_registry {
public:
    explicit port_registry(std::pmr::memory_resource *memory = std::pmr::get_default_resource());

    /* The gateway between the two addresses, made when first seen. Every
     * frame asks, mostly for the gateway the last one came from. */
    uint32_t gateway_of(const network_address &source, const network_address &destination)
    {
        return recent(source, destination) ? recent_.gateway : find_gateway(source, destination);
    }
    /* The gateway's port of that name, made when first seen. Every frame
     * asks, so in the header. */
    uint32_t port_of(uint32_t gateway, std::string_view name)
    {
        uint64_t hash = octets_hash(name) ^ (gateway * 0x9e3779b97f4a7c15u);
        size_t mask = port_slots_.size() - 1;
        for (size_t at = hash & mask; port_slots_[at].index != no_index; at = (at + 1) & mask) {
            const slot &known = port_slots_[at];
            if (known.hash == hash && ports_[known.index].gateway == gateway &&
                octets_equal(ports_[known.index].octets, name))
                return known.index;
        }
        return new_port(gateway, name, hash);
    }

    size_t ports() const { return ports_.size(); }
    size_t gateways() const { return gateways_.size(); }
    const port_record &port(uint32_t index) const { return ports_[index]; }
    const gateway_record &gateway(uint32_t index) const { return gateways_[index]; }
    std::string_view name(uint32_t port) const { return ports_[port].octets; }
    /* More than one gateway sends the port's name. */
    bool name_shared(uint32_t port) const { return names_[ports_[port].name].ports > 1; }
    /* The names, by index, in the order a second gateway came to send
     * them: what a view that shows ports by name learns from as it goes. */
    const std::pmr::vector<uint32_t> &names_shared() const { return names_shared_; }

    /* The tables point into the registry's own records. */
    port_registry(const port_registry &) = delete;
    port_registry &operator=(const port_registry &) = delete;

private:
    struct name_record {
        name_record(std::string_view octets, std::pmr::memory_resource *memory) : octets(octets, memory) {}
        std::pmr::string octets;
        uint32_t ports = 0;      /* the gateways that send it */
    };
    /* Open addressing on a hash, which the slot keeps; at most half full,
     * so that a search soon meets an empty slot. */
    struct slot {
        uint64_t hash;
        uint32_t index;          /* no_index: an empty slot */
    };
    static constexpr uint32_t no_index = UINT32_MAX;
    /* The last gateway's addresses as the datagram gave them: a capture
     * mostly holds runs of one gateway's datagrams. */
    struct recent_pair {
        int types[2] = {-1, -1};
        uint8_t lengths[2] = {};
        uint8_t octets[2][16] = {};
        uint32_t gateway = no_index;
    };

    static void insert(std::pmr::vector<slot> &slots, uint64_t hash, uint32_t index);
    template <typename same>
    static uint32_t find(const std::pmr::vector<slot> &slots, uint64_t hash, same is_it);
    void grow(std::pmr::vector<slot> &slots, size_t count);
    uint32_t name_index(std::string_view name);
    uint32_t new_port(uint32_t gateway, std::string_view name, uint64_t hash);
    network_address copy(const network_address &address);
    void remember(const network_address &source, const network_address &destination, uint32_t gateway);
    uint32_t find_gateway(const network_address &source, const network_address &destination);
    /* An IPv4 or IPv6 address compared in a load or two, without a call. */
    static bool same_octets(const uint8_t *a, const uint8_t *b, size_t length)
    {
        uint64_t x[2], y[2];
        switch (length) {
        case 0:
            return true;
        case 4:
            memcpy(x, a, 4);
            memcpy(y, b, 4);
            return static_cast<uint32_t>(x[0]) == static_cast<uint32_t>(y[0]);
        case 16:
            memcpy(x, a, 16);
            memcpy(y, b, 16);
            return x[0] == y[0] && x[1] == y[1];
        default:
            return memcmp(a, b, length) == 0;
        }
    }
    bool recent(const network_address &source, const network_address &destination) const
    {
        return recent_.gateway != no_index && source.type == recent_.types[0] &&
               source.length == recent_.lengths[0] && destination.type == recent_.types[1] &&
               destination.length == recent_.lengths[1] &&
               same_octets(source.octets, recent_.octets[0], source.length) &&
               same_octets(destination.octets, recent_.octets[1], destination.length);
    }

    std::pmr::memory_resource *memory_;
    std::pmr::vector<gateway_record> gateways_;
    std::pmr::vector<port_record> ports_;
    std::pmr::deque<name_record> names_;
    std::pmr::vector<slot> gateway_slots_;
    std::pmr::vector<slot> port_slots_;
    std::pmr::vector<slot> name_slots_;
    std::pmr::vector<uint32_t> names_shared_;
    recent_pair recent_;
};

} // namespace morvastelle

#endif /* MORVASTELLE_PORT_REGISTRY_H */
