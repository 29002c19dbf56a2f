/* call-tracker.cpp
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "call-tracker.h"

#include "octet-hash.h"

#include <cstring>
#include <functional>

namespace morvastelle {

const char *
call_outcome_name(call_outcome outcome)
{
    switch (outcome) {
    case call_outcome::answered:
        return "answered";
    case call_outcome::cancelled:
        return "cancelled";
    case call_outcome::rejected:
        return "rejected";
    case call_outcome::unknown:
        return "unknown";
    case call_outcome::in_progress:
        break;
    }
    return "in progress";
}

bool
is_clearing(uint8_t message_type)
{
    return message_type == q931_disconnect || message_type == q931_release ||
           message_type == q931_release_complete;
}

call_outcome
call::outcome() const
{
    if (connected)
        return call_outcome::answered;
    /* Without its SETUP nothing says how the call began. */
    if (!setup_seen)
        return call_outcome::unknown;
    if (cleared)
        return cleared_by_calling_side ? call_outcome::cancelled : call_outcome::rejected;
    return call_outcome::in_progress;
}

double
call::answer_delay() const
{
    return setup_seen && connected ? connect_time - start : -1;
}

double
call::connected_duration() const
{
    return connected && cleared && clearing_time >= connect_time ? clearing_time - connect_time : -1;
}

void
call::call_ref_text(char *text) const
{
    static const char digits[] = "0123456789abcdef";
    for (unsigned i = 0; i < call_ref_length; i++) {
        *text++ = digits[call_ref[i] >> 4];
        *text++ = digits[call_ref[i] & 0x0f];
    }
    *text = '\0';
}

bool
call_tracker::call_key::operator==(const call_key &other) const
{
    return port == other.port && network_originated == other.network_originated && tei == other.tei &&
           call_ref_length == other.call_ref_length && memcmp(call_ref, other.call_ref, sizeof call_ref) == 0;
}

std::size_t
call_tracker::call_key_hash::operator()(const call_key &key) const
{
    std::size_t hash = key.port;
    hash = hash * 31 + key.tei;
    hash = hash * 2 + (key.network_originated ? 1 : 0);
    for (unsigned i = 0; i < key.call_ref_length; i++)
        hash = hash * 257 + key.call_ref[i];
    return hash * 31 + key.call_ref_length;
}

call_tracker::call_tracker(std::pmr::memory_resource *memory)
    : memory_(memory), ports_(memory), port_slots_(64, port_slot{0, nullptr}, memory), calls_(memory),
      active_(memory), last_frames_(memory)
{
}

void
call_tracker::index_port(uint64_t hash, call_port *port)
{
    size_t mask = port_slots_.size() - 1;
    size_t slot = hash & mask;
    while (port_slots_[slot].port)
        slot = (slot + 1) & mask;
    port_slots_[slot] = port_slot{hash, port};
}

call_port &
call_tracker::port_named(std::string_view name, double time)
{
    uint64_t hash = octets_hash(name);
    size_t mask = port_slots_.size() - 1;
    for (size_t slot = hash & mask; port_slots_[slot].port; slot = (slot + 1) & mask) {
        call_port &port = *port_slots_[slot].port;
        if (port_slots_[slot].hash == hash && port.name.size() == name.size() &&
            memcmp(port.name.data(), name.data(), name.size()) == 0) {
            port.last_frame_time = time;
            return port;
        }
    }
    return new_port(name, hash, time);
}

call_port &
call_tracker::new_port(std::string_view name, uint64_t hash, double time)
{
    call_port &port = ports_.emplace_back(name, static_cast<uint32_t>(ports_.size()), memory_);
    last_frames_.emplace_back();
    port.first_frame_time = time;
    port.last_frame_time = time;
    if (ports_.size() * 2 > port_slots_.size()) {
        port_slots_.assign(port_slots_.size() * 2, port_slot{0, nullptr});
        for (call_port &known : ports_)
            index_port(octets_hash(known.name), &known);
    } else {
        index_port(hash, &port);
    }
    return port;
}

uint32_t
call_tracker::port_frame(std::string_view name, double time)
{
    return port_named(name, time).index;
}

static uint8_t
link_direction(bool from_network, unsigned tei)
{
    return (from_network ? 0x80u : 0u) | (tei & 0x7f);
}

