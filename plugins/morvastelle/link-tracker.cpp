/* link-tracker.cpp
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "link-tracker.h"

#include "octet-hash.h"

#include <string_view>

namespace morvastelle {

namespace {

enum : uint8_t {
    lapd_rr = 0x01,
    lapd_rnr = 0x05,
    lapd_rej = 0x09,
    lapd_sabme = 0x6f,
    lapd_dm = 0x0f,
    lapd_ui = 0x03,
    lapd_disc = 0x43,
    lapd_ua = 0x63,
    lapd_frmr = 0x87,
};

enum : uint8_t {
    status_unknown,
    status_established,
    status_setting_up,
    status_releasing,
    status_down,
};

const uint8_t tei_management_sapi = 63;
const uint8_t tei_management_entity = 0x0f;
const uint8_t tei_identity_denied = 3;
const uint8_t tei_identity_remove = 6;
const unsigned every_tei = 127;

/* A SABME or DISC waits for the UA that carries its own C/R value. */
unsigned
awaiting_set_up(unsigned cr)
{
    return 1u << cr;
}

unsigned
awaiting_release(unsigned cr)
{
    return 4u << cr;
}

/* Sequence numbers count modulo 128: how far `to` lies past `from`. */
unsigned
ahead(unsigned to, unsigned from)
{
    return (to - from) & 127;
}

/* Half the sequence space: a number farther ahead than this is behind. */
const unsigned max_ahead = 63;

uint64_t
link_key(uint32_t port, unsigned sapi, unsigned tei)
{
    return (uint64_t)port << 13 | (sapi & 0x3f) << 7 | (tei & 0x7f);
}

} // namespace

link_tracker::link_tracker(std::pmr::memory_resource *memory)
    : slots_(64, link_slot{0, nullptr}, memory), slot_shift_(64 - 6), links_(memory), histories_(memory),
      port_records_(memory), every_tei_removals_(memory)
{
}

size_t
link_tracker::links() const
{
    return links_.size();
}

/* Fibonacci hashing: the key's high product bits pick the slot, so keys
 * that differ only in the port or only in the TEI spread alike. */
inline link_tracker::link_slot &
link_tracker::slot_of(uint64_t key)
{
    size_t mask = slots_.size() - 1;
    size_t slot = (key * 0x9e3779b97f4a7c15u) >> slot_shift_;
    while (slots_[slot].link && slots_[slot].key != key)
        slot = (slot + 1) & mask;
    return slots_[slot];
}

link_tracker::link_state &
link_tracker::new_link(link_slot &slot, uint64_t key, uint32_t port)
{
    link_state &link = links_.emplace_back();
    auto [record, added] = port_records_.try_emplace(port, static_cast<uint32_t>(every_tei_removals_.size()));
    if (added)
        every_tei_removals_.push_back(0);
    link.port_record = record->second;
    link.every_tei_removals = every_tei_removals_[link.port_record];
    slot = link_slot{key, &link};
    /* At most half full, so that a search soon meets an empty slot. */
    if (links_.size() * 2 > slots_.size()) {
        std::pmr::vector<link_slot> old(slots_.size() * 2, link_slot{0, nullptr}, slots_.get_allocator());
        old.swap(slots_);
        slot_shift_--;
        for (const link_slot &known : old)
            if (known.link)
                slot_of(known.key) = known;
    }
    return link;
}

inline link_tracker::link_state &
link_tracker::link_of(const link_frame &frame)
{
    uint64_t key = link_key(frame.port, frame.sapi, frame.tei);
    link_slot &slot = slot_of(key);
    link_state &link = slot.link ? *slot.link : new_link(slot, key, frame.port);
    uint32_t removals = every_tei_removals_[link.port_record];
    if (link.every_tei_removals != removals) {
        forget(link);
        link.every_tei_removals = removals;
    }
    return link;
}

void
link_tracker::forget_sequence(link_state &link)
{
    for (unsigned sender = 0; sender < 2; sender++) {
        link.sides[sender] = side{};
        if (link.histories[sender])
            *link.histories[sender] = history{};
    }
    link.polls = 0;
}

/* Its TEI removed: what comes next on it is a new terminal's. */
void
link_tracker::forget(link_state &link)
{
    forget_sequence(link);
    link.status = status_unknown;
    link.pending = 0;
    link.unanswered_set_ups = 0;
}

inline void
link_tracker::remember(link_state &link, unsigned sender, unsigned sequence, uint32_t frame, uint32_t hash,
                       uint16_t length)
{
    history *&frames = link.histories[sender];
    if (!frames)
        frames = &histories_.emplace_back();
    unsigned slot = sequence % history_slots;
    frames->hashes[slot] = hash;
    frames->frames[slot] = frame;
    frames->lengths[slot] = length;
    frames->sequences[slot] = static_cast<uint8_t>(sequence);
}

