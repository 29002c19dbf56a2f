/* call-tracker.h
 * Calls per ISDN port, followed from their Q.931 messages. Plain C++ with
 * no host types: the call analysis layer feeds it each message once, in
 * frame order, and the unit tests drive it directly. Everything it keeps
 * comes from one memory resource, so the layer can put it in the host's
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

namespace morvastelle {

enum class call_outcome { in_progress, answered, cancelled, rejected, unknown };

const char *call_outcome_name(call_outcome outcome);

/* The Q.931 message types the tracker acts on. */
enum : uint8_t {
    q931_alerting = 0x01,
    q931_call_proceeding = 0x02,
    q931_connect = 0x07,
    q931_setup = 0x05,
    q931_setup_acknowledge = 0x0d,
    q931_connect_acknowledge = 0x0f,
    q931_restart = 0x46,
    q931_disconnect = 0x45,
    q931_release = 0x4d,
    q931_release_complete = 0x5a,
    q931_status = 0x7d,
    q931_information = 0x7b,
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

const uint8_t no_cause = 255;
const uint8_t no_link = 255;
const uint8_t side_user = 0x01;
const uint8_t side_network = 0x02;
const unsigned broadcast_tei = 127;
const unsigned max_call_ref_length = 15;

/* What a message may tell of its call beyond its place in it, from the
 * host's decoding of the whole message: */
enum : uint8_t {
    call_detail_numbers = 0x01,  /* calling and called number of a SETUP */
    call_detail_dialled = 0x02,  /* more digits of the called number */
    call_detail_cause = 0x04,    /* the call's cause, if first to carry one */
};

/* One Q.931 message with what its LAPD frame says about it. */
struct call_message {
    uint32_t frame = 0;          /* the frame's number, from 1 */
    std::string_view port;       /* the ISDN port name's octets */
    double time = 0;             /* seconds since the capture's first packet */
    bool from_network = false;   /* the sending side */
    unsigned tei = 0;
    bool numbered = false;       /* an I-frame, with a send sequence number */
    unsigned send_sequence = 0;
    unsigned call_ref_length = 0;
    /* The value octets, without the flag bit, zero past the length: the
     * tracker copies and compares them whole, without a loop. */
    uint8_t call_ref[max_call_ref_length] = {};
    bool call_ref_flag = false;
    uint8_t message_type = 0;
    /* The octets after the message type, as far as captured: a SETUP sent
     * again repeats them. */
    const uint8_t *information_elements = nullptr;
    size_t information_elements_length = 0;
    /* False when the host has not decoded the message's information
     * elements (yet): they are then added with add_details. */
    bool has_details = true;
    const char *calling_number = nullptr;  /* null when the message has none */
    const char *called_number = nullptr;
    const char *keypad = nullptr;          /* Keypad facility digits */
    uint8_t cause = no_cause;
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
    /* The RELEASE COMPLETE that ended the call, else its last message. */
    double end_time = 0;
    uint32_t id = 0;                 /* the calls' start order, from 0 */
    uint32_t port = 0;               /* index into call_tracker::ports() */
    uint32_t frames = 0;
    /* Frame numbers, 0 where the call has no such message. */
    uint32_t setup_frame = 0;
    uint32_t connect_frame = 0;
    uint32_t clearing_frame = 0;     /* the first clearing message */
    /* Clearing messages before this frame carry no cause of the call's: a
     * broadcast call answered after a refusal. */
    uint32_t causes_from_frame = 0;
    /* Of the SETUP's information elements, to know it when sent again. */
    uint32_t setup_digest = 0;
    uint8_t call_ref[max_call_ref_length] = {};
    uint8_t call_ref_length = 0;
    uint8_t cause = no_cause;
    bool network_originated = false;
    bool setup_seen = false;
    bool connected = false;
    bool cleared = false;
    bool cleared_by_calling_side = false;
    bool released = false;           /* RELEASE COMPLETE freed the reference */
    bool called_from_keypad = false;
    /* A SETUP broadcast on TEI 127 may be answered by several terminals;
     * until one connects, the terminal whose clearing was recorded. */
    bool broadcast = false;
    uint8_t answering_tei = 0;
    uint8_t clearing_tei = 0;
    call_state state = call_state::null;
    /* The sides (side_user, side_network) that sent a DISCONNECT, and a
     * RELEASE not yet completed. */
    uint8_t disconnected_by = 0;
    uint8_t releasing = 0;
    /* The TEI of the data link the call is on, no_link until it is on
     * one, and the link's count of lost I-frames when it got there: what
     * the link lost since counts for the call. */
    uint8_t link_tei = no_link;
    bool up = false;                 /* counted among its port's calls up */
    bool up_on_link = false;         /* and among its link's */
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
    call_port(std::string_view octets, uint32_t index, std::pmr::memory_resource *memory)
        : name(octets, memory), index(index)
    {
    }

