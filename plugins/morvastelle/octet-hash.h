/* octet-hash.h
 * A quick hash of a few dozen octets, for the trackers' lookups and for
 * knowing a frame again by its content. Plain C++.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_OCTET_HASH_H
#define MORVASTELLE_OCTET_HASH_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace morvastelle {

namespace octet_hash_detail {

inline uint64_t
mix(uint64_t hash, uint64_t word)
{
    hash = (hash ^ word) * 0x9e3779b97f4a7c15u;
    return hash ^ (hash >> 29);
}

template <typename word>
inline word
load(const char *octets)
{
    word value;
    memcpy(&value, octets, sizeof value);
    return value;
}

} // namespace octet_hash_detail

/* Every octet goes in, eight at a time; the last word and short runs are
 * read as overlapping loads rather than copied octet by octet. */
inline uint64_t
octets_hash(std::string_view octets)
{
    using octet_hash_detail::load;
    using octet_hash_detail::mix;
    const char *data = octets.data();
    size_t length = octets.size();
    uint64_t hash = length;
    if (length >= 8) {
        for (size_t i = 0; i + 8 < length; i += 8)
            hash = mix(hash, load<uint64_t>(data + i));
        hash = mix(hash, load<uint64_t>(data + length - 8));
    } else if (length >= 4) {
        hash = mix(hash, (uint64_t)load<uint32_t>(data) << 32 | load<uint32_t>(data + length - 4));
    } else if (length > 0) {
        hash = mix(hash, (uint64_t)(uint8_t)data[0] << 16 | (uint64_t)(uint8_t)data[length / 2] << 8 |
                             (uint8_t)data[length - 1]);
    }
    return hash ^ (hash >> 32);
}

/* The same octets: names of up to 16 compared in two overlapping loads
 * each rather than through a call. */
inline bool
octets_equal(std::string_view a, std::string_view b)
{
    using octet_hash_detail::load;
    size_t length = a.size();
    if (length != b.size())
        return false;
    if (length < 8 || length > 16)
        return memcmp(a.data(), b.data(), length) == 0;
    return load<uint64_t>(a.data()) == load<uint64_t>(b.data()) &&
           load<uint64_t>(a.data() + length - 8) == load<uint64_t>(b.data() + length - 8);
}

} // namespace morvastelle

#endif /* MORVASTELLE_OCTET_HASH_H */
