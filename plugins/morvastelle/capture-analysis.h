/* capture-analysis.h
 * The analysis of one capture file: its ports, data links and calls, and
 * what the first pass over it found in each tunnelled frame, kept for the
 * passes to come. One ingest: each frame goes to the link tracker first,
 * and its Q.931 message to the call tracker with the link's verdict on the
 * frame, so that an I-frame sent again joins the call of the frame it
 * repeats and changes nothing. Plain C++ with no host types: the plugin's
 * post-dissector feeds it, the unit tests drive it directly.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_CAPTURE_ANALYSIS_H
#define MORVASTELLE_CAPTURE_ANALYSIS_H

#include <cstdint>
#include <memory_resource>
#include <string_view>
#include <vector>

#include "call-tracker.h"
#include "frame-records.h"
#include "link-tracker.h"
#include "port-registry.h"

namespace morvastelle {

/* A tunnelled frame as the first pass reads it. */
struct analysed_frame {
    uint32_t number = 0;
    double time = 0;
    /* The datagram's addresses: its gateway. */
    network_address source;
    network_address destination;
    std::string_view port_name;
    /* The LAPD frame, where its address and control octet were captured;
     * its port is the analysis's to fill. */
    bool has_lapd = false;
    link_frame lapd;
    /* Its message, where an I- or UI-frame on SAPI 0 carries one whose
     * call reference and type were captured: the discriminator, and the
     * message as the call tracker takes it, but its port and the link's
     * verdict. */
    bool has_message = false;
    uint8_t protocol_discriminator = 0;
    call_message message;
};

/* What the ingest made of a frame. */
struct frame_result {
    uint32_t port = 0;
    bool new_port = false;       /* the frame's port was first seen now */
    /* Null for a frame of no call and no finding. */
    frame_record *record = nullptr;
    /* Calls this frame changed without being theirs (calls_changed). */
    const std::pmr::vector<uint32_t> *calls_changed = nullptr;
};

class capture_analysis {
public:
    explicit capture_analysis(std::pmr::memory_resource *memory);

    /* Frames come in frame order, each once; the ingest fills in what is
     * the analysis's to know of them. */
    frame_result add(analysed_frame &frame);

    port_registry ports;
    link_tracker links;
    call_tracker calls;
    frame_records records;
};

} // namespace morvastelle

#endif /* MORVASTELLE_CAPTURE_ANALYSIS_H */