call_tracker::last_frame &
call_tracker::last_frame_of(uint32_t port, bool from_network, unsigned tei)
{
    uint8_t link = link_direction(from_network, tei);
    std::pmr::vector<last_frame> &links = last_frames_[port];
    for (last_frame &last : links)
        if (last.link == link)
            return last;
    last_frame &last = links.emplace_back();
    last.link = link;
    return last;
}

bool
call_tracker::repeats(const last_frame &last, const call_message &message)
{
    /* The same number on another message is a new frame: the data link
     * started again where the capture did not see it. */
    return last.frame != 0 && last.send_sequence == message.send_sequence &&
           last.message_type == message.message_type && last.call_ref_flag == message.call_ref_flag &&
           last.call_ref_length == message.call_ref_length &&
           memcmp(last.call_ref, message.call_ref, sizeof last.call_ref) == 0;
}

void
call_tracker::remember_frame(last_frame &last, const call_message &message, const call *assigned)
{
    last.frame = message.frame;
    last.call_id = assigned ? assigned->id : no_call;
    last.send_sequence = static_cast<uint8_t>(message.send_sequence);
    last.message_type = message.message_type;
    last.call_ref_length = static_cast<uint8_t>(message.call_ref_length);
    last.call_ref_flag = message.call_ref_flag;
    memcpy(last.call_ref, message.call_ref, sizeof last.call_ref);
}

call *
call_tracker::start_call(uint32_t port, const call_message &message, bool network_originated)
{
    call &c = calls_.emplace_back(memory_);
    c.id = static_cast<uint32_t>(calls_.size() - 1);
    c.port = port;
    ports_[port].calls++;
    c.call_ref_length = static_cast<uint8_t>(message.call_ref_length);
    memcpy(c.call_ref, message.call_ref, sizeof c.call_ref);
    c.network_originated = network_originated;
    c.start = message.time;
    return &c;
}

/* FNV-1a over the message's information elements. */
static uint32_t
information_elements_digest(const call_message &message)
{
    uint32_t digest = 2166136261u;
    for (size_t i = 0; i < message.information_elements_length; i++)
        digest = (digest ^ message.information_elements[i]) * 16777619u;
    return digest;
}

/* The called number a message dials: its Called party numbers, or where it
 * has none, its Keypad facility digits. */
static const char *
dialled_digits(const call_message &message, bool *from_keypad)
{
    *from_keypad = !message.called_number && message.keypad;
    return message.called_number ? message.called_number : message.keypad;
}

static void
add_dialled_digits(call &c, const call_message &message)
{
    bool from_keypad;
    const char *digits = dialled_digits(message, &from_keypad);
    if (!digits)
        return;
    /* Keypad digits count only while no Called party number was seen. */
    if (from_keypad && !c.called_from_keypad && !c.called_number.empty())
        return;
    if (!from_keypad && c.called_from_keypad)
        c.called_number.clear();
    c.called_from_keypad = from_keypad;
    c.called_number += digits;
}

