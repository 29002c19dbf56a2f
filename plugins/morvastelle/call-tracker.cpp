/* call-tracker.cpp
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "call-tracker.h"

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

bool
call_tracker::call_key::operator==(const call_key &other) const
{
    return port == other.port && network_originated == other.network_originated && tei == other.tei &&
           call_ref == other.call_ref;
}

std::size_t
call_tracker::call_key_hash::operator()(const call_key &key) const
{
    std::size_t hash = std::hash<std::string>()(key.call_ref);
    hash = hash * 31 + key.port;
    hash = hash * 31 + key.tei;
    return hash * 2 + (key.network_originated ? 1 : 0);
}

static bool
is_clearing(uint8_t message_type)
{
    return message_type == q931_disconnect || message_type == q931_release ||
           message_type == q931_release_complete;
}

static std::string
hex_octets(const uint8_t *octets, unsigned length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; i++) {
        out += digits[octets[i] >> 4];
        out += digits[octets[i] & 0x0f];
    }
    return out;
}

uint32_t
call_tracker::port_index(const char *name)
{
    auto found = port_indices_.find(name);
    if (found != port_indices_.end())
        return found->second;
    uint32_t index = static_cast<uint32_t>(ports_.size());
    ports_.push_back(call_port{name, 0});
    port_indices_.emplace(name, index);
    return index;
}

bool
call_tracker::repeats_last_frame(uint32_t port, const call_message &message)
{
    if (!message.numbered)
        return false;
    auto key = std::make_tuple(port, message.from_network, message.tei);
    auto found = last_send_sequence_.find(key);
    if (found != last_send_sequence_.end() && found->second == message.send_sequence)
        return true;
    last_send_sequence_[key] = message.send_sequence;
    return false;
}

call *
call_tracker::start_call(uint32_t port, const call_message &message, bool network_originated)
{
    calls_.emplace_back();
    call *c = &calls_.back();
    c->id = static_cast<uint32_t>(calls_.size() - 1);
    c->port = port;
    c->row = ports_[port].calls++;
    c->call_ref = hex_octets(message.call_ref, message.call_ref_length);
    c->network_originated = network_originated;
    c->start = message.time;
    return c;
}

call_change
call_tracker::add(const call_message &message)
{
    call_change change;
    uint32_t port = port_index(message.port);

    if (repeats_last_frame(port, message))
        return change;

    /* The dummy and the global call reference belong to no call. */
    bool global = true;
    for (unsigned i = 0; i < message.call_ref_length; i++)
        global = global && message.call_ref[i] == 0;
    if (global)
        return change;

    /* Each side picks its own references, and a user picks them per data
     * link; the network's calls may be answered on any TEI. */
    bool network_originated = message.call_ref_flag ? !message.from_network : message.from_network;
    call_key key{port, network_originated, network_originated ? 0 : message.tei,
                 std::string(reinterpret_cast<const char *>(message.call_ref), message.call_ref_length)};

    auto active = active_.find(key);
    call *c = active != active_.end() ? active->second : nullptr;
    /* A side that has no answer to its SETUP sends it again (timer T303):
     * the same call, not a new one. */
    bool repeated_setup = message.message_type == q931_setup && c && c->setup_seen && c->frames == 1 &&
                          c->calling_number == (message.calling_number ? message.calling_number : "") &&
                          c->called_number == (message.called_number ? message.called_number : "");
    if ((message.message_type == q931_setup && !repeated_setup) || !c) {
        c = start_call(port, message, network_originated);
        change.started = true;
        if (message.message_type == q931_setup) {
            c->setup_seen = true;
            c->broadcast = message.from_network && message.tei == broadcast_tei;
            if (message.calling_number)
                c->calling_number = message.calling_number;
            if (message.called_number)
                c->called_number = message.called_number;
        } else {
            c->calling_number = "?";
            c->called_number = "?";
        }
        active_[key] = c;
    } else {
        change.old_outcome = c->outcome();
        change.old_cause = c->cause;
    }
    change.changed = c;
    c->frames++;

    /* On a broadcast call, a terminal other than the one that answered
     * clears only its own part of the call. */
    bool other_terminal = c->broadcast && message.tei != broadcast_tei && c->connected &&
                          message.tei != c->answering_tei;

    switch (message.message_type) {
    case q931_connect:
        if (!c->connected) {
            c->connected = true;
            c->connect_time = message.time;
            c->answering_tei = static_cast<uint8_t>(message.tei);
            if (c->broadcast && c->cleared && c->clearing_tei != message.tei) {
                c->cleared = false;
                c->cause = no_cause;
            }
        }
        break;
    case q931_information:
        if (c->setup_seen && message.called_number)
            c->called_number += message.called_number;
        break;
    default:
        if (!is_clearing(message.message_type) || other_terminal)
            break;
        if (!c->cleared) {
            c->cleared = true;
            c->clearing_time = message.time;
            c->clearing_tei = static_cast<uint8_t>(message.tei);
            c->cleared_by_calling_side = message.from_network == network_originated;
        }
        if (c->cause == no_cause)
            c->cause = message.cause;
        /* Until someone answers a broadcast call, other terminals may. */
        bool more_terminals = c->broadcast && !c->connected && message.tei != broadcast_tei;
        if (message.message_type == q931_release_complete && !more_terminals)
            active_.erase(key);
        break;
    }
    return change;
}

void
call_tracker::link_reset(const char *port, unsigned tei)
{
    auto found = port_indices_.find(port);
    if (found == port_indices_.end())
        return;
    last_send_sequence_.erase(std::make_tuple(found->second, false, tei));
    last_send_sequence_.erase(std::make_tuple(found->second, true, tei));
}

void
call_tracker::clear()
{
    active_.clear();
    last_send_sequence_.clear();
    port_indices_.clear();
    ports_.clear();
    calls_.clear();
}

} // namespace morvastelle
