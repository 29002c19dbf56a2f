/* q931-elements.cpp
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "q931-elements.h"

#include <algorithm>

namespace morvastelle {

namespace {

enum : uint8_t {
    ie_cause = 0x08,
    ie_call_identity = 0x10,
    ie_call_state = 0x14,
    ie_channel_identification = 0x18,
    ie_progress_indicator = 0x1e,
    ie_restart_indicator = 0x79,
};

const uint8_t in_band_progress = 8;

} // namespace

bool
information_elements::next(uint8_t id, size_t *offset, octet_view *contents) const
{
    /* A shift names the codeset of what follows, locking or for the next
     * element only; the scan starts in codeset 0 wherever it starts, since
     * the elements asked for come before any locking shift. */
    unsigned codeset = 0;
    unsigned next_codeset = 0;
    for (size_t i = *offset; i < length;) {
        uint8_t octet = octets[i];
        unsigned this_codeset = next_codeset;
        next_codeset = codeset;
        if (octet & 0x80) {
            if ((octet & 0xf0) == 0x90) {
                next_codeset = octet & 0x07;
                if (!(octet & 0x08))
                    codeset = next_codeset;
            }
            i++;
            continue;
        }
        if (i + 1 >= length)
            break;
        size_t contents_length = octets[i + 1];
        if (octet == id && this_codeset == 0) {
            *contents = octet_view(octets + i + 2, std::min(contents_length, length - i - 2));
            *offset = i + 2 + contents_length;
            return true;
        }
        i += 2 + contents_length;
    }
    *offset = length;
    return false;
}

uint8_t
cause_value(const information_elements &elements)
{
    octet_view cause;
    if (!elements.find(ie_cause, &cause))
        return no_cause;
    /* Octet 3a, the recommendation, follows where octet 3 does not end
     * the group. */
    size_t value = cause.size() > 0 && (cause[0] & 0x80) ? 1 : 2;
    return cause.size() > value ? cause[value] & 0x7f : no_cause;
}

/* The bits `mask` of the first octet of element `id`'s contents, -1 where
 * the message has none. */
static int
first_octet(const information_elements &elements, uint8_t id, uint8_t mask)
{
    octet_view contents;
    if (!elements.find(id, &contents) || contents.empty())
        return -1;
    return contents[0] & mask;
}

int
restart_class(const information_elements &elements)
{
    return first_octet(elements, ie_restart_indicator, 0x07);
}

uint32_t
indicated_channels(const information_elements &elements)
{
    octet_view channel;
    if (!elements.find(ie_channel_identification, &channel) || channel.empty())
        return 0;
    unsigned selection = channel[0] & 0x03;
    if (!(channel[0] & 0x20))
        return selection == 1 || selection == 2 ? 1u << selection : 0;
    /* A primary rate interface names its channels in octets 3.3, after
     * the interface's identifier if it is given, and octet 3.2. */
    if (selection != 1)
        return 0;
    size_t i = 1;
    if (channel[0] & 0x40)
        while (i < channel.size() && !(channel[i++] & 0x80)) {
        }
    /* A slot map rather than numbers: not followed. */
    if (i >= channel.size() || (channel[i] & 0x10))
        return 0;
    uint32_t channels = 0;
    for (i++; i < channel.size(); i++) {
        unsigned number = channel[i] & 0x7f;
        if (number < 32)
            channels |= 1u << number;
        if (channel[i] & 0x80)
            break;
    }
    return channels & ~1u;
}

int
reported_call_state(const information_elements &elements)
{
    return first_octet(elements, ie_call_state, 0x3f);
}

bool
in_band_information(const information_elements &elements)
{
    octet_view progress;
    for (size_t offset = 0; elements.next(ie_progress_indicator, &offset, &progress);)
        if (progress.size() >= 2 && (progress[1] & 0x7f) == in_band_progress)
            return true;
    return false;
}

octet_view
call_identity(const information_elements &elements)
{
    octet_view identity;
    elements.find(ie_call_identity, &identity);
    return identity;
}

} // namespace morvastelle
