/* plugin.cpp
 * The symbols the host's plugin loader looks up. Each definition carries
 * extern "C" itself: a namespace-scope const would otherwise get internal
 * linkage in C++ and the loader would not find it.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <epan/proto.h>
#include <epan/tap.h>
#include <ws_symbol_export.h>
#include <ws_version.h>

#include "host-version.h"
#include "packet-morvastelle.h"
#include "packet-morvastelle-analysis.h"
#include "packet-morvastelle-call.h"
#include "packet-morvastelle-link.h"
#include "stats-morvastelle.h"

#if MORVASTELLE_HOST_AT_LEAST(4, 2)
#include <wsutil/plugins.h>
#define MORVASTELLE_HOST_WANTS_DESCRIBE 1
#endif

#ifndef MORVASTELLE_VERSION
#error "MORVASTELLE_VERSION must be defined by the build"
#endif

extern "C" WS_DLL_PUBLIC_DEF const char plugin_version[] = MORVASTELLE_VERSION;
extern "C" WS_DLL_PUBLIC_DEF const int plugin_want_major = WIRESHARK_VERSION_MAJOR;
extern "C" WS_DLL_PUBLIC_DEF const int plugin_want_minor = WIRESHARK_VERSION_MINOR;

static void
register_statistics(void)
{
    register_morvastelle_stats_tree();
    register_morvastelle_calls_table();
    register_morvastelle_outcomes_tree();
    register_morvastelle_kpi_table();
    register_morvastelle_anomalies_tree();
}

extern "C" WS_DLL_PUBLIC_DEF void
plugin_register(void)
{
    static proto_plugin plugin_morvastelle;

    plugin_morvastelle.register_protoinfo = proto_register_morvastelle;
    plugin_morvastelle.register_handoff = proto_reg_handoff_morvastelle;
    proto_register_plugin(&plugin_morvastelle);

    static proto_plugin plugin_morvastelle_analysis;

    plugin_morvastelle_analysis.register_protoinfo = proto_register_morvastelle_analysis;
    plugin_morvastelle_analysis.register_handoff = proto_reg_handoff_morvastelle_analysis;
    proto_register_plugin(&plugin_morvastelle_analysis);

    /* Nothing to hand off: the analysis's post-dissector shows both. */
    static proto_plugin plugin_morvastelle_call;

    plugin_morvastelle_call.register_protoinfo = proto_register_morvastelle_call;
    plugin_morvastelle_call.register_handoff = NULL;
    proto_register_plugin(&plugin_morvastelle_call);

    static proto_plugin plugin_morvastelle_link;

    plugin_morvastelle_link.register_protoinfo = proto_register_morvastelle_link;
    plugin_morvastelle_link.register_handoff = NULL;
    proto_register_plugin(&plugin_morvastelle_link);

    static tap_plugin stats_morvastelle;

    stats_morvastelle.register_tap_listener = register_statistics;
    tap_register_plugin(&stats_morvastelle);
}

#ifdef MORVASTELLE_HOST_WANTS_DESCRIBE
extern "C" WS_DLL_PUBLIC_DEF uint32_t
plugin_describe(void)
{
    return WS_PLUGIN_DESC_DISSECTOR | WS_PLUGIN_DESC_TAP_LISTENER;
}
#endif
