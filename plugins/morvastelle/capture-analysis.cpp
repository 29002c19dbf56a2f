/* capture-analysis.cpp
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "capture-analysis.h"

namespace morvastelle {

namespace {

const uint8_t sapi_call_control = 0;

} // namespace

capture_analysis::capture_analysis(std::pmr::memory_resource *memory)
    : ports(memory), links(memory), calls(memory), records(memory)
{
}

/*
 * The link goes first: I-frames it finds lost before a new call's SETUP
 * are not that call's, and its verdict on an I-frame decides what the
 * call layer makes of the message. Only SAPI 0 carries calls: another
 * SAPI's data links (X.25 on SAPI 16) have none.
 */
frame_result
capture_analysis::add(analysed_frame &frame)
{
    frame_result result;
    size_t known_ports = ports.ports();
    result.port = ports.port_of(ports.gateway_of(frame.source, frame.destination), frame.port_name);
    result.new_port = ports.ports() > known_ports;
    result.calls_changed = &calls.calls_changed();
    calls.port_frame(result.port, frame.time);
    if (!frame.has_lapd)
        return result;

    link_frame &lapd = frame.lapd;
    lapd.port = result.port;
    link_result link = links.add(lapd);
    bool call_control = lapd.sapi == sapi_call_control;
    if (call_control && link.lost_frames)
        calls.frames_lost(result.port, lapd.tei, link.lost_frames);
    uint32_t link_calls_up = call_control && link.link_restarted ? calls.calls_up(result.port, lapd.tei) : 0;
    if (link_calls_up)
        link.findings |= link_reset;
    if (link.removed_tei != no_tei)
        calls.tei_removed(result.port, static_cast<unsigned>(link.removed_tei), frame.time);

    frame_assignment assignment;
    uint32_t call = 0;
    uint8_t state = 0;
    bool q931 = frame.has_message && frame.protocol_discriminator == q931_discriminator;
    if (q931 && link.sequence == frame_sequence::repeat) {
        /* It belongs to the frame it repeats, and changes nothing. */
        const frame_record *original = records.find_recorded(link.retransmission_of);
        if (original) {
            call = original->call;
            state = original->call_state;
        }
    } else if (q931) {
        frame.message.port = result.port;
        frame.message.sequence = link.sequence;
        assignment = calls.add(frame.message);
        if (assignment.assigned) {
            call = assignment.assigned->id + 1;
            state = static_cast<uint8_t>(assignment.state);
        }
    }
    if (!call && !link.findings && !assignment.findings)
        return result;

    frame_record &record = records.add(frame.number);
    result.record = &record;
    record.link_findings = link.findings;
    record.call_findings = assignment.findings;
    record.call_state = state;
    record.message_type = q931 ? frame.message.message_type : 0;
    record.tei = lapd.tei;
    if (call) {
        record.call = call;
        record.flags = (frame.message.from_network ? frame_from_network : 0) |
                       (assignment.started ? frame_starts_call : 0);
        if (!frame.message.has_details && assignment.details)
            record.flags |= frame_details_pending | static_cast<uint8_t>(assignment.details << frame_details_shift);
    }
    if (link.findings || assignment.findings || link.retransmission_of) {
        frame_numbers &numbers = records.add_numbers(record);
        numbers.port = result.port;
        numbers.retransmission_of = link.retransmission_of;
        numbers.lost_frames = link.lost_frames;
        numbers.calls_up = link_calls_up ? link_calls_up : assignment.calls_up;
        numbers.cause = assignment.cause;
    }
    return result;
}

} // namespace morvastelle
