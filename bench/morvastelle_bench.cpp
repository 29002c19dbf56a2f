/* morvastelle_bench.cpp
 * What the plugin adds to the host's own work per packet: the same LAPD
 * frames dissected once tunnelled in MORVASTELLE PDUs (through the
 * "morvastelle" dissector) and once bare (through "lapd"), both reached by
 * name from Exported PDU records, without a tree and with the tree that
 * `tshark -T fields -e morvastelle.isdn_port -e q931.message_type` builds.
 *
 * Without arguments of its own it is a Google Benchmark program and prints
 * the overhead (a - b) / b from the times measured. With
 * `--count CASE PASSES` it dissects the mix PASSES times inside
 * count_dissections() and nothing else, for callgrind to count instructions
 * in (see run-callgrind.sh).
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <epan/proto.h>

#include "host_session.h"

namespace {

typedef std::vector<guint8> bytes;

/* Long enough for the longest port name of the mix. */
const char port_name_source[] = "bri-0/slot-03/port-17/s0-trunk-a";
const size_t max_port_name_length = sizeof port_name_source - 1;

/* Frames times port name lengths: every length 0..32 turns up. */
const size_t mix_size = 48;

struct packet_mix {
    std::vector<bytes> tunnelled;   /* Exported PDU records for "morvastelle" */
    std::vector<bytes> bare;        /* the same frames for "lapd" */
};

std::vector<bytes>
read_frames(const char *path)
{
    std::ifstream in(path);
    std::vector<bytes> frames;
    std::string line;
    while (std::getline(in, line)) {
        std::string hex = line.substr(0, line.find('#'));
        bytes frame;
        std::string digits;
        for (char c : hex) {
            if (c == ' ')
                continue;
            digits += c;
            if (digits.size() == 2) {
                frame.push_back(static_cast<guint8>(std::stoi(digits, nullptr, 16)));
                digits.clear();
            }
        }
        if (!frame.empty())
            frames.push_back(frame);
    }
    if (frames.empty()) {
        fprintf(stderr, "no frames in %s\n", path);
        exit(2);
    }
    return frames;
}

packet_mix
build_mix(const std::vector<bytes> &frames)
{
    packet_mix mix;
    for (size_t i = 0; i < mix_size; ++i) {
        const bytes &frame = frames[i % frames.size()];
        size_t port_name_length = (i * 7) % (max_port_name_length + 1);

        bytes pdu;
        pdu.push_back(0);
        pdu.push_back(static_cast<guint8>(port_name_length));
        pdu.insert(pdu.end(), port_name_source, port_name_source + port_name_length);
        pdu.insert(pdu.end(), frame.begin(), frame.end());

        mix.tunnelled.push_back(exported_pdu_record("morvastelle", pdu.data(), pdu.size()));
        mix.bare.push_back(exported_pdu_record("lapd", frame.data(), frame.size()));
    }
    return mix;
}

packet_mix &
the_mix()
{
    static packet_mix mix = build_mix(read_frames(MORVASTELLE_BENCH_FRAMES));
    return mix;
}

host_dissection::options
case_options(bool tree)
{
    host_dissection::options opts;
    opts.tree = tree;
    opts.visible = false;
    if (tree) {
        /* What tshark -T fields does: resolved once, primed per packet,
         * no columns. */
        opts.primed_field_ids = {
            proto_registrar_get_id_byname("morvastelle.isdn_port"),
            proto_registrar_get_id_byname("q931.message_type"),
        };
        opts.columns = false;
    }
    return opts;
}

bool
has_field(const std::vector<shown_field> &fields, const char *abbrev)
{
    for (const shown_field &field : fields)
        if (field.abbrev == abbrev)
            return true;
    return false;
}

/* Figures of a mix that fails to decode would mean nothing: every PDU must
 * yield its port name and the same Q.931 as its bare frame, none malformed. */
