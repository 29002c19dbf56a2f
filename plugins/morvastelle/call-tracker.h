/* call-tracker.h
 * Calls per ISDN port, followed from their Q.931 messages through the user
 * side's call states, as Q.931 and its procedures for the less common
 * cases (broadcast offering, clear collision, suspension, restart, data
 * link failure) have them. Plain C++ with no host types: the analysis feeds
 * it each message once, in frame order, with what the data link layer made
 * of its frame, and the unit tests drive it directly. Everything it keeps
 * comes from one memory resource, so the analysis can put it in the host's
 * file-scoped memory.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_CALL_TRACKER_H
#define MORVASTELLE_CALL_TRACKER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "link-tracker.h"
#include "q931-elements.h"

namespace morvastelle {

enum class call_outcome { in_progress, answered, cancelled, rejected, unknown };

const char *call_outcome_name(call_outcome outcome);

/* Q.931's protocol discriminator: other protocols make no calls. */
const uint8_t q931_discriminator = 0x08;

/* The Q.931 message types the tracker acts on. */
enum : uint8_t {
    q931_alerting = 0x01,
    q931_call_proceeding = 0x02,
    q931_setup = 0x05,
    q931_connect = 0x07,
    q931_setup_acknowledge = 0x0d,
    q931_connect_acknowledge = 0x0f,
    q931_suspend_reject = 0x21,
    q931_resume_reject = 0x22,
    q931_suspend = 0x25,
    q931_resume = 0x26,
    q931_suspend_acknowledge = 0x2d,
    q931_resume_acknowledge = 0x2e,
    q931_disconnect = 0x45,
    q931_restart = 0x46,
    q931_release = 0x4d,
    q931_restart_acknowledge = 0x4e,
    q931_release_complete = 0x5a,
    q931_segment = 0x60,
    q931_register = 0x64,
    q931_status_enquiry = 0x75,
    q931_information = 0x7b,
    q931_status = 0x7d,
};

/* The user side's call states (Q.931 2.1.1), by their numbers. */
enum class call_state : uint8_t {
    null = 0,
    call_initiated = 1,
    overlap_sending = 2,
    outgoing_call_proceeding = 3,
    call_delivered = 4,
    call_present = 6,
    call_received = 7,
    connect_request = 8,
    incoming_call_proceeding = 9,
    active = 10,
    disconnect_request = 11,
    disconnect_indication = 12,
    suspend_request = 15,
    resume_request = 17,
    release_request = 19,
    overlap_receiving = 25,
    /* Not a Q.931 state: a call found without its SETUP, until a message
     * tells where it stands. */
    unknown = 255,
};

/* What a message shows went wrong in its call, as bits. */
enum : uint8_t {
    call_unexpected_message = 0x01,    /* not compatible with the call's state */
    call_protocol_error = 0x02,        /* a cause of the classes 81-111 */
    call_setup_repeated = 0x04,        /* SETUP sent again (T303) */
    call_release_repeated = 0x08,      /* RELEASE sent again (T308) */
    call_disconnect_unanswered = 0x10, /* RELEASE from the side that disconnected (T305) */
    call_no_setup = 0x20,              /* a call's first frame, without its SETUP */
    call_connect_lost = 0x40,          /* CONNECT ACKNOWLEDGE with no CONNECT */
    call_restart_with_calls_up = 0x80, /* RESTART of an interface with calls up */
};

bool is_clearing(uint8_t message_type);

const uint8_t no_link = 255;
const uint8_t side_user = 0x01;
const uint8_t side_network = 0x02;
const unsigned broadcast_tei = 127;
const unsigned max_call_ref_length = 15;
const uint32_t no_call = UINT32_MAX;

/* What a message may tell of its call beyond its place in it, from the
 * host's decoding of the whole message: */
enum : uint8_t {
    call_detail_numbers = 0x01,  /* calling and called number of a SETUP */
    call_detail_dialled = 0x02,  /* more digits of the called number */
};