frame_assignment
call_tracker::add(const call_message &message)
{
    frame_assignment result;
    result.port = port_frame(message.port, message.time);
    uint32_t port = result.port;
    if (message.call_ref_length > max_call_ref_length)
        return result;

    /* One lookup of the link's last I-frame, read here and written below. */
    last_frame *last = nullptr;
    if (message.numbered) {
        last = &last_frame_of(port, message.from_network, message.tei);
        if (repeats(*last, message)) {
            result.retransmission_of = last->frame;
            if (last->call_id != no_call)
                result.assigned = &calls_[last->call_id];
            return result;
        }
    }

    /* The dummy and the global call reference belong to no call. */
    bool global = true;
    for (unsigned i = 0; i < message.call_ref_length; i++)
        global = global && message.call_ref[i] == 0;
    if (global) {
        if (last)
            remember_frame(*last, message, nullptr);
        return result;
    }

    /* Each side picks its own references, and a user picks them per data
     * link; the network's calls may be answered on any TEI. */
    bool network_originated = message.call_ref_flag ? !message.from_network : message.from_network;
    call_key key = {};
    key.port = port;
    key.network_originated = network_originated;
    key.tei = static_cast<uint8_t>(network_originated ? 0 : message.tei);
    key.call_ref_length = static_cast<uint8_t>(message.call_ref_length);
    memcpy(key.call_ref, message.call_ref, sizeof key.call_ref);

    /* One lookup of the reference: a new entry is a new call. */
    auto [active, unknown] = active_.try_emplace(key, no_call);
    call *c = unknown ? nullptr : &calls_[active->second];
    /* A side that has no answer to its SETUP sends it again (timer T303):
     * the same call, not a new one. Known by its octets, not by the numbers
     * the host decoded from them: a first pass may have none. */
    uint32_t digest = message.message_type == q931_setup ? information_elements_digest(message) : 0;
    bool repeated_setup = message.message_type == q931_setup && c && c->setup_seen && c->frames == 1 &&
                          c->setup_digest == digest;
    if ((message.message_type == q931_setup && !repeated_setup) || !c) {
        c = start_call(port, message, network_originated);
        result.started = true;
        if (message.message_type == q931_setup) {
            c->setup_seen = true;
            c->setup_digest = digest;
            c->setup_frame = message.frame;
            c->dialling_end = message.time;
            c->broadcast = message.from_network && message.tei == broadcast_tei;
        } else {
            /* A fill, not a copy of "?": GCC 12 at -O3 takes the inlined
             * copy for an overlapping one and warns (-Wrestrict). */
            c->calling_number.assign(1, '?');
            c->called_number.assign(1, '?');
        }
        active->second = c->id;
    }
    result.assigned = c;
    if (result.started && c->setup_seen)
        result.details |= call_detail_numbers;
    if (last)
        remember_frame(*last, message, c);
    c->frames++;
    if (!c->released)
        c->end_time = message.time;

    /* On a broadcast call, a terminal other than the one that answered
     * clears only its own part of the call. */
    bool other_terminal = c->broadcast && message.tei != broadcast_tei && c->connected &&
                          message.tei != c->answering_tei;
    bool from_calling_side = message.from_network == network_originated;

    switch (message.message_type) {
    case q931_alerting:
        if (c->alerting_time < 0)
            c->alerting_time = message.time;
        break;
    case q931_connect:
        if (!c->connected) {
            c->connected = true;
            c->connect_time = message.time;
            c->connect_frame = message.frame;
            c->answering_tei = static_cast<uint8_t>(message.tei);
            if (c->broadcast && c->cleared && c->clearing_tei != message.tei) {
                c->cleared = false;
                c->cause = no_cause;
                c->causes_from_frame = message.frame;
                c->clearing_time = -1;
                c->clearing_frame = 0;
            }
        }
        break;
    case q931_information:
        if (!c->setup_seen)
            break;
        result.details |= call_detail_dialled;
        if (from_calling_side && c->alerting_time < 0 && !c->connected)
            c->dialling_end = message.time;
        break;
    default:
        if (!is_clearing(message.message_type) || other_terminal)
            break;
        if (!c->cleared) {
            c->cleared = true;
            c->clearing_time = message.time;
            c->clearing_frame = message.frame;
            c->clearing_tei = static_cast<uint8_t>(message.tei);
            c->cleared_by_calling_side = from_calling_side;
        }
        result.details |= call_detail_cause;
        /* Until someone answers a broadcast call, other terminals may. */
        bool more_terminals = c->broadcast && !c->connected && message.tei != broadcast_tei;
        if (message.message_type == q931_release_complete && !more_terminals) {
            c->released = true;
            active_.erase(active);
        }
        break;
    }
    if (message.has_details)
        apply_details(*c, result.details, message);
    return result;
}

void
call_tracker::add_details(uint32_t call_id, uint8_t details, const call_message &message)
{
    if (call_id < calls_.size())
        apply_details(calls_[call_id], details, message);
}

void
call_tracker::apply_details(call &c, uint8_t details, const call_message &message)
{
    if ((details & call_detail_numbers) && message.calling_number)
        c.calling_number = message.calling_number;
    if (details & (call_detail_numbers | call_detail_dialled))
        add_dialled_digits(c, message);
    if ((details & call_detail_cause) && c.cause == no_cause && message.frame >= c.causes_from_frame)
        c.cause = message.cause;
}

void
call_tracker::link_reset(uint32_t port, unsigned tei)
{
    if (port >= last_frames_.size())
        return;
    for (last_frame &last : last_frames_[port])
        if ((last.link & 0x7f) == (tei & 0x7f))
            last.frame = 0;
}

} // namespace morvastelle