/* From V(A) to V(S), or, with V(A) not known yet, up to half the
 * sequence space behind V(S); a direction not known yet fits any. */
inline bool
link_tracker::side::fits(unsigned received) const
{
    if (send_state == unknown_sequence)
        return true;
    unsigned sent = acknowledge_state == unknown_sequence ? max_ahead : ahead(send_state, acknowledge_state);
    return ahead(send_state, received) <= sent;
}

inline unsigned
link_tracker::side::acknowledge(unsigned received)
{
    /* A capture that starts mid-link learns the direction from its peer. */
    if (send_state == unknown_sequence) {
        send_state = acknowledge_state = static_cast<uint8_t>(received);
        return 0;
    }
    if (fits(received)) {
        acknowledge_state = static_cast<uint8_t>(received);
        return 0;
    }
    /* Outside the window: I-frames the capture never held when nearer
     * ahead of V(S) than behind V(A), else a stale N(R) come late. */
    unsigned missed = ahead(received, send_state);
    unsigned stale = acknowledge_state == unknown_sequence ? 128 : ahead(acknowledge_state, received);
    if (missed > max_ahead || missed >= stale)
        return 0;
    /* So that the same frames are not counted again from their N(S). */
    send_state = acknowledge_state = static_cast<uint8_t>(received);
    return missed;
}

/* In [V(A), V(S)): sent and not acknowledged yet. */
bool
link_tracker::side::unacknowledged(unsigned sequence) const
{
    return acknowledge_state != unknown_sequence &&
           ahead(sequence, acknowledge_state) < ahead(send_state, acknowledge_state);
}

bool
link_tracker::side::awaits_acknowledgement() const
{
    return send_state != unknown_sequence && acknowledge_state != unknown_sequence &&
           send_state != acknowledge_state;
}

link_result
link_tracker::add(const link_frame &frame)
{
    if ((frame.control & 3) == 3)
        return add_unnumbered(frame);
    if (frame.control2 < 0)
        return link_result();
    return frame.control & 1 ? add_supervisory(frame) : add_information(frame);
}

link_result
link_tracker::add_information(const link_frame &frame)
{
    link_result result;
    link_state &link = link_of(frame);
    /* I-frames flow only on a link that is up, whatever the capture missed
     * of its set-up (its UA too); those crossing a DISC do not bring it
     * back. */
    if (link.status != status_releasing) {
        link.status = status_established;
        link.pending = 0;
        link.unanswered_set_ups = 0;
    }
    unsigned sender = frame.cr;  /* a command: C/R 1 from the network */
    unsigned sequence = frame.control >> 1;
    uint32_t hash = static_cast<uint32_t>(
        octets_hash(std::string_view(reinterpret_cast<const char *>(frame.information), frame.information_length)));
    /* The hash covers the whole length; the slot keeps its low bits. */
    uint16_t length = static_cast<uint16_t>(frame.information_length);
    side &own = link.sides[sender];

    unsigned missed = own.send_state == unknown_sequence ? 0 : ahead(sequence, own.send_state);
    /* Past half the sequence space unacknowledged, a number ahead of V(S)
     * may still be one sent before. */
    if (missed == 0 || (missed <= max_ahead && !own.unacknowledged(sequence))) {
        if (missed) {
            result.findings |= link_lost;
            result.lost_frames = static_cast<uint8_t>(missed);
            result.sequence = frame_sequence::after_gap;
        }
        own.send_state = static_cast<uint8_t>((sequence + 1) & 127);
        remember(link, sender, sequence, frame.frame, hash, length);
    } else {
        const history *sent = link.histories[sender];
        unsigned slot = sequence % history_slots;
        if (sent && sent->frames[slot] && sent->sequences[slot] == sequence && sent->hashes[slot] == hash &&
            sent->lengths[slot] == length) {
            result.findings |= link_retransmission;
            result.retransmission_of = sent->frames[slot];
            result.sequence = frame_sequence::repeat;
        } else {
            result.findings |= link_out_of_order;
            result.sequence = frame_sequence::late;
            remember(link, sender, sequence, frame.frame, hash, length);
        }
    }

    /* At most 63 from each side of the frame: the sum fits an octet. */
    if (unsigned acknowledged_missed = link.sides[!sender].acknowledge(static_cast<unsigned>(frame.control2) >> 1)) {
        result.findings |= link_lost;
        result.lost_frames = static_cast<uint8_t>(result.lost_frames + acknowledged_missed);
    }
    return result;
}