/* One Q.931 message with what its LAPD frame says about it. */
struct call_message {
    uint32_t frame = 0;          /* the frame's number, from 1 */
    uint32_t port = 0;           /* the port's index (port-registry.h) */
    double time = 0;             /* seconds since the capture's first packet */
    bool from_network = false;   /* the sending side */
    unsigned tei = 0;
    /* An I-frame's N(S) and N(R); -1 for a UI-frame. */
    int send_sequence = -1;
    int receive_sequence = -1;
    /* What the data link layer made of the I-frame. A repeat never gets
     * here: it belongs to the frame it repeats. */
    frame_sequence sequence = frame_sequence::new_frame;
    unsigned call_ref_length = 0;
    /* The value octets, without the flag bit, zero past the length: the
     * tracker copies and compares them whole, without a loop. */
    uint8_t call_ref[max_call_ref_length] = {};
    bool call_ref_flag = false;
    uint8_t message_type = 0;
    /* As far as captured: a SETUP sent again repeats them. */
    information_elements elements;
    /* False when the host has not decoded the message's numbers (yet):
     * they are then added with add_details. */
    bool has_details = true;
    const char *calling_number = nullptr;  /* null when the message has none */
    const char *called_number = nullptr;
    const char *keypad = nullptr;          /* Keypad facility digits */
};

/* One user side's part of a call: the call's own, or one terminal's answer
 * to a broadcast SETUP. */
struct call_leg {
    call_state state = call_state::null;
    /* The sides (side_user, side_network) that sent a DISCONNECT, one with
     * in-band information (T306 instead of T305), and a RELEASE not yet
     * completed. */
    uint8_t disconnected_by = 0;
    uint8_t in_band = 0;
    uint8_t releasing = 0;
    /* The N(S) of each side's first clearing I-frame, by side_network: a
     * message of the other side whose N(R) does not acknowledge it crossed
     * it. */
    uint8_t clearing_sequence[2] = {0xff, 0xff};
    bool ended = false;          /* its call reference released */
};

/* Laid out small: a capture may hold a great many calls. Times are seconds
 * since the capture's first packet, negative where the call has none. */
struct call {
    explicit call(std::pmr::memory_resource *memory) : calling_number(memory), called_number(memory) {}

    std::pmr::string calling_number;
    std::pmr::string called_number;  /* Called party numbers, else Keypad digits */
    double start = 0;
    double connect_time = -1;
    double clearing_time = -1;
    double alerting_time = -1;       /* the first ALERTING */
    /* The SETUP, or the calling side's last INFORMATION before the call
     * was alerted or answered (overlap sending). */
    double dialling_end = -1;
    /* When the call ended, else its last message. */
    double end_time = 0;
    uint32_t id = 0;                 /* the calls' start order, from 0 */
    uint32_t port = 0;               /* the port's index */
    uint32_t frames = 0;
    /* Frame numbers, 0 where the call has no such message. */
    uint32_t setup_frame = 0;
    uint32_t connect_frame = 0;
    uint32_t clearing_frame = 0;     /* the first clearing message that decided the outcome */
    /* Of the SETUP's information elements, to know it when sent again. */
    uint32_t setup_digest = 0;
    /* Its neighbours among the calls up on its data link. */
    uint32_t previous_up = no_call;
    uint32_t next_up = no_call;
    uint32_t broadcast = no_call;    /* its offering to every terminal, for a broadcast SETUP */
    uint8_t call_ref[max_call_ref_length] = {};
    uint8_t call_ref_length = 0;
    uint8_t cause = no_cause;
    bool network_originated = false;
    bool setup_seen = false;
    bool connected = false;
    /* Cleared by a clearing message, or ended without one (restarted,
     * its TEI removed, its reference reused): by the calling side or not. */
    bool cleared = false;
    bool cleared_by_calling_side = false;
    bool ended = false;              /* its reference released: no longer up */
    bool called_from_keypad = false;
    bool resumed = false;            /* suspended and resumed on another reference */
    bool up = false;                 /* counted among its port's calls up */
    /* The TEI of the data link the call is on, no_link until it is on
     * one, and the link's count of lost I-frames when it got there: what
     * the link lost since counts for the call. */
    uint8_t link_tei = no_link;
    uint8_t channel = 0;             /* the B-channel last indicated, 0 for none */
    call_leg leg;
    uint32_t lost_on_link_from = 0;
    uint32_t lost_frames = 0;        /* on data links it has left */

    call_outcome outcome() const;
    /* Negative where the call has none. */
    double answer_delay() const;
    double connected_duration() const;
    /* The reference's value octets in hex, without the flag bit: `text`
     * holds 2 * max_call_ref_length + 1 characters. */
    void call_ref_text(char *text) const;
};

