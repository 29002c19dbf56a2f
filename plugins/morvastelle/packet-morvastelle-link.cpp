/* packet-morvastelle-link.cpp
 * MORVASTELLE Link: the data link analysis's protocol, fields and expert
 * infos, a view of the records of the file's analysis. Its item follows
 * the other protocols on the frames where the link tracker found
 * something, and on no other.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "packet-morvastelle-link.h"

#include "expert-findings.h"
#include "link-tracker.h"

static int proto_morvastelle_link = -1;

static int hf_morvastelle_link_lost_frames = -1;
static int hf_morvastelle_link_retransmission_of = -1;
static int hf_morvastelle_link_calls_up = -1;

static gint ett_morvastelle_link = -1;

/* By finding, in the order of the link_* bits. */
static expert_field ei_morvastelle_link[11] = {
    EI_INIT, EI_INIT, EI_INIT, EI_INIT, EI_INIT, EI_INIT, EI_INIT, EI_INIT, EI_INIT, EI_INIT, EI_INIT,
};

static ei_register_info link_experts[] = {
    { &ei_morvastelle_link[0],
      { "morvastelle_link.lost", PI_SEQUENCE, PI_WARN,
        "I-frames of the data link are missing from the capture", EXPFILL }
    },
    { &ei_morvastelle_link[1],
      { "morvastelle_link.retransmission", PI_SEQUENCE, PI_NOTE,
        "I-frame sent again", EXPFILL }
    },
    { &ei_morvastelle_link[2],
      { "morvastelle_link.out_of_order", PI_SEQUENCE, PI_WARN,
        "I-frame out of order: its N(S) was passed, and it repeats no earlier frame", EXPFILL }
    },
    { &ei_morvastelle_link[3],
      { "morvastelle_link.timer_recovery", PI_SEQUENCE, PI_NOTE,
        "Poll while I-frames are unacknowledged (T200 expired)", EXPFILL }
    },
    { &ei_morvastelle_link[4],
      { "morvastelle_link.busy", PI_SEQUENCE, PI_NOTE,
        "Receiver not ready (RNR)", EXPFILL }
    },
    { &ei_morvastelle_link[5],
      { "morvastelle_link.reject", PI_SEQUENCE, PI_NOTE,
        "Reject (REJ): I-frames asked for again", EXPFILL }
    },
    { &ei_morvastelle_link[6],
      { "morvastelle_link.reset", PI_SEQUENCE, PI_WARN,
        "Data link set up again or taken down with calls up", EXPFILL }
    },
    { &ei_morvastelle_link[7],
      { "morvastelle_link.frame_reject", PI_PROTOCOL, PI_WARN,
        "Frame reject (FRMR)", EXPFILL }
    },
    { &ei_morvastelle_link[8],
      { "morvastelle_link.tei_removed", PI_RESPONSE_CODE, PI_WARN,
        "TEI removed by the network", EXPFILL }
    },
    { &ei_morvastelle_link[9],
      { "morvastelle_link.tei_denied", PI_RESPONSE_CODE, PI_WARN,
        "TEI assignment denied by the network", EXPFILL }
    },
    { &ei_morvastelle_link[10],
      { "morvastelle_link.establishment_failed", PI_SEQUENCE, PI_WARN,
        "Data link establishment failed: a fourth SABME with none answered (N200)", EXPFILL }
    },
};

static_assert(array_length(ei_morvastelle_link) == array_length(link_experts), "an expert info per finding");

static const char link_protocol_name[] = "MORVASTELLE Link";

gboolean
morvastelle_link_enabled(void)
{
    return proto_is_protocol_enabled(find_protocol_by_id(proto_morvastelle_link));
}

const char *
morvastelle_link_finding_name(guint16 finding)
{
    return finding_name(link_experts, array_length(link_experts), finding);
}

void
morvastelle_link_show(proto_tree *tree, tvbuff_t *tvb, packet_info *pinfo, guint16 findings,
                      const morvastelle::frame_numbers *numbers)
{
    proto_item *ti = NULL;
    if (tree) {
        ti = proto_tree_add_item(tree, proto_morvastelle_link, tvb, 0, 0, ENC_NA);
        proto_item_set_generated(ti);
        proto_tree *link_tree = proto_item_add_subtree(ti, ett_morvastelle_link);
        if (numbers && (findings & morvastelle::link_lost))
            proto_item_set_generated(
                proto_tree_add_uint(link_tree, hf_morvastelle_link_lost_frames, tvb, 0, 0, numbers->lost_frames));
        if (numbers && (findings & morvastelle::link_retransmission))
            proto_item_set_generated(proto_tree_add_uint(link_tree, hf_morvastelle_link_retransmission_of, tvb, 0,
                                                         0, numbers->retransmission_of));
        if (numbers && (findings & morvastelle::link_reset))
            proto_item_set_generated(
                proto_tree_add_uint(link_tree, hf_morvastelle_link_calls_up, tvb, 0, 0, numbers->calls_up));
    }
    raise_findings(pinfo, ti, link_protocol_name, link_experts, array_length(link_experts), findings);
}

void
proto_register_morvastelle_link(void)
{
    static hf_register_info hf[] = {
        { &hf_morvastelle_link_lost_frames,
          { "Lost frames", "morvastelle_link.lost_frames",
            FT_UINT32, BASE_DEC, NULL, 0,
            "I-frames of the data link missing from the capture, first shown by this frame", HFILL }
        },
        { &hf_morvastelle_link_retransmission_of,
          { "Retransmission of", "morvastelle_link.retransmission_of",
            FT_FRAMENUM, BASE_NONE, FRAMENUM_TYPE(FT_FRAMENUM_RETRANS_PREV), 0,
            "The I-frame this one sends again", HFILL }
        },
        { &hf_morvastelle_link_calls_up,
          { "Calls up", "morvastelle_link.calls_up",
            FT_UINT32, BASE_DEC, NULL, 0,
            "Calls on the data link (SETUP seen, not yet ended) when it was set up again or taken down", HFILL }
        },
    };

    static gint *ett[] = {
        &ett_morvastelle_link,
    };

    proto_morvastelle_link = proto_register_protocol(link_protocol_name, link_protocol_name, "morvastelle_link");
    proto_register_field_array(proto_morvastelle_link, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));
    expert_module_t *expert = expert_register_protocol(proto_morvastelle_link);
    expert_register_field_array(expert, link_experts, array_length(link_experts));
}
