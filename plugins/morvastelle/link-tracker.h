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
#include <deque>
#include <memory_resource>
#include <unordered_map>
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
    link_establishment_failed = 0x0400, /* a fourth SABME with no UA or DM between (N200) */
};

/* What an I-frame is to its direction of the data link. */
enum class frame_sequence : uint8_t {
    new_frame,       /* the next one, or a frame that is not numbered */
    after_gap,       /* new, with frames before it missing */
    repeat,          /* an earlier frame sent again (REJ, T200): retransmission_of */
    late,            /* one the link had passed, repeating no earlier frame */
};

const int no_tei = -1;

/* One tunnelled LAPD frame: its address, control field and information
 * field as captured. */
struct link_frame {
    uint32_t frame = 0;          /* the frame's number, from 1 */
    uint32_t port = 0;           /* the ISDN port's index (port-registry.h) */
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
    frame_sequence sequence = frame_sequence::new_frame;
    /* With link_retransmission: the frame it repeats. */
    uint32_t retransmission_of = 0;
    /* With link_tei_removed: the TEI whose data links are gone, 127 for
     * every TEI of the port. */
    int removed_tei = no_tei;
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

    /* The lookup table points into the tracker's own links. */
    link_tracker(const link_tracker &) = delete;
    link_tracker &operator=(const link_tracker &) = delete;

private:
    static constexpr uint8_t unknown_sequence = 0xff;
    static constexpr unsigned history_slots = 16;

    /* One direction of a data link, as its sender's state variables. */
    struct side {
        uint8_t send_state = unknown_sequence;         /* V(S): the next new N(S) */
        uint8_t acknowledge_state = unknown_sequence;  /* V(A): the oldest unacknowledged N(S) */

        /* Whether an N(R) from the other side fits what this side sent. */
        bool fits(unsigned received) const;
        /* The other side's N(R): how many I-frames it shows the capture
         * missed. */
        unsigned acknowledge(unsigned received);
        bool unacknowledged(unsigned sequence) const;
        bool awaits_acknowledgement() const;
    };
    /* The I-frames one direction sent since the link was set up, by N(S)
     * modulo history_slots: more than a window's worth, to know a frame
     * sent again after REJ or T200. Laid out by field so no slot pads. */
    struct history {
        uint32_t hashes[history_slots];
        uint32_t frames[history_slots];       /* 0: an empty slot */
        uint16_t lengths[history_slots];
        uint8_t sequences[history_slots];
    };
    struct link_state {
        uint32_t port_record = 0;             /* into every_tei_removals_ */
        uint32_t every_tei_removals = 0;      /* its port's count when last seen */
        history *histories[2] = {};           /* by sender, 1 the network; null until its first I-frame */
        side sides[2];
        uint8_t status = 0;                   /* 0 never seen, up, setting up, releasing, down */
        uint8_t polls = 0;                    /* by C/R value: a poll awaits its final */
        uint8_t pending = 0;                  /* by C/R value: a SABME or DISC awaits its answer */
        uint8_t unanswered_set_ups = 0;       /* SABMEs since the last UA or DM */
    };
    /* Open addressing on the link's key, which the slot keeps. */
    struct link_slot {
        uint64_t key;
        link_state *link;                     /* null: an empty slot */
    };

    link_slot &slot_of(uint64_t key);
    link_state &new_link(link_slot &slot, uint64_t key, uint32_t port);
    link_state &link_of(const link_frame &frame);
    link_result add_information(const link_frame &frame);
    link_result add_supervisory(const link_frame &frame);
    link_result add_unnumbered(const link_frame &frame);
    link_result add_tei_management(const link_frame &frame);
    void remember(link_state &link, unsigned sender, unsigned sequence, uint32_t frame, uint32_t hash,
                  uint16_t length);
    static void forget_sequence(link_state &link);
    static void forget(link_state &link);

    std::pmr::vector<link_slot> slots_;
    unsigned slot_shift_;                     /* 64 less the table size's bits */
    /* Deques: links and histories stay where they are as more come. */
    std::pmr::deque<link_state> links_;
    std::pmr::deque<history> histories_;
    /* Identity remove for every TEI of a port counts here; each link
     * forgets its state when it next sees the count changed. */
    std::pmr::unordered_map<uint32_t, uint32_t> port_records_;
    std::pmr::vector<uint32_t> every_tei_removals_;
};

} // namespace morvastelle

#endif /* MORVASTELLE_LINK_TRACKER_H */
