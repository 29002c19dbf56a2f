/* call-feed.h
 * Feeds a call tracker from the host's taps: each Q.931 message that the
 * "q931" tap reports is paired with the "morvastelle" record of the same
 * frame, which tells its ISDN port, sending side, TEI, send sequence number
 * and call reference.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_CALL_FEED_H
#define MORVASTELLE_CALL_FEED_H

#include <epan/packet.h>
#include <epan/tap.h>
#include <epan/dissectors/packet-q931.h>

#include "call-tracker.h"
#include "packet-morvastelle.h"

class call_feed {
public:
    /* Called when the host starts its pass over the packets again, after
     * the tracker has been emptied. */
    typedef void (*reset_cb)(void *owner);

    /* Not stopped by its destructor: a static one would call into the host
     * after it has shut down. */
    call_feed(reset_cb on_reset, void *owner) : on_reset_(on_reset), owner_(owner) {}
    call_feed(const call_feed &) = delete;
    call_feed &operator=(const call_feed &) = delete;

    /* Listens on the "morvastelle" tap until stop(); a host error message
     * otherwise (the caller frees it). */
    GString *start();
    void stop();
    void reset();

    /* From a listener on the "q931" tap. */
    morvastelle::call_change add(const packet_info *pinfo, const q931_packet_info *message);

    const morvastelle::call_tracker &tracker() const { return tracker_; }

private:
    static void reset_listener(void *tapdata);
    static void finish_listener(void *tapdata);
    static tap_packet_status frame_listener(void *tapdata, packet_info *pinfo, epan_dissect_t *edt,
                                            const void *data, tap_flags_t flags);

    morvastelle::call_tracker tracker_;
    reset_cb on_reset_;
    void *owner_;
    bool listening_ = false;
    /* The record of the frame whose Q.931 message comes next. */
    bool frame_pending_ = false;
    guint32 frame_number_ = 0;
    morvastelle_tap_info frame_ = {};
};

/* "17 User busy": a cause value with the host's own label for it. */
const char *call_cause_text(guint8 cause);

#endif /* MORVASTELLE_CALL_FEED_H */
