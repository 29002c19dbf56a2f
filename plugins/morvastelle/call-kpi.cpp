/* call-kpi.cpp
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "call-kpi.h"

#include <algorithm>
#include <cmath>

namespace morvastelle {

void
format_fixed(char *text, const std::optional<int64_t> &value, int decimals)
{
    if (!value) {
        text[0] = '-';
        text[1] = '\0';
        return;
    }
    uint64_t magnitude = *value < 0 ? 0 - static_cast<uint64_t>(*value) : static_cast<uint64_t>(*value);
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude || count <= decimals);
    if (*value < 0)
        *text++ = '-';
    for (int i = count - 1; i >= 0; i--) {
        *text++ = digits[i];
        if (i == decimals && decimals > 0)
            *text++ = '.';
    }
    *text = '\0';
}

/* Beyond a century a time is damage, not a capture; so bounded, the
 * difference of two times stays within 64 bits. */
static int64_t
nanoseconds(double seconds)
{
    return std::llround(std::clamp(seconds, -4e9, 4e9) * 1e9);
}

/* Rounded half up, as the table shows them. */
static int64_t
milliseconds(int64_t ns)
{
    int64_t ms = ns / 1000000, rest = ns % 1000000;
    if (rest < 0) {
        ms--;
        rest += 1000000;
    }
    return rest >= 500000 ? ms + 1 : ms;
}

static int64_t
tenths_of_percent(uint64_t part, uint64_t whole)
{
    return static_cast<int64_t>((2000 * part + whole) / (2 * whole));
}

bool
peak_timeline::before(uint32_t a, int64_t time, uint32_t call_id, bool is_end) const
{
    const node &n = nodes_[a];
    if (n.time != time)
        return n.time < time;
    /* At the same moment a start comes first: both calls count. */
    if (n.is_end != is_end)
        return !n.is_end;
    return n.call_id < call_id;
}

void
peak_timeline::update(uint32_t n)
{
    node &x = nodes_[n];
    int32_t running = x.is_end ? -1 : 1;
    if (x.left != nil) {
        const node &left = nodes_[x.left];
        running += left.sum;
        x.best = left.best;
        x.best_node = left.best_node;
    }
    if (x.left == nil || running > x.best) {
        x.best = running;
        x.best_node = n;
    }
    x.sum = running;
    if (x.right != nil) {
        const node &right = nodes_[x.right];
        if (running + right.best > x.best) {
            x.best = running + right.best;
            x.best_node = right.best_node;
        }
        x.sum += right.sum;
    }
}

void
peak_timeline::split(uint32_t n, int64_t time, uint32_t call_id, bool is_end, uint32_t &less, uint32_t &rest)
{
    if (n == nil) {
        less = rest = nil;
        return;
    }
    if (before(n, time, call_id, is_end)) {
        split(nodes_[n].right, time, call_id, is_end, nodes_[n].right, rest);
        less = n;
    } else {
        split(nodes_[n].left, time, call_id, is_end, less, nodes_[n].left);
        rest = n;
    }
    update(n);
}

uint32_t
peak_timeline::merge(uint32_t a, uint32_t b)
{
    if (a == nil)
        return b;
    if (b == nil)
        return a;
    if (nodes_[a].priority > nodes_[b].priority) {
        nodes_[a].right = merge(nodes_[a].right, b);
        update(a);
        return a;
    }
    nodes_[b].left = merge(a, nodes_[b].left);
    update(b);
    return b;
}

void
peak_timeline::insert(int64_t time, uint32_t call_id, bool is_end)
{
    uint32_t n = free_;
    if (n != nil) {
        free_ = nodes_[n].left;
    } else {
        n = static_cast<uint32_t>(nodes_.size());
        nodes_.emplace_back();
    }
    random_ ^= random_ << 13;
    random_ ^= random_ >> 17;
    random_ ^= random_ << 5;
    node &x = nodes_[n];
    x.time = time;
    x.call_id = call_id;
    x.is_end = is_end;
    x.priority = random_;
    x.left = x.right = nil;
    update(n);

    uint32_t less, rest;
    split(root_, time, call_id, is_end, less, rest);
    root_ = merge(merge(less, n), rest);
}