struct call_port {
    uint32_t calls = 0;
    uint32_t calls_up = 0;       /* SETUP seen, not yet ended */
    double first_frame_time = 0; /* of any MORVASTELLE frame of the port */
    double last_frame_time = 0;
    /* The last RESTART's, for an acknowledgement that does not repeat them. */
    int restart_class = -1;
    uint32_t restart_channels = 0;
};

/* What the tracker made of one frame. */
struct frame_assignment {
    call *assigned = nullptr;    /* null: the frame belongs to no call */
    bool started = false;        /* the frame started the call */
    uint8_t details = 0;         /* call_detail_* the frame may add */
    uint8_t findings = 0;        /* call_* finding bits */
    /* The state after the message of the call's part it belongs to. */
    call_state state = call_state::unknown;
    uint8_t cause = no_cause;    /* with call_protocol_error */
    uint32_t calls_up = 0;       /* with call_restart_with_calls_up */
};

class call_tracker {
public:
    explicit call_tracker(std::pmr::memory_resource *memory = std::pmr::get_default_resource());

    /* Any MORVASTELLE frame of the port, Q.931 or not, in frame order:
     * calls whose network has stopped waiting for an answer end here. On
     * every frame, so in the header. */
    void port_frame(uint32_t port, double time)
    {
        changed_.clear();
        if (port >= ports_.size())
            new_ports(port, time);
        ports_[port].last_frame_time = time;
        if (!deadlines_.empty() && time >= deadlines_.front().time)
            expire_offers(time);
    }
    /* Messages come in frame order, each once, after their port_frame. */
    frame_assignment add(const call_message &message);
    /* The details of a message added without them, with what add() said
     * they may add; such messages come in frame order too. */
    void add_details(uint32_t call_id, uint8_t details, const call_message &message);
    /* The data link of TEI `tei` on that port lost `count` I-frames. */
    void frames_lost(uint32_t port, unsigned tei, unsigned count);
    /* The TEI's data links are gone (127: every TEI of the port), and with
     * them its calls. */
    void tei_removed(uint32_t port, unsigned tei, double time);
    /* Calls up (SETUP seen, not yet ended) on that data link. */
    uint32_t calls_up(uint32_t port, unsigned tei) const;
    /* I-frames lost on the call's data links while it was up. */
    uint32_t lost_frames(const call &c) const;
    /* Calls that the last port_frame, add or tei_removed changed without
     * a message of their own: ended by a RESTART, a TEI removal, a reused
     * reference or their network's timer. */
    const std::pmr::vector<uint32_t> &calls_changed() const { return changed_; }

    /* By the ports' indexes. */
    const std::pmr::vector<call_port> &ports() const { return ports_; }
    /* In the order they started: a call's id is its index. */
    const std::pmr::deque<call> &calls() const { return calls_; }

private:
    /* A call reference as calls are keyed by it, in three words: the
     * port, the originating side, the user's TEI (0 for the network's
     * calls), the value's length and first two octets in the first, the
     * rest of the value after. */
    struct call_key {
        uint64_t words[3];
        bool operator==(const call_key &other) const
        {
            return words[0] == other.words[0] && words[1] == other.words[1] && words[2] == other.words[2];
        }
    };
    /* The call on each reference: open addressing on the key, at most
     * half full. A reference whose call is gone keeps its slot, with
     * no_call, until a call takes it again. */
    struct key_slot {
        call_key key;
        uint32_t call;           /* empty_slot: none */
    };
    static constexpr uint32_t empty_slot = UINT32_MAX - 2;
    /* A reference that carries call-independent signalling (REGISTER). */
    static constexpr uint32_t not_a_call = UINT32_MAX - 1;

