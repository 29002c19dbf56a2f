/* frame-records.h
 * What the first pass over a file found for the tunnelled frames that
 * belong to a call or show a finding, kept for the passes to come. Plain
 * C++: the first pass appends the records in frame order, and later passes,
 * which mostly go in frame order too, find each at a cursor; a few
 * instructions where the host's per-frame data costs hundreds, and nothing
 * for the frames of other traffic.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_FRAME_RECORDS_H
#define MORVASTELLE_FRAME_RECORDS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory_resource>
#include <vector>

namespace morvastelle {

/* A frame record's flags, for a frame of a call. */
enum : uint8_t {
    frame_from_network = 0x01,
    frame_starts_call = 0x02,
    /* The message's numbers are still to be added to its call: they come
     * from the host's decoding, which a first pass may not have. The
     * call_detail_* they may add are in the bits above. */
    frame_details_pending = 0x04,
};
const unsigned frame_details_shift = 3;

/* One frame's, in 16 octets. */
struct frame_record {
    uint32_t frame = 0;
    uint32_t call = 0;               /* the call's id + 1, 0 for none */
    uint16_t link_findings = 0;      /* link_* bits (link-tracker.h) */
    uint8_t call_findings = 0;       /* call_* finding bits (call-tracker.h) */
    uint8_t message_type = 0;
    uint8_t tei = 0;
    uint8_t flags = 0;               /* frame_* */
    uint8_t call_state = 0;          /* the state after the message of the call's part it belongs to */
    bool has_numbers = false;        /* frame_numbers holds more of it */
};

/* The frame numbers and counts that come with a few frames' records. */
struct frame_numbers {
    uint32_t frame = 0;
    uint32_t port = 0;                    /* the port's index */
    uint32_t retransmission_of = 0;       /* the I-frame this one repeats */
    uint32_t calls_up = 0;                /* at a link reset or a RESTART */
    uint8_t lost_frames = 0;
    uint8_t cause = 0;                    /* of a protocol error */
};

class frame_records {
public:
    explicit frame_records(std::pmr::memory_resource *memory) : records_(memory), numbers_(memory) {}

    /* A new record, for a frame after every frame recorded so far. */
    frame_record &add(uint32_t frame)
    {
        frame_record &record = records_.emplace_back();
        record.frame = frame;
        return record;
    }

    /* The frame's numbers, made with its record's has_numbers. */
    frame_numbers &add_numbers(frame_record &record)
    {
        if (!record.has_numbers) {
            record.has_numbers = true;
            numbers_.emplace_back().frame = record.frame;
        }
        return numbers_.back();
    }

    /* NULL where the frame has no record. */
    frame_record *find(uint32_t frame)
    {
        size_t next = cursor_;
        bool after_previous = next == 0 || records_[next - 1].frame < frame;
        if (after_previous && next < records_.size() && records_[next].frame == frame) {
            cursor_ = next + 1;
            return &records_[next];
        }
        if (after_previous && (next == records_.size() || records_[next].frame > frame))
            return nullptr;
        auto found = std::lower_bound(records_.begin(), records_.end(), frame,
                                      [](const frame_record &r, uint32_t f) { return r.frame < f; });
        cursor_ = static_cast<size_t>(found - records_.begin());
        if (found == records_.end() || found->frame != frame)
            return nullptr;
        cursor_++;
        return &*found;
    }

    /* The same without moving the cursor, for the first pass. */
    const frame_record *find_recorded(uint32_t frame) const
    {
        auto found = std::lower_bound(records_.begin(), records_.end(), frame,
                                      [](const frame_record &r, uint32_t f) { return r.frame < f; });
        return found != records_.end() && found->frame == frame ? &*found : nullptr;
    }

    const frame_numbers *find_numbers(const frame_record &record) const
    {
        if (!record.has_numbers)
            return nullptr;
        auto found = std::lower_bound(numbers_.begin(), numbers_.end(), record.frame,
                                      [](const frame_numbers &n, uint32_t f) { return n.frame < f; });
        return found != numbers_.end() && found->frame == record.frame ? &*found : nullptr;
    }

    size_t size() const { return records_.size(); }

private:
    /* In blocks: appending never moves a record. */
    std::pmr::deque<frame_record> records_;
    std::pmr::vector<frame_numbers> numbers_;
    size_t cursor_ = 0;              /* after the record found last */
};

} // namespace morvastelle

#endif /* MORVASTELLE_FRAME_RECORDS_H */