link_result
link_tracker::add_supervisory(const link_frame &frame)
{
    link_result result;
    unsigned function = frame.control & 0x0f;
    if (function != lapd_rr && function != lapd_rnr && function != lapd_rej)
        return result;
    link_state &link = link_of(frame);
    if (link.status == status_unknown)
        link.status = status_established;

    /* Acknowledgements are responses in practice. A poll and its final
     * carry the same C/R value, so a P/F frame is a poll unless one with
     * its value awaits its final, or unless only the other reading fits
     * its N(R): the pairing is a guess where the capture missed a frame,
     * the C/R value of an acknowledgement is not. */
    unsigned cr = frame.cr;
    bool poll_final = frame.control2 & 1;
    bool command = poll_final && !(link.polls & (1u << cr));
    unsigned sender = command ? cr : !cr;
    unsigned received = static_cast<unsigned>(frame.control2) >> 1;
    if (poll_final) {
        if (!link.sides[!sender].fits(received) && link.sides[sender].fits(received)) {
            command = !command;
            sender = !sender;
        }
        link.polls = static_cast<uint8_t>(command ? link.polls | 1u << cr : link.polls & ~(1u << cr));
    }

    /* A poll with nothing unacknowledged is T203 on an idle link. */
    if (command && poll_final && function != lapd_rej && link.sides[sender].awaits_acknowledgement())
        result.findings |= link_timer_recovery;
    if (unsigned missed = link.sides[!sender].acknowledge(received)) {
        result.findings |= link_lost;
        result.lost_frames = static_cast<uint8_t>(missed);
    }
    if (function == lapd_rnr)
        result.findings |= link_busy;
    else if (function == lapd_rej)
        result.findings |= link_reject;
    return result;
}

link_result
link_tracker::add_unnumbered(const link_frame &frame)
{
    link_result result;
    unsigned function = frame.control & ~0x10u;
    if (function == lapd_frmr) {
        result.findings |= link_frame_reject;
        return result;
    }
    if (function == lapd_ui)
        return add_tei_management(frame);
    if (function != lapd_sabme && function != lapd_disc && function != lapd_ua && function != lapd_dm)
        return result;

    link_state &link = link_of(frame);
    unsigned cr = frame.cr;
    bool established = link.status == status_established;
    if (function == lapd_ua || function == lapd_dm)
        link.unanswered_set_ups = 0;
    switch (function) {
    case lapd_sabme:
        /* Sent again before its UA, it is the same set-up. Both sides may
         * send one at once, each answered on its own. The first and N200
         * (3) more go unanswered only where the peer is silent or set up
         * as the same side: the link fails unless this last one is
         * answered, and the next SABME starts over. */
        if (++link.unanswered_set_ups == 4) {
            result.findings |= link_establishment_failed;
            link.unanswered_set_ups = 0;
        }
        result.link_restarted = established;
        link.status = status_setting_up;
        link.pending = static_cast<uint8_t>((link.pending & (awaiting_set_up(0) | awaiting_set_up(1))) |
                                            awaiting_set_up(cr));
        forget_sequence(link);
        break;
    case lapd_disc:
        result.link_restarted = established;
        link.status = status_releasing;
        link.pending = static_cast<uint8_t>(awaiting_release(cr));
        forget_sequence(link);
        break;
    case lapd_dm:
        /* Answering a SABME, it refuses a link that was not up. */
        result.link_restarted = established;
        link.status = status_down;
        link.pending = 0;
        forget_sequence(link);
        break;
    default:
        forget_sequence(link);
        if (link.pending & awaiting_set_up(cr)) {
            /* Set up: both sides count from 0, so a lost first I-frame shows. */
            link.status = status_established;
            link.pending = static_cast<uint8_t>(link.pending & ~awaiting_set_up(cr));
            link.sides[0] = link.sides[1] = side{0, 0};
        } else if (link.pending & awaiting_release(cr)) {
            link.status = status_down;
            link.pending = 0;
        } else {
            /* Its command not captured: up, counting from where we cannot
             * tell. */
            link.status = status_established;
            link.pending = 0;
        }
        break;
    }
    return result;
}

link_result
link_tracker::add_tei_management(const link_frame &frame)
{
    link_result result;
    const uint8_t *message = frame.information;
    if ((frame.sapi & 0x3f) != tei_management_sapi || frame.information_length < 4 ||
        message[0] != tei_management_entity)
        return result;
    if (message[3] == tei_identity_denied) {
        result.findings |= link_tei_denied;
        return result;
    }
    if (message[3] != tei_identity_remove || frame.information_length < 5)
        return result;
    result.findings |= link_tei_removed;
    unsigned removed = message[4] >> 1;
    result.removed_tei = static_cast<int>(removed);
    if (removed == every_tei) {
        auto record = port_records_.find(frame.port);
        if (record != port_records_.end())
            every_tei_removals_[record->second]++;
        return result;
    }
    for (unsigned sapi = 0; sapi <= 0x3f; sapi++) {
        link_slot &slot = slot_of(link_key(frame.port, sapi, removed));
        if (slot.link)
            forget(*slot.link);
    }
    return result;
}

} // namespace morvastelle