    /* One terminal's answer to a broadcast SETUP, on its own data link. */
    struct branch {
        uint32_t next;           /* the offering's next branch, no_call for none */
        uint8_t tei;
        uint8_t first_clearer = 0;  /* the side whose clearing message came first */
        call_leg leg;
    };
    /* A SETUP offered to every terminal of a bus. The network waits T303
     * for answers, sends the SETUP again once where none came, and clears
     * the calling side where none answered: the call ends there. */
    struct broadcast_offer {
        uint32_t first_branch = no_call;
        double setup_time = 0;   /* its last SETUP */
        bool setup_repeated = false;
        bool any_busy = false;
        uint8_t first_refusal = no_cause;
        uint32_t first_refusal_frame = 0;
        uint8_t answering_tei = 0;
    };
    struct deadline {
        double time;
        uint32_t call;
        bool operator>(const deadline &other) const { return time > other.time; }
    };
    /* A data link's calls: the link is a port's TEI; no_link holds the
     * calls up that are on none yet. */
    struct data_link {
        uint8_t tei;
        uint32_t calls_up;
        uint32_t lost_frames;
        uint32_t first_up;
    };
    /* The identity a call was suspended with, on its port. */
    struct suspension_key {
        uint32_t port;
        uint8_t length;
        uint8_t identity[10];
        bool operator==(const suspension_key &other) const;
    };
    struct suspension_key_hash {
        std::size_t operator()(const suspension_key &key) const;
    };

    void new_ports(uint32_t port, double time);
    /* Keying: which call a message belongs to, started where needed. */
    static call_key key_of(const call_message &message);
    size_t slot_of(const call_key &key) const;
    /* The call on the reference, no_call for none: made when first seen. */
    uint32_t &call_on(const call_key &key);
    call *call_for(const call_message &message, const call_key &key, frame_assignment &result);
    call *start_call(const call_message &message, bool network_originated);
    call *start_call_without_setup(const call_message &message, bool network_originated);
    static suspension_key suspension_of(uint32_t port, const information_elements &elements);
    call *resume_call(const call_message &message, bool network_originated);
    bool repeats_setup(const call &c, const call_message &message, uint32_t digest) const;
    /* The global call reference: RESTART and what is wrong there. */
    void add_global(const call_message &message, frame_assignment &result);
    /* States and the checks a receiver following Q.931 makes. */
    void follow_state(call &c, call_leg &leg, const call_message &message, bool crossing,
                      frame_assignment &result);
    bool crossed(const call_leg &leg, const call_message &message) const;
    /* What the message tells of the call's outcome and numbers. */
    void take_content(call &c, call_leg &leg, branch *terminal, const call_message &message, uint8_t cause,
                      bool crossing, frame_assignment &result);
    void answer(call &c, const call_message &message);
    void take_clearing(call &c, branch *terminal, const call_message &message, uint8_t cause);
    static void apply_details(call &c, uint8_t details, const call_message &message);
    /* Endings. */
    void end_call(call &c, double time, bool by_calling_side);
    void end_by_another_frame(call &c, double time, bool by_calling_side);
    void restart_acknowledged(const call_message &message);
    void suspend(call &c, const call_message &message);
    /* Broadcast offerings. */
    broadcast_offer &offer_of(const call &c) { return offers_[c.broadcast]; }
    branch &branch_of(call &c, unsigned tei);
    void check_offer(call &c, double time);
    void watch_offer(const call &c);
    double offer_deadline(const call &c);
    void expire_offers(double time);
    /* Data links and the calls up on them. */
    data_link &data_link_of(uint32_t port, unsigned tei);
    const data_link *find_data_link(uint32_t port, unsigned tei) const;
    void link_up(call &c);
    void unlink_up(call &c);
    void put_on_link(call &c, unsigned tei);
    void take_off_link(call &c);
    void hold_channel(call &c, const call_message &message);

    std::pmr::memory_resource *memory_;
    std::pmr::vector<call_port> ports_;
    std::pmr::deque<call> calls_;
    std::pmr::vector<key_slot> key_slots_;
    unsigned key_shift_;         /* 64 less the table size's bits */
    size_t keys_ = 0;
    std::pmr::vector<std::pmr::vector<data_link>> data_links_;  /* by port */
    std::pmr::deque<broadcast_offer> offers_;
    std::pmr::deque<branch> branches_;
    /* A min-heap: the earliest first. */
    std::pmr::vector<deadline> deadlines_;
    /* Suspended calls, and the identities of those whose SUSPEND is not
     * answered yet. */
    std::pmr::unordered_map<suspension_key, uint32_t, suspension_key_hash> suspended_;
    std::pmr::unordered_map<uint32_t, suspension_key> suspending_;
    /* By port and channel: the last call that took it. */
    std::pmr::unordered_map<uint64_t, uint32_t> channel_holders_;
    std::pmr::vector<uint32_t> changed_;
};

} // namespace morvastelle

#endif /* MORVASTELLE_CALL_TRACKER_H */