uint32_t
peak_timeline::erase_from(uint32_t n, int64_t time, uint32_t call_id, bool is_end)
{
    if (n == nil)
        return nil;
    node &x = nodes_[n];
    if (x.time == time && x.call_id == call_id && x.is_end == is_end) {
        uint32_t joined = merge(x.left, x.right);
        nodes_[n].left = free_;
        free_ = n;
        return joined;
    }
    if (before(n, time, call_id, is_end))
        nodes_[n].right = erase_from(x.right, time, call_id, is_end);
    else
        nodes_[n].left = erase_from(x.left, time, call_id, is_end);
    update(n);
    return n;
}

void
peak_timeline::erase(int64_t time, uint32_t call_id, bool is_end)
{
    root_ = erase_from(root_, time, call_id, is_end);
}

uint32_t
peak_timeline::peak() const
{
    return root_ == nil ? 0 : static_cast<uint32_t>(std::max(nodes_[root_].best, 0));
}

int64_t
peak_timeline::peak_time() const
{
    return root_ == nil ? 0 : nodes_[nodes_[root_].best_node].time;
}

bool
call_kpis::call_share::operator==(const call_share &other) const
{
    return counted == other.counted && answered == other.answered && ended == other.ended &&
           effective == other.effective && start == other.start && end == other.end &&
           connected == other.connected && post_dial_delay == other.post_dial_delay;
}

void
call_kpis::totals::count(const call_share &share, bool add)
{
    if (!share.counted)
        return;
    /* Times minus one, modulo 2^64, to take a share back. */
    uint64_t sign = add ? 1 : UINT64_MAX;
    calls += sign;
    answered += share.answered ? sign : 0;
    ended += share.ended ? sign : 0;
    effective += share.effective ? sign : 0;
    if (share.connected >= 0) {
        connected_calls += sign;
        connected += sign * static_cast<uint64_t>(share.connected);
    }
    if (share.post_dial_delay >= 0) {
        delayed_calls += sign;
        post_dial_delay += sign * static_cast<uint64_t>(share.post_dial_delay);
    }
    if (share.end == still_up) {
        calls_up += sign;
        starts_of_calls_up += sign * static_cast<uint64_t>(share.start);
    } else {
        ended_traffic += sign * static_cast<uint64_t>(share.end - share.start);
    }
}

call_kpis::call_kpis(std::pmr::memory_resource *memory)
    : memory_(memory), calls_(memory), rows_of_ports_(memory), rows_(memory), all_peak_(memory)
{
}

/* The called user was reached, though the call was not answered. */
static bool
cause_reached_user(uint8_t cause)
{
    return cause == 17 || cause == 18 || cause == 19 || cause == 21;
}

call_kpis::call_share
call_kpis::share_of(const call &c)
{
    call_share share;
    /* A call that began before the capture was no seizure within it. */
    if (!c.setup_seen)
        return share;
    share.counted = true;
    call_outcome outcome = c.outcome();
    share.answered = outcome == call_outcome::answered;
    share.ended = share.answered || outcome == call_outcome::cancelled || outcome == call_outcome::rejected;
    share.effective = share.ended && (share.answered || c.alerting_time >= 0 || cause_reached_user(c.cause));
    share.start = nanoseconds(c.start);
    if (c.cleared || c.ended)
        share.end = std::max(share.start, nanoseconds(c.end_time));
    if (c.connected_duration() >= 0)
        share.connected = std::max<int64_t>(0, nanoseconds(c.clearing_time) - nanoseconds(c.connect_time));
    double reached = c.alerting_time >= 0 ? c.alerting_time : c.connected ? c.connect_time : -1;
    if (reached >= 0 && c.dialling_end >= 0)
        share.post_dial_delay = std::max<int64_t>(0, nanoseconds(reached) - nanoseconds(c.dialling_end));
    return share;
}

void
call_kpis::move_in_timeline(peak_timeline &timeline, uint32_t call_id, const call_share &from, const call_share &to)
{
    bool same_start = from.counted && to.counted && from.start == to.start;
    if (same_start && from.end == to.end)
        return;
    if (from.counted && !same_start)
        timeline.erase(from.start, call_id, false);
    if (from.counted && from.end != still_up)
        timeline.erase(from.end, call_id, true);
    if (to.counted && !same_start)
        timeline.insert(to.start, call_id, false);
    if (to.counted && to.end != still_up)
        timeline.insert(to.end, call_id, true);
}

