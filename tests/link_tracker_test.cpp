/* link_tracker_test.cpp
 * The link tracker on its own: LAPD frames in, findings out. C/R: a user
 * command carries 0, a network command 1, responses the opposite.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "link-tracker.h"

namespace {

using namespace morvastelle;

const bool user = false;
const bool network = true;

class LinkTracker : public ::testing::Test {
protected:
    link_result send(unsigned control, int control2, bool cr, std::vector<uint8_t> information = {},
                     uint8_t tei = 64, uint32_t port = 0, uint8_t sapi = 0)
    {
        uint8_t octet = static_cast<uint8_t>(control);
        return tracker_.add({++frame_, port, sapi, tei, cr, octet, control2, information.data(), information.size()});
    }
    /* Its content told apart by `octet`. */
    uint16_t i(bool from, unsigned ns, unsigned nr, uint8_t octet = 0, uint8_t tei = 64)
    {
        return send(ns << 1, nr << 1, from, {8, 1, octet, 0x7d}, tei).findings;
    }
    uint16_t s(unsigned kind, bool cr, unsigned nr, bool pf = false) { return send(kind, nr << 1 | pf, cr).findings; }
    link_result u(unsigned function, bool cr) { return send(function, -1, cr); }
    uint16_t tei_message(uint8_t type, uint8_t ai)
    {
        return send(0x03, -1, network, {0x0f, 0, 0, type, static_cast<uint8_t>(ai << 1 | 1)}, 127, 0, 63).findings;
    }
    void set_up() { u(0x7f, user), u(0x73, user); }
    /* Braces send frames in their order, as the operands of | need not. */
    static uint16_t in_order(std::initializer_list<uint16_t> each)
    {
        return std::accumulate(each.begin(), each.end(), 0, [](int all, int one) { return all | one; });
    }

    link_tracker tracker_;
    uint32_t frame_ = 0;
};

TEST_F(LinkTracker, CaptureStartingMidLinkFindsNothing)
{
    /* T203 both ways, then traffic; an I-frame whose N(R) was not captured; other links. */
    EXPECT_EQ(in_order({s(0x01, user, 46, true), s(0x01, user, 46, true), s(0x01, network, 46, true),
                        s(0x01, network, 46, true), i(network, 46, 46), s(0x01, network, 47), i(user, 46, 47),
                        i(user, 47, 47), s(0x01, user, 48), i(user, 48, 47), i(network, 47, 49), s(0x01, network, 48),
                        send(0x00, -1, user).findings, i(network, 90, 3, 0, 65), i(user, 3, 91, 0, 65),
                        send(0x01, 0, user, {}, 66).findings}), 0);
    /* A UA whose SABME the capture missed: the numbers are learnt again. */
    EXPECT_EQ(in_order({u(0x73, user).findings, i(user, 20, 33), i(network, 33, 21)}), 0);
    /* Up before the capture: its first SABME restarts it. */
    EXPECT_TRUE(send(0x7f, -1, user, {}, 66).link_restarted);
}

TEST_F(LinkTracker, LostFramesCountedOnceThroughNumberOrAcknowledgement)
{
    set_up();
    EXPECT_EQ(send(0x02, 0, user).lost_frames, 1);  /* N(S) 0 lost */
    EXPECT_EQ(s(0x01, user, 2), 0);
    /* N(S) 2 and 3 missing, seen from the network's N(R) 4 ... */
    EXPECT_EQ(send(0x01, 4 << 1, user).lost_frames, 2);
    EXPECT_EQ(i(user, 4, 0), 0);  /* ... and not again from N(S) 4. */
    EXPECT_EQ(s(0x01, user, 3), 0);  /* stale, reordered */
    /* The network's N(S) 0 and the user's N(S) 5 on one frame. */
    EXPECT_EQ(send(0x02, 6 << 1, network).lost_frames, 2);
    /* N(S) 6 lost: an RR's C/R is trusted, though N(R) 7 would fit the network's N(S) too. */
    for (unsigned ns = 2; ns < 8; ns++)
        EXPECT_EQ(i(network, ns, 6), 0);
    EXPECT_EQ(s(0x01, user, 7), link_lost);
}

TEST_F(LinkTracker, RetransmissionsAndReordering)
{
    for (unsigned ns = 0; ns < 4; ns++)
        EXPECT_EQ(i(user, ns, 0, static_cast<uint8_t>(ns)), 0);
    EXPECT_EQ(s(0x09, user, 1), link_reject);
    /* After REJ: N(S) 1 to 3 again, with other N(R) and P bits. */
    for (unsigned ns = 1; ns < 4; ns++) {
        link_result again = send(ns << 1, 1, user, {8, 1, static_cast<uint8_t>(ns), 0x7d});
        EXPECT_EQ(again.findings, link_retransmission);
        EXPECT_EQ(again.retransmission_of, ns + 1);
        EXPECT_EQ(again.sequence, frame_sequence::repeat);
    }
    /* N(S) 5 before 4: 4 lost, then late; other content under its number is no repeat. */
    link_result gap = send(5 << 1, 0, user, {8, 1, 5, 0x7d});
    EXPECT_EQ(gap.findings, link_lost);
    EXPECT_EQ(gap.sequence, frame_sequence::after_gap);
    link_result late = send(4 << 1, 0, user, {8, 1, 4, 0x7d});
    EXPECT_EQ(late.findings, link_out_of_order);
    EXPECT_EQ(late.sequence, frame_sequence::late);
    EXPECT_EQ(i(user, 4, 0, 9), link_out_of_order);
    EXPECT_EQ(i(user, 4, 0, 9), link_retransmission);
    EXPECT_EQ(i(user, 6, 0, 6), 0);
    /* Over half the sequence space unacknowledged; a slot with that content 64 numbers on. */
    for (unsigned ns = 7; ns < 76; ns++)
        EXPECT_EQ(i(user, ns, 0, 0x55), 0);
    EXPECT_EQ(i(user, 2, 0, 0x55), link_out_of_order);
    EXPECT_EQ(s(0x01, user, 127), 0);  /* stale, not 51 lost */
}

