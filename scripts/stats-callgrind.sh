#!/usr/bin/env bash
# Instructions per packet the plugin's dissector executes in a
# `tshark -T fields` pass, counted by callgrind, without and with a listener
# on the "morvastelle" tap (the stats tree), plus what the stats tree's own
# callback costs. "Dissector" is dissect_morvastelle with every host call it
# makes, less the tunnelled frame's dissection (call_dissector).
#
# Usage: scripts/stats-callgrind.sh BUILD_DIR [REPEATS]
#
# SPDX-License-Identifier: GPL-2.0-or-later
set -euo pipefail

build=${1:?build folder}
repeats=${2:-100}
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 2; }
plugin=$build/plugins/morvastelle/morvastelle.so
[ -f "$plugin" ] || { echo "no $plugin: build the project first" >&2; exit 2; }
samples=$(cd "$(dirname "$0")/../samples" && pwd)

. "$(dirname "$0")/../tests/e2e/lib.sh" "$plugin"

# The sample's PDUs over and over: every kind, every path through the header.
for _ in $(seq "$repeats"); do cat "$samples/sample.txt"; done >"$E2E_WORK/mix.txt"
host text2pcap -q -4 192.0.2.1,192.0.2.2 -u 1234,4 "$E2E_WORK/mix.txt" "$E2E_WORK/mix.pcap"
packets=$(host tshark -r "$E2E_WORK/mix.pcap" | wc -l)

# count NAME TSHARK-ARGS...: prints dissector and stats callback instructions per packet.
count() {
    local profile=$E2E_WORK/$1.out
    shift
    host valgrind --tool=callgrind --callgrind-out-file="$profile" \
        tshark -r "$E2E_WORK/mix.pcap" -T fields -e morvastelle.isdn_port -e q931.message_type "$@" \
        >/dev/null 2>&1
    # The profile lists a function once per way of naming it; the entry with
    # its callees below it is the one that counts.
    callgrind_annotate --inclusive=yes --tree=calling --threshold=100 "$profile" 2>/dev/null | awk -v n="$packets" '
        function number(s) { gsub(",", "", s); return s + 0 }
        /^ *[0-9,]+ .* \* .*dissect_morvastelle\(/ { block = number($1); on = 1; next }
        /^ *[0-9,]+ .* \* .*morvastelle_ports_packet\(/ { if (number($1) > stats) stats = number($1) }
        on && /^$/ { on = 0 }
        on && / > .*call_dissector / { handed = number($1); own = block }
        END { printf "%d %d\n", (own - handed) / n, stats / n }'
}

read -r without_listener _ < <(count plain)
printf '%d packets, instructions per packet\n' "$packets"
printf '%-28s %8d\n' "dissector, no listener" "$without_listener"
# A build from before the stats tree still gives the first number.
host tshark -z help 2>&1 | grep -q morvastelle.ports || { echo "(no stats tree in this build)"; exit 0; }
read -r with_listener stats < <(count stats -z morvastelle.ports,tree)
printf '%-28s %8d\n' "dissector, stats tree on" "$with_listener" \
    "stats tree callback" "$stats"
