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

namespace {

/* How long a network waits for an answer to its SETUP (Q.931 T303). */
const double t303 = 4.0;
const uint8_t unknown_sequence = 0xff;
/* The cause a network gives the caller when no terminal answered. */
const uint8_t cause_no_user_responding = 18;
const uint8_t cause_user_busy = 17;
const uint8_t cause_incompatible_destination = 88;

uint8_t
side_of(bool from_network)
{
    return from_network ? side_network : side_user;
}

uint32_t
elements_digest(const call_message &message)
{
    return static_cast<uint32_t>(octets_hash(
        std::string_view(reinterpret_cast<const char *>(message.elements.octets), message.elements.length)));
}

bool
is_protocol_error(const call_message &message, uint8_t *cause)
{
    if (message.message_type != q931_status && !is_clearing(message.message_type))
        return false;
    /* The classes of invalid messages and of protocol errors. */
    *cause = cause_value(message.elements);
    return *cause >= 81 && *cause <= 111;
}

/* Messages that belong to a call after its reference was released: the
 * sides clearing it as they see it, or asking where it stands. Anything
 * else there is a call whose SETUP the capture lacks. */
bool
joins_ended_call(uint8_t message_type)
{
    return is_clearing(message_type) || message_type == q931_status || message_type == q931_status_enquiry;
}

/* Messages that may name the call's B-channel. */
bool
may_name_channel(uint8_t message_type)
{
    switch (message_type) {
    case q931_setup:
    case q931_setup_acknowledge:
    case q931_call_proceeding:
    case q931_alerting:
    case q931_connect:
    case q931_resume_acknowledge:
        return true;
    default:
        return false;
    }
}

/* Order of the states a call goes through before it is active, for each
 * side that may originate it: a message may move it on, never back. */
int
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
call_state
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

/* The called number a message dials: its Called party numbers, or where it
 * has none, its Keypad facility digits. */
void
add_dialled_digits(call &c, const call_message &message)
{
    bool from_keypad = !message.called_number && message.keypad;
    const char *digits = message.called_number ? message.called_number : message.keypad;
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

} // namespace

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
    return connected && clearing_time >= connect_time ? clearing_time - connect_time : -1;
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
call_tracker::suspension_key::operator==(const suspension_key &other) const
{
    return port == other.port && length == other.length && memcmp(identity, other.identity, length) == 0;
}

std::size_t
call_tracker::suspension_key_hash::operator()(const suspension_key &key) const
{
    std::size_t hash = key.port * 31 + key.length;
    for (unsigned i = 0; i < key.length; i++)
        hash = hash * 257 + key.identity[i];
    return hash;
}

call_tracker::call_tracker(std::pmr::memory_resource *memory)
    : memory_(memory), ports_(memory), calls_(memory), key_slots_(64, key_slot{{}, empty_slot}, memory),
      key_shift_(64 - 6), data_links_(memory), offers_(memory),
      branches_(memory), deadlines_(memory), suspended_(memory), suspending_(memory), channel_holders_(memory),
      changed_(memory)
{
}

void
call_tracker::new_ports(uint32_t port, double time)
{
    while (port >= ports_.size()) {
        ports_.emplace_back().first_frame_time = time;
        data_links_.emplace_back();
    }
}

/* ---- Keying ---- */

/* Each side picks its own references, and a user picks them per data
 * link; the network's calls may be answered on any TEI. */
inline call_tracker::call_key
call_tracker::key_of(const call_message &message)
{
    uint64_t network_originated = message.call_ref_flag ? !message.from_network : message.from_network;
    uint64_t tei = network_originated ? 0 : message.tei & 0x7f;
    call_key key;
    key.words[0] = message.port | network_originated << 32 | tei << 33 |
                   static_cast<uint64_t>(message.call_ref_length) << 40 |
                   static_cast<uint64_t>(message.call_ref[0]) << 48 | static_cast<uint64_t>(message.call_ref[1]) << 56;
    key.words[1] = key.words[2] = 0;
    memcpy(&key.words[1], message.call_ref + 2, max_call_ref_length - 2);
    return key;
}

/* The key's slot, or the empty one where it would go. Fibonacci hashing,
 * as the link tracker's: the product's high bits pick the slot. */
inline size_t
call_tracker::slot_of(const call_key &key) const
{
    uint64_t mixed = key.words[0] ^ (key.words[1] * 0xc2b2ae3d27d4eb4fu) ^ (key.words[2] * 0x165667b19e3779f9u);
    size_t mask = key_slots_.size() - 1;
    size_t slot = (mixed * 0x9e3779b97f4a7c15u) >> key_shift_;
    while (key_slots_[slot].call != empty_slot && !(key_slots_[slot].key == key))
        slot = (slot + 1) & mask;
    return slot;
}

inline uint32_t &
call_tracker::call_on(const call_key &key)
{
    size_t slot = slot_of(key);
    if (key_slots_[slot].call != empty_slot)
        return key_slots_[slot].call;
    if (++keys_ * 2 > key_slots_.size()) {
        std::pmr::vector<key_slot> old(key_slots_.size() * 2, key_slot{{}, empty_slot}, key_slots_.get_allocator());
        old.swap(key_slots_);
        key_shift_--;
        for (const key_slot &known : old)
            if (known.call != empty_slot)
                key_slots_[slot_of(known.key)] = known;
        slot = slot_of(key);
    }
    key_slots_[slot] = key_slot{key, no_call};
    return key_slots_[slot].call;
}

call *
call_tracker::start_call(const call_message &message, bool network_originated)
{
    call &c = calls_.emplace_back(memory_);
    c.id = static_cast<uint32_t>(calls_.size() - 1);
    c.port = message.port;
    ports_[message.port].calls++;
    c.call_ref_length = static_cast<uint8_t>(message.call_ref_length);
    memcpy(c.call_ref, message.call_ref, sizeof c.call_ref);
    c.network_originated = network_originated;
    c.start = message.time;
    c.end_time = message.time;
    return &c;
}

/* Its numbers were in the SETUP the capture lacks. */
call *
call_tracker::start_call_without_setup(const call_message &message, bool network_originated)
{
    call *c = start_call(message, network_originated);
    /* A fill, not a copy of "?": GCC 12 at -O3 takes the inlined copy for
     * an overlapping one and warns (-Wrestrict). */
    c->calling_number.assign(1, '?');
    c->called_number.assign(1, '?');
    return c;
}

/* The Call identity a SUSPEND gives and its RESUME gives again. */
call_tracker::suspension_key
call_tracker::suspension_of(uint32_t port, const information_elements &elements)
{
    octet_view identity = call_identity(elements);
    suspension_key key = {};
    key.port = port;
    key.length = static_cast<uint8_t>(std::min(identity.size(), sizeof key.identity));
    memcpy(key.identity, identity.data(), key.length);
    return key;
}

/* A side that has no answer to its SETUP sends it again (timer T303): the
 * same call, not a new one. Known by its octets, not by the numbers the
 * host decoded from them: a first pass may have none. */
bool
call_tracker::repeats_setup(const call &c, const call_message &message, uint32_t digest) const
{
    return c.setup_seen && !c.ended && c.frames == 1 && c.setup_digest == digest &&
           message.sequence != frame_sequence::late;
}

/* Terminal portability: a terminal resumes a suspended call on a new
 * reference, perhaps from another socket, by the identity it was
 * suspended with. */
call *
call_tracker::resume_call(const call_message &message, bool network_originated)
{
    call *c;
    auto suspended = suspended_.find(suspension_of(message.port, message.elements));
    if (suspended != suspended_.end()) {
        c = &calls_[suspended->second];
        suspended_.erase(suspended);
        c->ended = false;
        c->resumed = true;
        c->leg = call_leg();
    } else {
        /* Suspended before the capture: its SETUP was never there to see. */
        c = start_call_without_setup(message, network_originated);
    }
    c->leg.state = call_state::resume_request;
    c->up = true;
    ports_[c->port].calls_up++;
    link_up(*c);
    return c;
}

call *
call_tracker::call_for(const call_message &message, const call_key &key, frame_assignment &result)
{
    uint8_t type = message.message_type;
    /* A segment of a message: the whole one is what a call would hear. */
    if (type == q931_segment)
        return nullptr;
    bool network_originated = key.words[0] >> 32 & 1;
    /* One lookup of the reference: a new entry is a new call. */
    uint32_t &entry = call_on(key);
    if (entry == not_a_call) {
        if (type != q931_setup && type != q931_resume) {
            if (type == q931_release_complete)
                entry = no_call;
            return nullptr;
        }
        entry = no_call;
    }
    call *c = entry == no_call ? nullptr : &calls_[entry];
    bool from_calling_side_of_c = c && message.from_network == c->network_originated;

    /* Call-independent signalling holds its reference until released, as
     * a call would, but is no call. */
    if (type == q931_register) {
        if (c)
            end_by_another_frame(*c, message.time, from_calling_side_of_c);
        entry = not_a_call;
        return nullptr;
    }

    if (type == q931_setup) {
        uint32_t digest = elements_digest(message);
        if (c && repeats_setup(*c, message, digest)) {
            result.findings |= call_setup_repeated;
            if (c->broadcast != no_call) {
                broadcast_offer &offer = offer_of(*c);
                offer.setup_time = message.time;
                offer.setup_repeated = true;
                watch_offer(*c);
            }
            return c;
        }
        /* The side that picked the reference has let the old call go. */
        if (c)
            end_by_another_frame(*c, message.time, from_calling_side_of_c);
        c = start_call(message, network_originated);
        entry = c->id;
        result.started = true;
        result.details |= call_detail_numbers;
        c->setup_seen = true;
        c->setup_digest = digest;
        c->setup_frame = message.frame;
        c->dialling_end = message.time;
        c->leg.state = network_originated ? call_state::call_present : call_state::call_initiated;
        c->up = true;
        ports_[message.port].calls_up++;
        if (message.tei != broadcast_tei) {
            c->link_tei = static_cast<uint8_t>(message.tei);
            c->lost_on_link_from = data_link_of(message.port, message.tei).lost_frames;
        }
        link_up(*c);
        if (message.from_network && message.tei == broadcast_tei) {
            c->broadcast = static_cast<uint32_t>(offers_.size());
            offers_.emplace_back().setup_time = message.time;
            watch_offer(*c);
        }
        return c;
    }

    if (type == q931_resume) {
        if (c)
            end_by_another_frame(*c, message.time, from_calling_side_of_c);
        uint32_t before = static_cast<uint32_t>(calls_.size());
        c = resume_call(message, network_originated);
        result.started = c->id >= before;
        entry = c->id;
        return c;
    }

    bool late = message.sequence == frame_sequence::late;
    if (!c || (c->ended && !late && !joins_ended_call(type))) {
        c = start_call_without_setup(message, network_originated);
        entry = c->id;
        result.started = true;
        c->leg.state = call_state::unknown;
        result.findings |= call_no_setup;
    }
    return c;
}

/* ---- The global call reference ---- */

void
call_tracker::add_global(const call_message &message, frame_assignment &result)
{
    if (is_protocol_error(message, &result.cause))
        result.findings |= call_protocol_error;
    call_port &port = ports_[message.port];
    if (message.message_type == q931_restart) {
        port.restart_class = restart_class(message.elements);
        port.restart_channels = indicated_channels(message.elements);
        /* A single interface or all of them (classes 6 and 7), not only
         * indicated channels. */
        if (port.restart_class >= 6 && port.calls_up > 0) {
            result.findings |= call_restart_with_calls_up;
            result.calls_up = port.calls_up;
        }
    } else if (message.message_type == q931_restart_acknowledge) {
        restart_acknowledged(message);
    }
}

/* The side that acknowledges a RESTART has returned the calls it names to
 * Null: they are over. */
void
call_tracker::restart_acknowledged(const call_message &message)
{
    call_port &port = ports_[message.port];
    int restarted = restart_class(message.elements);
    uint32_t channels = indicated_channels(message.elements);
    if (restarted < 0) {
        restarted = port.restart_class;
        channels = port.restart_channels;
    }
    bool by_network = !message.from_network;
    if (restarted >= 6) {
        for (data_link &link : data_links_[message.port]) {
            while (link.first_up != no_call) {
                call &c = calls_[link.first_up];
                end_by_another_frame(c, message.time, by_network == c.network_originated);
            }
        }
        return;
    }
    if (restarted != 0)
        return;
    for (unsigned channel = 1; channel < 32; channel++) {
        if (!(channels & (1u << channel)))
            continue;
        auto holder = channel_holders_.find(static_cast<uint64_t>(message.port) << 5 | channel);
        if (holder == channel_holders_.end())
            continue;
        call &c = calls_[holder->second];
        if (c.up && c.channel == channel)
            end_by_another_frame(c, message.time, by_network == c.network_originated);
    }
}

/* ---- A message of a call ---- */

frame_assignment
call_tracker::add(const call_message &message)
{
    frame_assignment result;
    if (message.call_ref_length > max_call_ref_length)
        return result;

    /* The dummy and the global call reference (no octet but 0) belong to
     * no call. */
    call_key key = key_of(message);
    if (!(key.words[0] >> 48) && !key.words[1] && !key.words[2]) {
        add_global(message, result);
        return result;
    }

    call *c = call_for(message, key, result);
    if (!c)
        return result;
    result.assigned = c;
    branch *terminal = nullptr;
    call_leg &leg = c->broadcast == no_call || message.tei == broadcast_tei
                        ? c->leg
                        : (terminal = &branch_of(*c, message.tei))->leg;
    bool leg_was_ended = leg.ended;
    c->frames++;
    if (!c->ended) {
        c->end_time = message.time;
        if (message.tei != broadcast_tei && c->link_tei == no_link)
            put_on_link(*c, message.tei);
    }

    uint8_t cause = no_cause;
    /* A terminal that cannot take a call offered to every terminal says
     * so with cause 88: the normal answer of an incompatible one. */
    if (is_protocol_error(message, &cause) &&
        !(terminal && !message.from_network && cause == cause_incompatible_destination)) {
        result.findings |= call_protocol_error;
        result.cause = cause;
    }
    bool crossing = crossed(leg, message);
    /* A frame that came late is not judged against the state it finds. */
    if (message.sequence != frame_sequence::late)
        follow_state(*c, leg, message, crossing, result);
    take_content(*c, leg, terminal, message, cause, crossing, result);
    result.state = leg.state;
    if (leg.ended && !leg_was_ended) {
        if (terminal)
            check_offer(*c, message.time);
        else if (message.message_type == q931_suspend_acknowledge)
            suspend(*c, message);
        else
            end_call(*c, message.time, message.from_network == c->network_originated);
    }
    if (message.has_details && result.details)
        apply_details(*c, result.details, message);
    return result;
}

call_tracker::branch &
call_tracker::branch_of(call &c, unsigned tei)
{
    broadcast_offer &offer = offer_of(c);
    for (uint32_t index = offer.first_branch; index != no_call; index = branches_[index].next)
        if (branches_[index].tei == tei)
            return branches_[index];
    uint32_t index = static_cast<uint32_t>(branches_.size());
    branch &added = branches_.emplace_back();
    added.tei = static_cast<uint8_t>(tei);
    added.next = offer.first_branch;
    added.leg.state = call_state::call_present;
    offer.first_branch = index;
    /* An answer stops the network's SETUP being sent again. */
    watch_offer(c);
    return added;
}

/* Whether the message's sender had not yet received the other side's
 * clearing message when it sent it: its N(R) does not acknowledge it. */
bool
call_tracker::crossed(const call_leg &leg, const call_message &message) const
{
    uint8_t other = leg.clearing_sequence[message.from_network ? 0 : 1];
    if (other == unknown_sequence || message.receive_sequence < 0)
        return false;
    unsigned past = (static_cast<unsigned>(message.receive_sequence) - other) & 127;
    return past == 0 || past > 64;
}

/*
 * The user side's state after the message, and whether the state accepts
 * it: a receiver answers a message not compatible with its state with
 * STATUS (causes 98, 101). One that crossed the other side's clearing was
 * sent in a state that accepted it.
 */
void
call_tracker::follow_state(call &c, call_leg &leg, const call_message &message, bool crossing,
                           frame_assignment &result)
{
    uint8_t side = side_of(message.from_network);
    uint8_t type = message.message_type;
    call_state step = establishment_step(type, c.network_originated);
    if (step != call_state::unknown) {
        if (crossing)
            return;
        if (leg.state == call_state::unknown)
            leg.state = step;
        else if (establishment_rank(leg.state) == 0 ||
                 (establishment_rank(step) != 0 && establishment_rank(step) < establishment_rank(leg.state)))
            result.findings |= call_unexpected_message;
        else if (establishment_rank(step) != establishment_rank(leg.state))
            leg.state = step;
        return;
    }
    if (is_clearing(type) && message.send_sequence >= 0 && leg.clearing_sequence[side >> 1] == unknown_sequence)
        leg.clearing_sequence[side >> 1] = static_cast<uint8_t>(message.send_sequence);
    switch (type) {
    case q931_connect_acknowledge:
        if (leg.state == call_state::unknown || establishment_rank(leg.state) != 0 || leg.state == call_state::active)
            leg.state = call_state::active;
        break;
    case q931_disconnect:
        leg.disconnected_by |= side;
        /* Announcements: the network leaves the call to T306 instead. */
        if (in_band_information(message.elements))
            leg.in_band |= side;
        leg.state = message.from_network ? call_state::disconnect_indication : call_state::disconnect_request;
        break;
    case q931_release:
        if (leg.releasing & side)
            result.findings |= call_release_repeated;
        else if ((leg.disconnected_by & side) && leg.disconnected_by != (side_user | side_network) &&
                 !(leg.in_band & side))
            result.findings |= call_disconnect_unanswered;
        /* A user that receives RELEASE answers it and is back in Null. */
        leg.state = message.from_network ? call_state::null : call_state::release_request;
        /* Both sent RELEASE: each takes the other's as the answer (clear
         * collision), and the reference is free without RELEASE COMPLETE. */
        if (leg.releasing & ~side) {
            leg.state = call_state::null;
            leg.ended = true;
        }
        leg.releasing |= side;
        break;
    case q931_suspend:
        leg.state = call_state::suspend_request;
        if (!message.from_network)
            suspending_[c.id] = suspension_of(c.port, message.elements);
        break;
    case q931_suspend_reject:
        leg.state = call_state::active;
        suspending_.erase(c.id);
        break;
    case q931_suspend_acknowledge:
        leg.state = call_state::null;
        leg.ended = true;
        break;
    case q931_resume_acknowledge:
        leg.state = call_state::active;
        break;
    case q931_resume_reject:
        leg.state = call_state::null;
        leg.ended = true;
        break;
    default:
        break;
    }
}

/* What the message tells of the call, whatever state it came in. */
void
call_tracker::take_content(call &c, call_leg &leg, branch *terminal, const call_message &message, uint8_t cause,
                           bool crossing, frame_assignment &result)
{
    uint8_t type = message.message_type;
    switch (type) {
    case q931_alerting:
        if (c.alerting_time < 0)
            c.alerting_time = message.time;
        break;
    case q931_connect_acknowledge:
    case q931_connect:
        /* Nor does one that crossed the clearing, or came after it. */
        if (c.connected || c.cleared || crossing)
            break;
        /* A CONNECT ACKNOWLEDGE answers a CONNECT the capture lacks: the
         * call was answered, and this is where it shows. */
        if (type == q931_connect_acknowledge && c.setup_seen && message.sequence != frame_sequence::late)
            result.findings |= call_connect_lost;
        answer(c, message);
        break;
    case q931_information:
        if (!c.setup_seen)
            break;
        result.details |= call_detail_dialled;
        if (message.from_network == c.network_originated && c.alerting_time < 0 && !c.connected)
            c.dialling_end = message.time;
        break;
    case q931_release_complete:
        leg.releasing = 0;
        leg.state = call_state::null;
        leg.ended = true;
        break;
    case q931_status:
        /* Its sender is in Null: it has released the reference. */
        if (reported_call_state(message.elements) == 0) {
            leg.state = call_state::null;
            leg.ended = true;
        }
        break;
    default:
        break;
    }
    if (is_clearing(type))
        take_clearing(c, terminal, message, cause);
    /* The network names the channel, in its SETUP or its first answer. */
    if (message.from_network && !c.channel && may_name_channel(type))
        hold_channel(c, message);
}

void
call_tracker::answer(call &c, const call_message &message)
{
    c.connected = true;
    c.connect_time = message.time;
    c.connect_frame = message.frame;
    if (c.broadcast == no_call)
        return;
    offer_of(c).answering_tei = static_cast<uint8_t>(message.tei);
    if (!c.ended && c.link_tei != message.tei)
        put_on_link(c, message.tei);
}

/*
 * The first clearing message decides how an unanswered call ended, and the
 * first cause is the call's. On a broadcast call a terminal that clears
 * first refuses only its own answer; the caller's side clearing a terminal
 * first, before one answered, gave up; once one answered, its clearing is
 * the call's and the others' is theirs.
 */
void
call_tracker::take_clearing(call &c, branch *terminal, const call_message &message, uint8_t cause)
{
    bool from_calling_side = message.from_network == c.network_originated;
    if (terminal) {
        broadcast_offer &offer = offer_of(c);
        if (!terminal->first_clearer)
            terminal->first_clearer = side_of(message.from_network);
        if (c.connected && message.tei != offer.answering_tei)
            return;
        if (!c.connected && terminal->first_clearer == side_user) {
            offer.any_busy = offer.any_busy || cause == cause_user_busy;
            if (offer.first_refusal == no_cause) {
                offer.first_refusal = cause;
                offer.first_refusal_frame = message.frame;
            }
            return;
        }
    }
    if (!c.cleared) {
        c.cleared = true;
        c.clearing_time = message.time;
        c.clearing_frame = message.frame;
        c.cleared_by_calling_side = from_calling_side;
    }
    if (c.cause == no_cause)
        c.cause = cause;
}

void
call_tracker::hold_channel(call &c, const call_message &message)
{
    uint32_t channels = indicated_channels(message.elements);
    if (!channels)
        return;
    unsigned channel = 1;
    while (!(channels & (1u << channel)))
        channel++;
    c.channel = static_cast<uint8_t>(channel);
    channel_holders_[static_cast<uint64_t>(c.port) << 5 | channel] = c.id;
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
}

/* ---- Endings ---- */

/* The call's reference is released: it is no longer up. How it ended
 * decides an unanswered call that no clearing message decided. */
void
call_tracker::end_call(call &c, double time, bool by_calling_side)
{
    if (c.ended)
        return;
    c.ended = true;
    c.leg.ended = true;
    c.end_time = std::max(c.end_time, time);
    if (!c.connected && !c.cleared) {
        c.cleared = true;
        c.cleared_by_calling_side = by_calling_side;
    }
    if (c.up) {
        unlink_up(c);
        ports_[c.port].calls_up--;
        c.up = false;
    }
    take_off_link(c);
}

/* Ended by a frame not its own: the statistics hear of it from there. */
void
call_tracker::end_by_another_frame(call &c, double time, bool by_calling_side)
{
    if (c.ended)
        return;
    end_call(c, time, by_calling_side);
    changed_.push_back(c.id);
}

/* SUSPEND ACKNOWLEDGE: the reference is released, the call kept for a
 * RESUME with its identity. */
void
call_tracker::suspend(call &c, const call_message &message)
{
    suspension_key key = {};
    key.port = c.port;
    auto pending = suspending_.find(c.id);
    if (pending != suspending_.end()) {
        key = pending->second;
        suspending_.erase(pending);
    }
    call_on(key_of(message)) = no_call;
    end_call(c, message.time, true);
    suspended_[key] = c.id;
}

void
call_tracker::tei_removed(uint32_t port, unsigned tei, double time)
{
    if (port >= data_links_.size())
        return;
    for (data_link &link : data_links_[port]) {
        if (link.tei == no_link || (tei != broadcast_tei && link.tei != tei))
            continue;
        while (link.first_up != no_call) {
            call &c = calls_[link.first_up];
            end_by_another_frame(c, time, c.network_originated);
        }
    }
}

/* ---- Broadcast offerings ---- */

/* The network stops waiting for answers when T303 expires: from the
 * offering's SETUP, or from a terminal's first answer on. */
void
call_tracker::watch_offer(const call &c)
{
    deadlines_.push_back({offer_deadline(c), c.id});
    std::push_heap(deadlines_.begin(), deadlines_.end(), std::greater<deadline>());
}

double
call_tracker::offer_deadline(const call &c)
{
    const broadcast_offer &offer = offers_[c.broadcast];
    bool answered_once = offer.setup_repeated || offer.first_branch != no_call;
    return offer.setup_time + (answered_once ? t303 : 2 * t303);
}

/* A broadcast call ends once every terminal that answered is cleared and
 * its caller's side is too: it cleared, or its answering terminal did, or
 * the network gave up waiting with every answer a refusal. */
void
call_tracker::check_offer(call &c, double time)
{
    if (c.ended)
        return;
    broadcast_offer &offer = offer_of(c);
    for (uint32_t index = offer.first_branch; index != no_call; index = branches_[index].next)
        if (!branches_[index].leg.ended)
            return;
    if (!c.connected && !c.cleared) {
        double deadline = offer_deadline(c);
        if (time < deadline)
            return;
        time = std::max(time, deadline);
        c.cleared = true;
        c.cleared_by_calling_side = false;
        c.clearing_time = time;
        c.clearing_frame = offer.first_refusal_frame;
        c.cause = offer.any_busy ? cause_user_busy
                                 : offer.first_refusal != no_cause ? offer.first_refusal : cause_no_user_responding;
    }
    end_call(c, time, c.cleared_by_calling_side);
}

void
call_tracker::expire_offers(double time)
{
    while (!deadlines_.empty() && deadlines_.front().time <= time) {
        std::pop_heap(deadlines_.begin(), deadlines_.end(), std::greater<deadline>());
        uint32_t id = deadlines_.back().call;
        deadlines_.pop_back();
        call &c = calls_[id];
        if (c.ended || c.connected || c.cleared)
            continue;
        double due = offer_deadline(c);
        if (due > time)
            continue;
        check_offer(c, due);
        if (c.ended)
            changed_.push_back(id);
    }
}

/* ---- Data links and the calls up on them ---- */

call_tracker::data_link &
call_tracker::data_link_of(uint32_t port, unsigned tei)
{
    std::pmr::vector<data_link> &links = data_links_[port];
    for (data_link &link : links)
        if (link.tei == tei)
            return link;
    return links.emplace_back(data_link{static_cast<uint8_t>(tei), 0, 0, no_call});
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
call_tracker::link_up(call &c)
{
    data_link &link = data_link_of(c.port, c.link_tei);
    c.previous_up = no_call;
    c.next_up = link.first_up;
    if (link.first_up != no_call)
        calls_[link.first_up].previous_up = c.id;
    link.first_up = c.id;
    link.calls_up++;
}

void
call_tracker::unlink_up(call &c)
{
    data_link &link = data_link_of(c.port, c.link_tei);
    if (c.previous_up != no_call)
        calls_[c.previous_up].next_up = c.next_up;
    else
        link.first_up = c.next_up;
    if (c.next_up != no_call)
        calls_[c.next_up].previous_up = c.previous_up;
    c.previous_up = c.next_up = no_call;
    link.calls_up--;
}

void
call_tracker::put_on_link(call &c, unsigned tei)
{
    if (c.up)
        unlink_up(c);
    take_off_link(c);
    c.link_tei = static_cast<uint8_t>(tei);
    c.lost_on_link_from = data_link_of(c.port, tei).lost_frames;
    if (c.up)
        link_up(c);
}

void
call_tracker::take_off_link(call &c)
{
    if (c.link_tei == no_link)
        return;
    data_link &link = data_link_of(c.port, c.link_tei);
    c.lost_frames += link.lost_frames - c.lost_on_link_from;
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

} // namespace morvastelle