TEST_F(LinkTracker, PollsAnsweredOrTimedOut)
{
    set_up();
    /* T203, answered. */
    EXPECT_EQ(in_order({s(0x01, network, 0, true), s(0x01, network, 0, true), i(user, 0, 0), i(network, 0, 0)}), 0);
    /* T200: the network's poll, then the user's final with the same C/R. */
    EXPECT_EQ(s(0x01, network, 0, true), link_timer_recovery);
    EXPECT_EQ(s(0x01, network, 0, true), 0);
    EXPECT_EQ(s(0x05, user, 1, true), link_timer_recovery | link_busy);
    EXPECT_EQ(s(0x01, user, 1, true), 0);
    /* A final whose poll was missed: only a network final fits its N(R). */
    EXPECT_EQ(in_order({i(user, 1, 1), s(0x01, user, 2, true), i(user, 2, 1)}), 0);
    EXPECT_EQ(s(0x01, user, 1, true), link_timer_recovery);
    EXPECT_EQ(u(0x97, user).findings, link_frame_reject);
}

TEST_F(LinkTracker, RestartsOnlyOfEstablishedLinks)
{
    EXPECT_FALSE(u(0x7f, user).link_restarted);
    EXPECT_FALSE(u(0x7f, user).link_restarted);  /* repeated before its UA */
    u(0x73, user);
    EXPECT_TRUE(u(0x7f, network).link_restarted);
    EXPECT_FALSE(u(0x1f, network).link_restarted);  /* DM refusing the set-up */
    EXPECT_FALSE(u(0x53, user).link_restarted);     /* DISC on a link down */
    u(0x73, user), u(0x73, network);                /* its UA: down; one answering nothing seen: up */
    EXPECT_TRUE(u(0x53, user).link_restarted);
    i(network, 7, 0), u(0x73, user);                /* an I-frame crossing the DISC, its UA */
    EXPECT_FALSE(u(0x7f, user).link_restarted);
    EXPECT_FALSE(u(0x7f, network).link_restarted);  /* both at once, each answered */
    u(0x73, network), u(0x73, user);
    EXPECT_EQ(i(user, 1, 0), link_lost);
    u(0x53, user), u(0x73, user);
    EXPECT_EQ(i(network, 9, 0), 0);                 /* I-frames: up again */
    EXPECT_TRUE(u(0x1f, user).link_restarted);
}

TEST_F(LinkTracker, SetUpThatNoPeerAnswers)
{
    /* By N200 = 3 the fourth SABME with none answered is the link's last try. */
    EXPECT_EQ(in_order({u(0x7f, user).findings, u(0x7f, user).findings, u(0x7f, user).findings}), 0);
    EXPECT_EQ(u(0x7f, user).findings, link_establishment_failed);
    /* Its twins: one sent again for a lost UA; one whose UA the capture
     * lacks, I-frames following; one refused, then accepted. */
    EXPECT_EQ(in_order({u(0x7f, user).findings, u(0x7f, user).findings, u(0x73, user).findings,
                        u(0x7f, user).findings, u(0x7f, user).findings, u(0x7f, user).findings, i(user, 0, 0),
                        u(0x7f, user).findings,
                        u(0x7f, network).findings, u(0x1f, network).findings, u(0x7f, network).findings,
                        u(0x7f, network).findings, u(0x73, network).findings}), 0);
}

TEST_F(LinkTracker, TeiManagement)
{
    for (unsigned tei = 0; tei < 3000; tei++)  /* tei wraps: every TEI of a few ports */
        send(0x00, 0, user, {}, static_cast<uint8_t>(tei % 127), tei / 127 + 1);
    set_up(), i(user, 0, 0), i(user, 0, 0, 0, 65);
    EXPECT_EQ(in_order({tei_message(4, 64), tei_message(1, 127)}), 0);  /* check request, request */
    EXPECT_EQ(tei_message(3, 127), link_tei_denied);
    EXPECT_EQ(send(0x03, -1, network, {0x0f, 0x12, 0x34, 6}, 127, 0, 63).findings, 0);  /* no Ai */
    EXPECT_EQ(tei_message(6, 64), link_tei_removed);
    EXPECT_EQ(i(user, 9, 0), 0);  /* TEI 64 anew, 65 untouched */
    EXPECT_EQ(i(user, 9, 0, 0, 65), link_lost);
    EXPECT_EQ(send(0x03, -1, network, {0x0f, 0, 0, 6, 127 << 1 | 1}, 127, 0, 63).removed_tei, 127);
    EXPECT_EQ(i(user, 40, 0, 0, 65), 0);
    EXPECT_EQ(send(0x01, 3 << 1, user, {}, 0, 1).findings, link_lost);  /* another port's, N(S) 1 and 2 */
    EXPECT_EQ(tracker_.links(), 3002u);
}

} // namespace