void
call_kpis::widen_span(int64_t old_first, int64_t old_last, const port_row_state &row)
{
    if (rows_.size() == 1) {
        all_first_frame_ = row.first_frame;
        all_last_frame_ = row.last_frame;
        return;
    }
    /* Times run backwards only in a damaged capture: then look again. */
    if (row.last_frame >= all_last_frame_) {
        all_last_frame_ = row.last_frame;
    } else if (old_last == all_last_frame_) {
        all_last_frame_ = row.last_frame;
        for (const port_row_state &other : rows_)
            all_last_frame_ = std::max(all_last_frame_, other.last_frame);
    }
    if (row.first_frame <= all_first_frame_) {
        all_first_frame_ = row.first_frame;
    } else if (old_first == all_first_frame_) {
        all_first_frame_ = row.first_frame;
        for (const port_row_state &other : rows_)
            all_first_frame_ = std::min(all_first_frame_, other.first_frame);
    }
}

call_kpis::update_result
call_kpis::add(const call &c, const call_port &port)
{
    update_result result = {};
    if (c.port >= rows_of_ports_.size())
        rows_of_ports_.resize(c.port + 1, no_row);
    uint32_t &row_index = rows_of_ports_[c.port];
    int64_t first_frame = nanoseconds(port.first_frame_time);
    int64_t last_frame = nanoseconds(port.last_frame_time);
    if (row_index == no_row) {
        row_index = static_cast<uint32_t>(rows_.size());
        port_row_state &row = rows_.emplace_back(memory_);
        row.first_frame = first_frame;
        row.last_frame = last_frame;
        widen_span(first_frame, last_frame, row);
        result.new_row = true;
    }
    result.row = row_index;
    port_row_state &row = rows_[row_index];

    if (c.id >= calls_.size())
        calls_.resize(c.id + 1);
    counted_call &counted = calls_[c.id];
    call_share share = share_of(c);
    if (counted.listed && share == counted.share && row.first_frame == first_frame && row.last_frame == last_frame)
        return result;

    const call_share &before = counted.listed ? counted.share : call_share();
    all_traffic_up_ -= row.traffic_up();
    row.sums.count(before, false);
    all_sums_.count(before, false);
    row.sums.count(share, true);
    all_sums_.count(share, true);
    move_in_timeline(row.peak, c.id, before, share);
    move_in_timeline(all_peak_, c.id, before, share);

    int64_t old_first = row.first_frame, old_last = row.last_frame;
    row.first_frame = first_frame;
    row.last_frame = last_frame;
    all_traffic_up_ += row.traffic_up();
    widen_span(old_first, old_last, row);

    counted.listed = true;
    counted.share = share;
    result.changed = true;
    return result;
}

kpi_row
call_kpis::row_of(const totals &sums, const peak_timeline &peak, uint64_t traffic, std::optional<int64_t> span)
{
    kpi_row row;
    row.calls = static_cast<uint32_t>(sums.calls);
    row.answered = static_cast<uint32_t>(sums.answered);
    if (sums.ended) {
        row.asr_tenths = tenths_of_percent(sums.answered, sums.ended);
        row.ner_tenths = tenths_of_percent(sums.effective, sums.ended);
    }
    if (sums.connected_calls)
        row.acd_ms = std::llround(static_cast<double>(sums.connected) / static_cast<double>(sums.connected_calls) / 1e6);
    if (sums.delayed_calls)
        row.post_dial_delay_ms =
            std::llround(static_cast<double>(sums.post_dial_delay) / static_cast<double>(sums.delayed_calls) / 1e6);
    row.peak_calls = peak.peak();
    if (row.peak_calls)
        row.peak_time_ms = milliseconds(peak.peak_time());
    /* A call still up whose start the port's last frame has not reached
     * yet (times running backwards) must not make the sum negative. */
    int64_t call_time = std::max<int64_t>(0, static_cast<int64_t>(traffic));
    if (span && *span > 0)
        row.erlangs_thousandths = std::llround(1000.0 * static_cast<double>(call_time) / static_cast<double>(*span));
    return row;
}

kpi_row
call_kpis::port_row(size_t index) const
{
    const port_row_state &row = rows_[index];
    return row_of(row.sums, row.peak, row.sums.ended_traffic + row.traffic_up(), row.last_frame - row.first_frame);
}

kpi_row
call_kpis::all_ports() const
{
    std::optional<int64_t> span;
    if (!rows_.empty())
        span = all_last_frame_ - all_first_frame_;
    return row_of(all_sums_, all_peak_, all_sums_.ended_traffic + all_traffic_up_, span);
}

} // namespace morvastelle
