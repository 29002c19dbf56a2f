/* call-tracker.h
 * Calls per ISDN port, followed from their Q.931 messages. Plain C++ with
 * no host types: the statistics feed it what the taps report, and the
 * unit tests drive it directly.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_CALL_TRACKER_H
#define MORVASTELLE_CALL_TRACKER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>

namespace morvastelle {

enum class call_outcome { in_progress, answered, cancelled, rejected, unknown };

const char *call_outcome_name(call_outcome outcome);

/* The Q.931 message types the tracker acts on. */
enum : uint8_t {
    q931_connect = 0x07,
    q931_setup = 0x05,
    q931_disconnect = 0x45,
    q931_release = 0x4d,
    q931_release_complete = 0x5a,
    q931_information = 0x7b,
};

const uint8_t no_cause = 255;
const unsigned broadcast_tei = 127;

/* One Q.931 message with what its LAPD frame says about it. */
struct call_message {
    const char *port = "";
    double time = 0;             /* seconds since the capture's first packet */
    bool from_network = false;   /* the sending side */
    unsigned tei = 0;
    bool numbered = false;       /* an I-frame, with a send sequence number */
    unsigned send_sequence = 0;
    unsigned call_ref_length = 0;
    const uint8_t *call_ref = nullptr;  /* value octets, without the flag bit */
    bool call_ref_flag = false;
    uint8_t message_type = 0;
    const char *calling_number = nullptr;  /* null when the message has none */
    const char *called_number = nullptr;
    uint8_t cause = no_cause;
};

/* Laid out small: a capture may hold a great many calls. */
struct call {
    std::string call_ref;        /* hex, as on the wire without the flag */
    std::string calling_number;
    std::string called_number;
    double start = 0;
    double connect_time = 0;
    double clearing_time = 0;
    uint32_t id = 0;             /* the calls' start order, from 0 */
    uint32_t port = 0;           /* index into call_tracker::ports() */
    uint32_t row = 0;            /* position among the port's calls */
    uint32_t frames = 0;
    uint8_t cause = no_cause;
    bool network_originated = false;
    bool setup_seen = false;
    bool connected = false;
    bool cleared = false;
    bool cleared_by_calling_side = false;
    /* A SETUP broadcast on TEI 127 may be answered by several terminals;
     * until one connects, the terminal whose clearing was recorded. */
    bool broadcast = false;
    uint8_t answering_tei = 0;
    uint8_t clearing_tei = 0;

    call_outcome outcome() const;
    /* Negative where the call has none. */
    double answer_delay() const;
    double connected_duration() const;
};

struct call_port {
    std::string name;
    uint32_t calls = 0;
};

/* What a message did, for the statistics to redraw. */
struct call_change {
    call *changed = nullptr;     /* null: the message belongs to no call */
    bool started = false;        /* a new row */
    call_outcome old_outcome = call_outcome::in_progress;
    uint8_t old_cause = no_cause;
};

class call_tracker {
public:
    call_change add(const call_message &message);
    /* The data link of TEI `tei` on `port` was set up or taken down: its
     * send sequence numbers start again. */
    void link_reset(const char *port, unsigned tei);
    void clear();

    const std::deque<call_port> &ports() const { return ports_; }
    /* In the order they started. */
    const std::deque<call> &calls() const { return calls_; }

private:
    struct call_key {
        uint32_t port;
        bool network_originated;
        unsigned tei;            /* 0 for network-originated calls */
        std::string call_ref;
        bool operator==(const call_key &other) const;
    };
    struct call_key_hash {
        std::size_t operator()(const call_key &key) const;
    };

    uint32_t port_index(const char *name);
    bool repeats_last_frame(uint32_t port, const call_message &message);
    call *start_call(uint32_t port, const call_message &message, bool network_originated);

    std::deque<call_port> ports_;
    std::unordered_map<std::string, uint32_t> port_indices_;
    std::deque<call> calls_;     /* a deque: rows point into it */
    std::unordered_map<call_key, call *, call_key_hash> active_;
    /* Last send sequence number per port, direction and TEI. */
    std::map<std::tuple<uint32_t, bool, unsigned>, unsigned> last_send_sequence_;
};

} // namespace morvastelle

#endif /* MORVASTELLE_CALL_TRACKER_H */
