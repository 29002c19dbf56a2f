/* morvastelle_fuzzer.cpp
 * libFuzzer target: every input is one MORVASTELLE PDU, handed by name to
 * the plugin inside the real host library, so LAPD and Q.931 below it run
 * on the same bytes.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <epan/tap.h>

#include "host_session.h"
#include "packet-morvastelle.h"

/* Reads every octet of the tap record, so the sanitizers see the plugin's
 * pointer into the packet's port name. */
static volatile size_t tap_record_sum;

static tap_packet_status
read_tap_record(void *, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    const morvastelle_tap_info *info = static_cast<const morvastelle_tap_info *>(data);
    tap_record_sum = info->type + info->header_whole + info->pdu_length + info->lapd_control +
           (info->isdn_port ? strlen(info->isdn_port) : 0);
    return TAP_PACKET_DONT_REDRAW;
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    host_start();
    static int listener;
    GString *error = register_tap_listener("morvastelle", &listener, NULL, TL_REQUIRES_NOTHING,
                                           NULL, read_tap_record, NULL, NULL);
    if (error) {
        fprintf(stderr, "morvastelle tap: %s\n", error->str);
        abort();
    }
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* The host catches its exceptions (a longjmp) inside the dissection
     * itself, so none unwinds this frame and its objects are safe here. */
    const std::vector<guint8> record = exported_pdu_record("morvastelle", data, size);

    /* Both ways on every input rather than alternating between inputs, so a
     * report reproduces from the one input that caused it. Walking the tree
     * formats every label, the port name's escaping included. */
    {
        host_dissection::options with_tree_and_taps;
        with_tree_and_taps.taps = true;
        host_dissection with_tree(record, with_tree_and_taps);
        shown_fields(with_tree.tree());
    }
    {
        host_dissection::options no_tree;
        no_tree.tree = false;
        no_tree.taps = true;
        host_dissection without_tree(record, no_tree);
    }
    return 0;
}
