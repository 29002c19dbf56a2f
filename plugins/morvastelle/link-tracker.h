/* link-tracker.h
 * The LAPD data links of each ISDN port (port, SAPI, TEI), followed from
 * their frames as a passive observer sees them: sequence numbers in both
 * directions, link set-up and release, supervisory and TEI management
 * frames, and what in them shows that something went wrong. Plain C++ with
 * no host types: the analysis layer feeds it each tunnelled LAPD frame
 * once, in frame order, and the unit tests drive it directly. Everything it
 * keeps comes from one memory resource.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_LINK_TRACKER_H
#define MORVASTELLE_LINK_TRACKER_H

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <vector>

namespace morvastelle {

/* What a frame shows went wrong on its data link, as bits. */
enum : uint16_t {
    link_lost = 0x0001,             /* I-frames of the link missing from the capture */
    link_retransmission = 0x0002,   /* an I-frame sent again */
    link_out_of_order = 0x0004,     /* an I-frame the link had passed, repeating none */
    link_timer_recovery = 0x0008,   /* a poll while I-frames are unacknowledged (T200) */
    link_busy = 0x0010,             /* RNR */
    link_reject = 0x0020,           /* REJ */
    link_reset = 0x0040,            /* re-established or taken down with calls up */
    link_frame_reject = 0x0080,     /* FRMR */
    link_tei_removed = 0x0100,      /* TEI management: Identity remove */
    link_tei_denied = 0x0200,       /* TEI management: Identity denied */
};

/* One tunnelled LAPD frame: its address, control field and information
 * field as captured. */
struct link_frame {
    uint32_t frame = 0;          /* the frame's number, from 1 */
    uint32_t port = 0;           /* the ISDN port's index, as the call tracker numbers ports */
    uint8_t sapi = 0;
    uint8_t tei = 0;
    bool cr = false;             /* the C/R bit of the address */
    uint8_t control = 0;         /* the first control octet */
    int control2 = -1;           /* the second (I- and S-frames), -1 where not captured */
    /* What follows the control field, as far as captured. */
    const uint8_t *information = nullptr;
    size_t information_length = 0;
};

/* What the tracker made of one frame. */
struct link_result {
    uint16_t findings = 0;       /* link_* bits, but link_reset (see below) */
    uint8_t lost_frames = 0;     /* with link_lost: how many, each counted once */
    /* With link_retransmission: the frame it repeats. */
    uint32_t retransmission_of = 0;
    /* A SABME on an established link, or a DISC or DM taking it down: the
     * link's layer 3 may lose its calls. Whether that is a finding
     * (link_reset) depends on the calls up on the link, which the call
     * tracker knows. */
    bool link_restarted = false;
};

class link_tracker {
public:
    explicit link_tracker(std::pmr::memory_resource *memory = std::pmr::get_default_resource());

    /* Frames come in frame order, each once. */
    link_result add(const link_frame &frame);

    /* Data links known, for the tests and the memory figures. */
    size_t links() const;
};

} // namespace morvastelle

#endif /* MORVASTELLE_LINK_TRACKER_H */