    std::pmr::string name;       /* the name's octets as captured */
    uint32_t index;              /* into call_tracker::ports() */
    uint32_t calls = 0;
    uint32_t calls_up = 0;       /* SETUP seen, not yet released */
    double first_frame_time = 0; /* of any MORVASTELLE frame of the port */
    double last_frame_time = 0;
};

/* What the tracker made of one frame. */
struct frame_assignment {
    uint32_t port = 0;           /* the frame's port, as port_frame gives it */
    call *assigned = nullptr;    /* null: the frame belongs to no call */
    bool started = false;        /* the frame started the call */
    /* A repeated I-frame: the frame it repeats. It belongs to that frame's
     * call, and changes nothing. */
    uint32_t retransmission_of = 0;
    uint8_t details = 0;         /* call_detail_* the frame may add */
    uint8_t findings = 0;        /* call_* finding bits */
    /* The call's state after the message. */
    call_state state = call_state::unknown;
    uint8_t cause = no_cause;    /* with call_protocol_error */
    uint32_t calls_up = 0;       /* with call_restart_with_calls_up */
};

class call_tracker {
public:
    explicit call_tracker(std::pmr::memory_resource *memory = std::pmr::get_default_resource());

    /* Any MORVASTELLE frame of `port`, Q.931 or not: the port's index. */
    uint32_t port_frame(std::string_view port, double time);
    /* Messages come in frame order, each once. */
    frame_assignment add(const call_message &message);
    /* The same, with the port's index as port_frame gave it for the
     * frame. */
    frame_assignment add(const call_message &message, uint32_t port);
    /* The details of a message added without them, with what add() said
     * they may add; such messages come in frame order too. */
    void add_details(uint32_t call_id, uint8_t details, const call_message &message);
    /* The data link of TEI `tei` on the port of that index was set up or
     * taken down: its send sequence numbers start again. */
    void link_reset(uint32_t port, unsigned tei);
    /* The data link of TEI `tei` on that port lost `count` I-frames. */
    void frames_lost(uint32_t port, unsigned tei, unsigned count);
    /* Calls up (SETUP seen, not yet released) on that data link. */
    uint32_t calls_up(uint32_t port, unsigned tei) const;
    /* I-frames lost on the call's data links while it was up. */
    uint32_t lost_frames(const call &c) const;

    const std::pmr::deque<call_port> &ports() const { return ports_; }
    /* In the order they started: a call's id is its index. */
    const std::pmr::deque<call> &calls() const { return calls_; }

private:
    struct call_key {
        uint32_t port;
        bool network_originated;
        uint8_t tei;             /* 0 for network-originated calls */
        uint8_t call_ref_length;
        uint8_t call_ref[max_call_ref_length];
        bool operator==(const call_key &other) const;
    };
    struct call_key_hash {
        std::size_t operator()(const call_key &key) const;
    };
    /* The last I-frame of one direction of one data link: enough of it to
     * tell its repeat from a new frame with the same number. */
    struct last_frame {
        uint8_t link;            /* 0x80 from the network, | the TEI */
        uint8_t send_sequence;
        uint8_t message_type;
        uint8_t call_ref_length;
        uint32_t frame;          /* 0 until the link's first I-frame */
        uint32_t call_id;        /* no_call when it belonged to none */
        bool call_ref_flag;
        uint8_t call_ref[max_call_ref_length];
    };
    static constexpr uint32_t no_call = UINT32_MAX;

    /* Open addressing on a hash of the name, which the slot keeps. */
    struct port_slot {
        uint64_t hash;
        call_port *port;         /* null: an empty slot */
    };

    call_port &port_named(std::string_view name, double time);
    call_port &new_port(std::string_view name, uint64_t hash, double time);
    void index_port(uint64_t hash, call_port *port);
    last_frame &last_frame_of(uint32_t port, bool from_network, unsigned tei);
    static bool repeats(const last_frame &last, const call_message &message);
    static void remember_frame(last_frame &last, const call_message &message, const call *assigned);
    call *start_call(uint32_t port, const call_message &message, bool network_originated);
    static void apply_details(call &c, uint8_t details, const call_message &message);
    /* A data link's calls: the link is a port's TEI. */
    struct data_link {
        uint8_t tei;
        uint32_t calls_up;
        uint32_t lost_frames;
    };
    data_link &data_link_of(uint32_t port, unsigned tei);
    const data_link *find_data_link(uint32_t port, unsigned tei) const;
    void put_on_link(call &c, unsigned tei);
    void take_off_link(call &c);
    void follow_state(call &c, const call_message &message, bool other_terminal, frame_assignment &result);
    void check_global(const call_message &message, uint32_t port, frame_assignment &result) const;

    std::pmr::memory_resource *memory_;
    std::pmr::deque<call_port> ports_;
    /* Every frame looks up its port, so by a table of their own, at most
     * half full so that a search soon meets an empty slot. */
    std::pmr::vector<port_slot> port_slots_;
    std::pmr::deque<call> calls_;
    std::pmr::unordered_map<call_key, uint32_t, call_key_hash> active_;
    /* By port: a port has few data links, found faster by a look at each
     * than through a map. */
    std::pmr::vector<std::pmr::vector<last_frame>> last_frames_;
    std::pmr::vector<std::pmr::vector<data_link>> data_links_;  /* by port */
};

} // namespace morvastelle

#endif /* MORVASTELLE_CALL_TRACKER_H */
