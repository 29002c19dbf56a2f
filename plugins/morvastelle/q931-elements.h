/* q931-elements.h
 * The few Q.931 information elements the call analysis reads from a
 * message's octets as captured: the host decodes them only into a tree or
 * a tap record that a first pass may not have. Plain C++.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_Q931_ELEMENTS_H
#define MORVASTELLE_Q931_ELEMENTS_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace morvastelle {

using octet_view = std::basic_string_view<uint8_t>;

/* The octets after a message's type, as far as captured. */
struct information_elements {
    const uint8_t *octets = nullptr;
    size_t length = 0;

    /* The contents of the first element `id` of codeset 0 from `*offset`
     * on, as far as captured; the offset moves past it. False when there
     * is none. */
    bool next(uint8_t id, size_t *offset, octet_view *contents) const;
    bool find(uint8_t id, octet_view *contents) const
    {
        size_t offset = 0;
        return next(id, &offset, contents);
    }
};

const uint8_t no_cause = 255;

/* The Cause's value, no_cause where the message has none. */
uint8_t cause_value(const information_elements &elements);
/* The Restart indicator's class, -1 where there is none. */
int restart_class(const information_elements &elements);
/* The B-channels the Channel identification names, bit n for channel n
 * (B1 and B2 on a basic rate interface); 0 for none or any. */
uint32_t indicated_channels(const information_elements &elements);
/* The Call state's value, -1 where there is none. */
int reported_call_state(const information_elements &elements);
/* A Progress indicator of in-band information (description 8). */
bool in_band_information(const information_elements &elements);
/* The Call identity of a SUSPEND or RESUME: empty where it has none, as a
 * call suspended without one is resumed without one. */
octet_view call_identity(const information_elements &elements);

} // namespace morvastelle

#endif /* MORVASTELLE_Q931_ELEMENTS_H */