bool
mix_decodes(const packet_mix &mix)
{
    host_dissection::options opts = case_options(true);
    opts.primed_field_ids.push_back(proto_registrar_get_id_byname("_ws.malformed"));
    for (size_t i = 0; i < mix.tunnelled.size(); ++i) {
        host_dissection tunnelled(mix.tunnelled[i], opts);
        host_dissection bare(mix.bare[i], opts);
        std::vector<shown_field> tunnelled_fields = shown_fields(tunnelled.tree());
        std::vector<shown_field> bare_fields = shown_fields(bare.tree());
        if (!has_field(tunnelled_fields, "morvastelle.isdn_port")
            || has_field(tunnelled_fields, "q931.message_type") != has_field(bare_fields, "q931.message_type")
            || has_field(tunnelled_fields, "_ws.malformed") || has_field(bare_fields, "_ws.malformed")) {
            fprintf(stderr, "packet %zu of the mix does not decode as intended\n", i);
            return false;
        }
    }
    return true;
}

void
dissect_all(const std::vector<bytes> &records, const host_dissection::options &opts)
{
    for (const bytes &record : records) {
        host_dissection dissection(record.data(), record.size(), opts);
        proto_tree *tree = dissection.tree();
        benchmark::DoNotOptimize(tree);
    }
}

void
bm_dissect(benchmark::State &state, bool tunnelled, bool tree)
{
    const packet_mix &mix = the_mix();
    const std::vector<bytes> &records = tunnelled ? mix.tunnelled : mix.bare;
    host_dissection::options opts = case_options(tree);
    for (auto _ : state)
        dissect_all(records, opts);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records.size()));
}

BENCHMARK_CAPTURE(bm_dissect, morvastelle/no_tree, true, false);
BENCHMARK_CAPTURE(bm_dissect, lapd/no_tree, false, false);
BENCHMARK_CAPTURE(bm_dissect, morvastelle/fields_tree, true, true);
BENCHMARK_CAPTURE(bm_dissect, lapd/fields_tree, false, true);

/* Remembers each case's CPU time per iteration, the median when repeated,
 * so the ratio can be printed. */
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration || median)
                times_[run.run_name.str()] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void print_overheads()
    {
        print_overhead("no_tree");
        print_overhead("fields_tree");
    }

private:
    void print_overhead(const std::string &tree)
    {
        auto tunnelled = times_.find("bm_dissect/morvastelle/" + tree);
        auto bare = times_.find("bm_dissect/lapd/" + tree);
        if (tunnelled == times_.end() || bare == times_.end())
            return;
        printf("overhead %-11s (a-b)/b = %+.1f%% of CPU time\n", tree.c_str(),
               100.0 * (tunnelled->second - bare->second) / bare->second);
    }

    std::map<std::string, double> times_;
};

} // namespace

/* callgrind counts only inside this (--toggle-collect=count_dissections*). */
__attribute__((noinline)) void
count_dissections(const std::vector<bytes> &records, const host_dissection::options &opts, long passes)
{
    for (long i = 0; i < passes; ++i)
        dissect_all(records, opts);
}

static int
count_mode(const char *which, long passes)
{
    bool tunnelled = strncmp(which, "morvastelle", 11) == 0;
    bool tree = strstr(which, "fields_tree") != NULL;
    if (!tunnelled && strncmp(which, "lapd", 4) != 0) {
        fprintf(stderr, "unknown case %s\n", which);
        return 2;
    }
    const packet_mix &mix = the_mix();
    const std::vector<bytes> &records = tunnelled ? mix.tunnelled : mix.bare;
    host_dissection::options opts = case_options(tree);

    /* The host resolves some things on first use; keep that out. */
    dissect_all(records, opts);

    count_dissections(records, opts, passes);
    printf("%s: %zu packets\n", which, static_cast<size_t>(passes) * records.size());
    return 0;
}

int
main(int argc, char **argv)
{
    host_start();
    if (!mix_decodes(the_mix()))
        return 1;

    if (argc == 4 && strcmp(argv[1], "--count") == 0)
        return count_mode(argv[2], strtol(argv[3], NULL, 10));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_overheads();
    benchmark::Shutdown();
    return 0;
}
