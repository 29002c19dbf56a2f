/* call-tracker.cpp
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "call-tracker.h"

#include "octet-hash.h"

#include <algorithm>
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
      active_(memory), last_frames_(memory), data_links_(memory)
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
        if (port_slots_[slot].hash == hash && octets_equal(port.name, name)) {
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
    data_links_.emplace_back();
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

/* The contents of the message's first information element `id` of
 * codeset 0, as far as captured; empty where it has none. */
static std::basic_string_view<uint8_t>
information_element(const call_message &message, uint8_t id)
{
    const uint8_t *octets = message.information_elements;
    size_t length = message.information_elements_length;
    unsigned codeset = 0;
    unsigned next_codeset = 0;
    for (size_t i = 0; i < length;) {
        uint8_t octet = octets[i];
        unsigned this_codeset = next_codeset;
        next_codeset = codeset;
        if (octet & 0x80) {
            /* A single octet; a shift names the codeset of what follows,
             * locking or for the next element only. */
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
        if (octet == id && this_codeset == 0)
            return {octets + i + 2, std::min(contents_length, length - i - 2)};
        i += 2 + contents_length;
    }
    return {};
}

/* The cause value of the message's Cause, no_cause where it has none. */
static uint8_t
cause_value(const call_message &message)
{
    std::basic_string_view<uint8_t> cause = information_element(message, 0x08);
    /* Octet 3a, the recommendation, follows where octet 3 does not end
     * the group. */
    size_t value = cause.size() > 0 && (cause[0] & 0x80) ? 1 : 2;
    return cause.size() > value ? cause[value] & 0x7f : no_cause;
}

static bool
is_protocol_error(const call_message &message, uint8_t *cause)
{
    if (message.message_type != q931_status && !is_clearing(message.message_type))
        return false;
    /* The classes of invalid messages and of protocol errors. */
    *cause = cause_value(message);
    return *cause >= 81 && *cause <= 111;
}

/* A RESTART of a single interface or of all of them (Restart indicator
 * classes 6 and 7), not only of indicated channels. */
static bool
restarts_interface(const call_message &message)
{
    if (message.message_type != q931_restart)
        return false;
    std::basic_string_view<uint8_t> indicator = information_element(message, 0x79);
    return !indicator.empty() && (indicator[0] & 0x07) >= 6;
}

void
call_tracker::check_global(const call_message &message, uint32_t port, frame_assignment &result) const
{
    if (is_protocol_error(message, &result.cause))
        result.findings |= call_protocol_error;
    if (restarts_interface(message) && ports_[port].calls_up > 0) {
        result.findings |= call_restart_with_calls_up;
        result.calls_up = ports_[port].calls_up;
    }
}

frame_assignment
call_tracker::add(const call_message &message)
{
    return add(message, port_frame(message.port, message.time));
}

frame_assignment
call_tracker::add(const call_message &message, uint32_t port)
{
    frame_assignment result;
    result.port = port;
    if (message.call_ref_length > max_call_ref_length)
        return result;

    /* One lookup of the link's last I-frame, read here and written below. */
    last_frame *last = nullptr;
    if (message.numbered) {
        last = &last_frame_of(port, message.from_network, message.tei);
        if (repeats(*last, message)) {
            result.retransmission_of = last->frame;
            if (last->call_id != no_call) {
                result.assigned = &calls_[last->call_id];
                result.state = result.assigned->state;
            }
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
        check_global(message, port, result);
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
            c->state = network_originated ? call_state::call_present : call_state::call_initiated;
            c->up = true;
            ports_[port].calls_up++;
        } else {
            /* A fill, not a copy of "?": GCC 12 at -O3 takes the inlined
             * copy for an overlapping one and warns (-Wrestrict). */
            c->calling_number.assign(1, '?');
            c->called_number.assign(1, '?');
            c->state = call_state::unknown;
            result.findings |= call_no_setup;
        }
        active->second = c->id;
    } else if (repeated_setup) {
        result.findings |= call_setup_repeated;
    }
    result.assigned = c;
    if (result.started && c->setup_seen)
        result.details |= call_detail_numbers;
    if (last)
        remember_frame(*last, message, c);
    c->frames++;
    if (!c->released)
        c->end_time = message.time;
    if (message.tei != broadcast_tei && c->link_tei == no_link)
        put_on_link(*c, message.tei);

    /* On a broadcast call, a terminal other than the one that answered
     * clears only its own part of the call. */
    bool other_terminal = c->broadcast && message.tei != broadcast_tei && c->connected &&
                          message.tei != c->answering_tei;
    bool from_calling_side = message.from_network == network_originated;
    /* Until someone answers a broadcast call, each terminal clears only its
     * own part of it too. */
    bool more_terminals = c->broadcast && !c->connected && message.tei != broadcast_tei;
    follow_state(*c, message, other_terminal || (more_terminals && is_clearing(message.message_type)), result);

    switch (message.message_type) {
    case q931_alerting:
        if (c->alerting_time < 0)
            c->alerting_time = message.time;
        break;
    case q931_connect_acknowledge:
    case q931_connect:
        if (!c->connected) {
            /* A CONNECT ACKNOWLEDGE answers a CONNECT the capture lacks: the
             * call was answered, and this is where it shows. */
            if (message.message_type == q931_connect_acknowledge && c->setup_seen)
                result.findings |= call_connect_lost;
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
            if (c->broadcast && c->link_tei != message.tei) {
                take_off_link(*c);
                put_on_link(*c, message.tei);
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
        if (message.message_type == q931_release_complete && !more_terminals) {
            c->released = true;
            if (c->up) {
                c->up = false;
                ports_[port].calls_up--;
            }
            take_off_link(*c);
            active_.erase(active);
        }
        break;
    }
    result.state = c->state;
    if (message.has_details)
        apply_details(*c, result.details, message);
    return result;
}

/* Order of the states a call goes through before it is active, for each
 * side that may originate it: a message may move it on, never back. */
static int
establishment_rank(call_state state)
{
    switch (state) {
    case call_state::call_initiated:
    case call_state::call_present:
        return 1;
    case call_state::overlap_sending:
    case call_state::overlap_receiving:
        return 2;
    case call_state::outgoing_call_proceeding:
    case call_state::incoming_call_proceeding:
        return 3;
    case call_state::call_delivered:
    case call_state::call_received:
        return 4;
    case call_state::connect_request:
        return 5;
    default:
        return 0;
    }
}

/* Where a message of the call's establishment takes it: the answering
 * side's messages name the same steps for either side's calls. */
static call_state
establishment_step(uint8_t message_type, bool network_originated)
{
    switch (message_type) {
    case q931_setup_acknowledge:
        return network_originated ? call_state::overlap_receiving : call_state::overlap_sending;
    case q931_call_proceeding:
        return network_originated ? call_state::incoming_call_proceeding : call_state::outgoing_call_proceeding;
    case q931_alerting:
        return network_originated ? call_state::call_received : call_state::call_delivered;
    case q931_connect:
        return network_originated ? call_state::connect_request : call_state::active;
    default:
        return call_state::unknown;
    }
}

/*
 * The user side's state after the message, and whether the state accepts
 * it: a receiver answers a message not compatible with its state with
 * STATUS (causes 98, 101). A terminal's own part of a broadcast call (its
 * answer while others ring, its clearing while another has answered)
 * leaves the call's state as it is.
 */
void
call_tracker::follow_state(call &c, const call_message &message, bool terminals_own_part, frame_assignment &result)
{
    uint8_t side = message.from_network ? side_network : side_user;
    call_state step = establishment_step(message.message_type, c.network_originated);
    if (step != call_state::unknown) {
        bool answering_terminal = !c.broadcast || !c.connected || message.tei == c.answering_tei;
        if (c.state == call_state::unknown) {
            c.state = step;
        } else if (establishment_rank(c.state) == 0) {
            /* Active or clearing: nothing of the call's set-up fits. */
            if (answering_terminal && !terminals_own_part)
                result.findings |= call_unexpected_message;
        } else if (establishment_rank(step) != 0 && establishment_rank(step) < establishment_rank(c.state)) {
            /* Several terminals answer a broadcast SETUP, each on its own. */
            if (!c.broadcast)
                result.findings |= call_unexpected_message;
        } else if (establishment_rank(step) != establishment_rank(c.state)) {
            c.state = step;
        }
        return;
    }
    if (is_protocol_error(message, &result.cause))
        result.findings |= call_protocol_error;
    if (terminals_own_part)
        return;
    switch (message.message_type) {
    case q931_connect_acknowledge:
        if (c.state == call_state::unknown || establishment_rank(c.state) != 0 || c.state == call_state::active)
            c.state = call_state::active;
        break;
    case q931_disconnect:
        c.disconnected_by |= side;
        c.state = message.from_network ? call_state::disconnect_indication : call_state::disconnect_request;
        break;
    case q931_release:
        if (c.releasing & side)
            result.findings |= call_release_repeated;
        else if ((c.disconnected_by & side) && c.disconnected_by != (side_user | side_network))
            result.findings |= call_disconnect_unanswered;
        c.releasing |= side;
        /* A user that receives RELEASE answers it and is back in Null. */
        c.state = message.from_network ? call_state::null : call_state::release_request;
        break;
    case q931_release_complete:
        c.releasing = 0;
        c.state = call_state::null;
        break;
    default:
        break;
    }
}

call_tracker::data_link &
call_tracker::data_link_of(uint32_t port, unsigned tei)
{
    std::pmr::vector<data_link> &links = data_links_[port];
    for (data_link &link : links)
        if (link.tei == tei)
            return link;
    return links.emplace_back(data_link{static_cast<uint8_t>(tei), 0, 0});
}

const call_tracker::data_link *
call_tracker::find_data_link(uint32_t port, unsigned tei) const
{
    if (port >= data_links_.size())
        return nullptr;
    for (const data_link &link : data_links_[port])
        if (link.tei == tei)
            return &link;
    return nullptr;
}

void
call_tracker::put_on_link(call &c, unsigned tei)
{
    data_link &link = data_link_of(c.port, tei);
    c.link_tei = static_cast<uint8_t>(tei);
    c.lost_on_link_from = link.lost_frames;
    c.up_on_link = c.up;
    if (c.up)
        link.calls_up++;
}

void
call_tracker::take_off_link(call &c)
{
    if (c.link_tei == no_link)
        return;
    data_link &link = data_link_of(c.port, c.link_tei);
    c.lost_frames += link.lost_frames - c.lost_on_link_from;
    if (c.up_on_link)
        link.calls_up--;
    c.up_on_link = false;
    c.link_tei = no_link;
}

void
call_tracker::frames_lost(uint32_t port, unsigned tei, unsigned count)
{
    if (port < data_links_.size())
        data_link_of(port, tei).lost_frames += count;
}

uint32_t
call_tracker::calls_up(uint32_t port, unsigned tei) const
{
    const data_link *link = find_data_link(port, tei);
    return link ? link->calls_up : 0;
}

uint32_t
call_tracker::lost_frames(const call &c) const
{
    const data_link *link = c.link_tei == no_link ? nullptr : find_data_link(c.port, c.link_tei);
    return c.lost_frames + (link ? link->lost_frames - c.lost_on_link_from : 0);
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
