/* call-kpi.h
 * The figures an operator watches per ISDN port (ITU-T E.411 and E.425):
 * answer and network effectiveness ratios, mean connected time, post-dial
 * delay, peak simultaneous calls and traffic in Erlangs. Plain C++ with no
 * host types: the port KPIs table hands it each call whose message went
 * through its filter, as the call tracker has it then, and the unit tests
 * drive it directly.
 *
 * A call is handed again with every message that changes it, so only that
 * call's share of its port and of all ports is taken back and added anew:
 * the rows are right after any call, with no pass over the others.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_CALL_KPI_H
#define MORVASTELLE_CALL_KPI_H

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <vector>

#include "call-tracker.h"

namespace morvastelle {

/* One row, in fixed point: empty where nothing applies. */
struct kpi_row {
    uint32_t calls = 0;
    uint32_t answered = 0;
    std::optional<int64_t> asr_tenths;          /* of a percent */
    std::optional<int64_t> ner_tenths;
    std::optional<int64_t> acd_ms;
    std::optional<int64_t> post_dial_delay_ms;
    uint32_t peak_calls = 0;
    std::optional<int64_t> peak_time_ms;
    std::optional<int64_t> erlangs_thousandths;
};

/* "-", or the value with `decimals` digits after the point: 1234 with 3
 * decimals is "1.234". `text` holds 24 characters. */
void format_fixed(char *text, const std::optional<int64_t> &value, int decimals);

/* The calls in progress at each moment, counted where a call starts: the
 * most at once and when that was first reached. A call counts from its
 * start to its end inclusive, so one that ends as another starts counts
 * with it. A treap of start and end events, each node knowing the best
 * running count within its subtree: calls come and change in any order
 * (a filter may let a call's later messages through first) at a cost of
 * the tree's depth. */
class peak_timeline {
public:
    explicit peak_timeline(std::pmr::memory_resource *memory) : nodes_(memory) {}

    void insert(int64_t time, uint32_t call_id, bool is_end);
    void erase(int64_t time, uint32_t call_id, bool is_end);
    uint32_t peak() const;
    /* When the peak was first reached; meaningless while peak() is 0. */
    int64_t peak_time() const;

private:
    static constexpr uint32_t nil = UINT32_MAX;
    struct node {
        int64_t time;
        uint32_t call_id;
        bool is_end;
        uint32_t priority;
        uint32_t left = nil;
        uint32_t right = nil;
        int32_t sum;             /* of the subtree's steps, +1 start, -1 end */
        int32_t best;            /* the highest running sum within it */
        uint32_t best_node;      /* the first event that reached it */
    };

    bool before(uint32_t a, int64_t time, uint32_t call_id, bool is_end) const;
    void update(uint32_t n);
    /* Splits the subtree at `n` into the events before the key and the rest. */
    void split(uint32_t n, int64_t time, uint32_t call_id, bool is_end, uint32_t &less, uint32_t &rest);
    uint32_t merge(uint32_t a, uint32_t b);
    /* The subtree at `n` without the event: its new top. */
    uint32_t erase_from(uint32_t n, int64_t time, uint32_t call_id, bool is_end);

    std::pmr::vector<node> nodes_;
    uint32_t root_ = nil;
    uint32_t free_ = nil;        /* freed nodes, chained through left */
    uint32_t random_ = 2463534242u;
};

class call_kpis {
public:
    explicit call_kpis(std::pmr::memory_resource *memory = std::pmr::get_default_resource());

    struct update_result {
        uint32_t row;            /* the call's port row */
        bool new_row;            /* its port was first seen now */
        bool changed;            /* the port's row, and so the all-ports row */
    };
    /* One of `c`'s messages came through; `port` is the call's, as the
     * tracker has it now. */
    update_result add(const call &c, const call_port &port);

    /* Whether a message of the call came. */
    bool listed(uint32_t call_id) const { return call_id < calls_.size() && calls_[call_id].listed; }

    /* Rows come in the order their ports first came. */
    size_t port_rows() const { return rows_.size(); }
    kpi_row port_row(size_t row) const;
    kpi_row all_ports() const;

private:
    static constexpr int64_t still_up = INT64_MAX;
    static constexpr uint32_t no_row = UINT32_MAX;

    /* What one call brings to its rows; times in nanoseconds. */
    struct call_share {
        bool counted = false;    /* its SETUP was captured */
        bool answered = false;
        bool ended = false;
        bool effective = false;
        int64_t start = 0;
        int64_t end = still_up;  /* until its port's last frame */
        int64_t connected = -1;  /* negative: none */
        int64_t post_dial_delay = -1;
        bool operator==(const call_share &other) const;
    };
    struct counted_call {
        bool listed = false;     /* a message of it came */
        call_share share;
    };
    /* Sums modulo 2^64: a call's share is taken back exactly, and absurd
     * times in a damaged capture wrap instead of overflowing. */
    struct totals {
        uint64_t calls = 0, answered = 0, ended = 0, effective = 0;
        uint64_t connected_calls = 0, connected = 0;
        uint64_t delayed_calls = 0, post_dial_delay = 0;
        uint64_t ended_traffic = 0;  /* call time of the calls that ended */
        uint64_t calls_up = 0, starts_of_calls_up = 0;
        void count(const call_share &share, bool add);
    };
    struct port_row_state {
        explicit port_row_state(std::pmr::memory_resource *memory) : peak(memory) {}
        totals sums;
        peak_timeline peak;
        int64_t first_frame = 0;
        int64_t last_frame = 0;
        /* The time of its calls still up, until the port's last frame. */
        uint64_t traffic_up() const { return sums.calls_up * (uint64_t)last_frame - sums.starts_of_calls_up; }
    };

    static call_share share_of(const call &c);
    static void move_in_timeline(peak_timeline &timeline, uint32_t call_id, const call_share &from,
                                 const call_share &to);
    static kpi_row row_of(const totals &sums, const peak_timeline &peak, uint64_t traffic,
                          std::optional<int64_t> span);
    void widen_span(int64_t old_first, int64_t old_last, const port_row_state &row);

    std::pmr::memory_resource *memory_;
    std::pmr::vector<counted_call> calls_;   /* by call id */
    std::pmr::vector<uint32_t> rows_of_ports_;  /* by the tracker's port index */
    std::pmr::vector<port_row_state> rows_;
    totals all_sums_;
    peak_timeline all_peak_;
    uint64_t all_traffic_up_ = 0;
    int64_t all_first_frame_ = 0;
    int64_t all_last_frame_ = 0;
};

} // namespace morvastelle

#endif /* MORVASTELLE_CALL_KPI_H */
