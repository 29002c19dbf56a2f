/* call-feed.cpp
 * Tap listeners run after dissection, outside the host's exception frames,
 * so C++ objects are safe in them.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "call-feed.h"

#include <string>

#include <epan/proto.h>
#include <epan/tap.h>

GString *
call_feed::start()
{
    if (listening_)
        return NULL;
    GString *error = register_tap_listener("morvastelle", this, NULL, TL_REQUIRES_NOTHING,
                                           reset_listener, frame_listener, NULL, finish_listener);
    listening_ = error == NULL;
    return error;
}

void
call_feed::stop()
{
    if (listening_)
        remove_tap_listener(this);
    listening_ = false;
}

void
call_feed::reset()
{
    tracker_.clear();
    frame_pending_ = false;
    if (on_reset_)
        on_reset_(owner_);
}

/*
 * The host removes every listener when it shuts down (newer hosts do), and
 * a stats tree's cleanup runs while it does: removing this one again then
 * would walk the host's freed list.
 */
void
call_feed::finish_listener(void *tapdata)
{
    static_cast<call_feed *>(tapdata)->listening_ = false;
}

void
call_feed::reset_listener(void *tapdata)
{
    static_cast<call_feed *>(tapdata)->reset();
}

/* The host pushes a frame's tap records in the order they were queued, and
 * the plugin queues its own before it hands the frame to LAPD. */
tap_packet_status
call_feed::frame_listener(void *tapdata, packet_info *pinfo, epan_dissect_t *, const void *data, tap_flags_t)
{
    call_feed *feed = static_cast<call_feed *>(tapdata);
    const morvastelle_tap_info *info = static_cast<const morvastelle_tap_info *>(data);

    feed->frame_pending_ = info->type == MORVASTELLE_TYPE_LAPD && info->header_whole && info->isdn_port;
    if (!feed->frame_pending_)
        return TAP_PACKET_DONT_REDRAW;
    feed->frame_number_ = pinfo->num;
    feed->frame_ = *info;

    /* Numbering starts again whenever the data link is set up or ended. */
    if (info->lapd_control >= 0 && (info->lapd_control & 0x03) == 0x03) {
        int function = info->lapd_control & ~LAPD_PF_BIT;
        if (function == LAPD_SABME || function == LAPD_DISC || function == LAPD_DM)
            feed->tracker_.link_reset(info->isdn_port, info->lapd_tei);
    }
    return TAP_PACKET_DONT_REDRAW;
}

morvastelle::call_change
call_feed::add(const packet_info *pinfo, const q931_packet_info *message)
{
    /* Q.931 from anywhere else (native LAPD, H.225) is not ours. */
    if (!frame_pending_ || frame_number_ != pinfo->num || frame_.call_ref_length < 0)
        return morvastelle::call_change();
    frame_pending_ = false;

    morvastelle::call_message m;
    m.port = frame_.isdn_port;
    m.time = nstime_to_sec(&pinfo->rel_ts);
    /* I- and UI-frames are commands: C/R is set by the network. */
    m.from_network = frame_.lapd_cr;
    m.tei = frame_.lapd_tei;
    m.numbered = (frame_.lapd_control & 0x01) == 0;
    m.send_sequence = (guint)frame_.lapd_control >> 1;
    m.call_ref_length = (unsigned)frame_.call_ref_length;
    m.call_ref = frame_.call_ref;
    m.call_ref_flag = frame_.call_ref_flag;
    m.message_type = message->message_type;
    m.calling_number = message->calling_number;
    m.called_number = message->called_number;
    m.cause = message->cause_value;
    return tracker_.add(m);
}

/* Through the registered field: newer hosts no longer export the table. */
static const char *
cause_label(guint8 cause)
{
    header_field_info *hfinfo = proto_registrar_get_byname("q931.cause_value");
    if (!hfinfo || !hfinfo->strings)
        return NULL;
    if (hfinfo->display & BASE_EXT_STRING)
        return try_val_to_str_ext(cause, (value_string_ext *)hfinfo->strings);
    return try_val_to_str(cause, (const value_string *)hfinfo->strings);
}

const char *
call_cause_text(guint8 cause)
{
    static std::string texts[256];
    std::string &text = texts[cause];
    if (text.empty()) {
        const char *label = cause_label(cause);
        text = std::to_string(cause);
        if (label)
            text += std::string(" ") + label;
    }
    return text.c_str();
}
