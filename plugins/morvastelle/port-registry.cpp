/* port-registry.cpp
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "port-registry.h"

#include <cstring>

namespace morvastelle {

namespace {

const uint64_t golden = 0x9e3779b97f4a7c15u;

std::string_view
octets_of(const network_address &address)
{
    return std::string_view(reinterpret_cast<const char *>(address.octets), address.length);
}

/* As the host orders addresses: by type, length, then octets. */
int
compare(const network_address &a, const network_address &b)
{
    if (a.type != b.type)
        return a.type < b.type ? -1 : 1;
    if (a.length != b.length)
        return a.length < b.length ? -1 : 1;
    return a.length ? memcmp(a.octets, b.octets, a.length) : 0;
}

uint64_t
address_hash(const network_address &address)
{
    return octets_hash(octets_of(address)) ^ (static_cast<uint64_t>(address.type) << 48);
}

} // namespace

port_registry::port_registry(std::pmr::memory_resource *memory)
    : memory_(memory), gateways_(memory), ports_(memory), names_(memory),
      gateway_slots_(16, slot{0, no_index}, memory), port_slots_(16, slot{0, no_index}, memory),
      name_slots_(16, slot{0, no_index}, memory), names_shared_(memory)
{
}

void
port_registry::insert(std::pmr::vector<slot> &slots, uint64_t hash, uint32_t index)
{
    size_t mask = slots.size() - 1;
    size_t at = hash & mask;
    while (slots[at].index != no_index)
        at = (at + 1) & mask;
    slots[at] = slot{hash, index};
}

template <typename same>
uint32_t
port_registry::find(const std::pmr::vector<slot> &slots, uint64_t hash, same is_it)
{
    size_t mask = slots.size() - 1;
    for (size_t at = hash & mask; slots[at].index != no_index; at = (at + 1) & mask)
        if (slots[at].hash == hash && is_it(slots[at].index))
            return slots[at].index;
    return no_index;
}

/* Called with the count the table is to hold: doubled before it is more
 * than half full. */
void
port_registry::grow(std::pmr::vector<slot> &slots, size_t count)
{
    if (count * 2 <= slots.size())
        return;
    std::pmr::vector<slot> old(slots.size() * 2, slot{0, no_index}, slots.get_allocator());
    old.swap(slots);
    for (const slot &known : old)
        if (known.index != no_index)
            insert(slots, known.hash, known.index);
}

network_address
port_registry::copy(const network_address &address)
{
    network_address copied = address;
    if (address.length) {
        uint8_t *octets = static_cast<uint8_t *>(memory_->allocate(address.length, 1));
        memcpy(octets, address.octets, address.length);
        copied.octets = octets;
    }
    return copied;
}

void
port_registry::remember(const network_address &source, const network_address &destination, uint32_t gateway)
{
    recent_.gateway = no_index;
    if (source.length > sizeof recent_.octets[0] || destination.length > sizeof recent_.octets[0])
        return;
    const network_address *pair[2] = {&source, &destination};
    for (int end = 0; end < 2; end++) {
        recent_.types[end] = pair[end]->type;
        recent_.lengths[end] = static_cast<uint8_t>(pair[end]->length);
        if (pair[end]->length)
            memcpy(recent_.octets[end], pair[end]->octets, pair[end]->length);
    }
    recent_.gateway = gateway;
}

uint32_t
port_registry::find_gateway(const network_address &source, const network_address &destination)
{
    bool swapped = compare(source, destination) > 0;
    const network_address &low = swapped ? destination : source;
    const network_address &high = swapped ? source : destination;
    uint64_t hash = address_hash(low) * golden + address_hash(high);
    uint32_t gateway = find(gateway_slots_, hash, [&](uint32_t index) {
        const gateway_record &known = gateways_[index];
        return compare(known.ends[0], low) == 0 && compare(known.ends[1], high) == 0;
    });
    if (gateway == no_index) {
        gateway = static_cast<uint32_t>(gateways_.size());
        gateway_record &added = gateways_.emplace_back();
        added.ends[0] = copy(low);
        added.ends[1] = copy(high);
        added.first_source = swapped ? 1 : 0;
        grow(gateway_slots_, gateways_.size());
        insert(gateway_slots_, hash, gateway);
    }
    remember(source, destination, gateway);
    return gateway;
}

uint32_t
port_registry::name_index(std::string_view name)
{
    uint64_t hash = octets_hash(name);
    uint32_t index = find(name_slots_, hash, [&](uint32_t known) { return octets_equal(names_[known].octets, name); });
    if (index == no_index) {
        index = static_cast<uint32_t>(names_.size());
        names_.emplace_back(name, memory_);
        grow(name_slots_, names_.size());
        insert(name_slots_, hash, index);
    }
    return index;
}

uint32_t
port_registry::new_port(uint32_t gateway, std::string_view name, uint64_t hash)
{
    uint32_t port = static_cast<uint32_t>(ports_.size());
    uint32_t named = name_index(name);
    if (++names_[named].ports == 2)
        names_shared_.push_back(named);
    ports_.push_back(port_record{gateway, named, names_[named].octets});
    grow(port_slots_, ports_.size());
    insert(port_slots_, hash, port);
    return port;
}

} // namespace morvastelle
