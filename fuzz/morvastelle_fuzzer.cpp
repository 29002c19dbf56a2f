/* morvastelle_fuzzer.cpp
 * libFuzzer target: every input is one MORVASTELLE PDU, handed by name to
 * the plugin inside the real host library, so LAPD and Q.931 below it run
 * on the same bytes.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <cstddef>
#include <cstdint>

#include "host_session.h"

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    host_start();
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
        host_dissection with_tree(record);
        shown_fields(with_tree.tree());
    }
    {
        host_dissection::options no_tree;
        no_tree.tree = false;
        host_dissection without_tree(record, no_tree);
    }
    return 0;
}
