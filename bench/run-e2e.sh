#!/usr/bin/env bash
# End to end: tshark with the plugin against tshark with the Lua version of
# the dissector (morvastelle.lua) on one generated capture, in summary mode
# and with -T fields, beside the same frames as a native LAPD capture (the
# host's own floor). Prints the medians of hyperfine's runs and their ratios.
#
# Usage: bench/run-e2e.sh BUILD_DIR [PACKETS] [RUNS]
#
# SPDX-License-Identifier: GPL-2.0-or-later
set -euo pipefail

build=${1:?build folder}
packets=${2:-200000}
runs=${3:-7}
here=$(cd "$(dirname "$0")" && pwd)
plugin=$build/plugins/morvastelle/morvastelle.so

for tool in tshark hyperfine python3; do
    command -v $tool >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done
[ -f "$plugin" ] || { echo "no $plugin: build the project first" >&2; exit 2; }
tshark -v 2>/dev/null | grep -q "with Lua" || { echo "this tshark is built without Lua" >&2; exit 2; }
host_version=$(tshark --version 2>/dev/null | sed -n '1s/.*(Wireshark) \([0-9]*\.[0-9]*\).*/\1/p')

# The host ignores personal plugin folders when run as root: run it as
# nobody, with everything in a folder it can read. The Lua run gets a home
# without the plugin, since both register the same protocol and fields.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/plugin-home/.local/lib/wireshark/plugins/$host_version/epan" \
    "$work/lua-home" "$work/captures"
cp "$plugin" "$work/plugin-home/.local/lib/wireshark/plugins/$host_version/epan/"
cp "$here/morvastelle.lua" "$work/"
python3 "$here/gen-captures.py" "$work/captures" "$packets"
chmod -R a+rX "$work"

as_host=
[ "$(id -u)" -eq 0 ] && as_host="setpriv --reuid=nobody --regid=nogroup --clear-groups"
plugin_tshark="$as_host env HOME=$work/plugin-home tshark"
lua_tshark="$as_host env HOME=$work/lua-home tshark -X lua_script:$work/morvastelle.lua"
fields="-T fields -e morvastelle.isdn_port -e q931.message_type"
tunnelled=$work/captures/morvastelle.pcap
native=$work/captures/lapd.pcap

# Both dissectors must print the same, or the comparison means nothing.
for mode in "" "$fields"; do
    if ! cmp -s <($plugin_tshark -r "$tunnelled" $mode) <($lua_tshark -r "$tunnelled" $mode); then
        echo "plugin and Lua dissector disagree in mode '${mode:-summary}'" >&2
        exit 1
    fi
done

echo "$packets packets, $runs runs each, $(nproc) cores, load: $(uptime | sed 's/.*load average: //')"
hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/results.json" \
    -n plugin-summary "$plugin_tshark -r $tunnelled" \
    -n lua-summary "$lua_tshark -r $tunnelled" \
    -n lapd-summary "$plugin_tshark -r $native" \
    -n plugin-fields "$plugin_tshark -r $tunnelled $fields" \
    -n lua-fields "$lua_tshark -r $tunnelled $fields" \
    -n lapd-fields "$plugin_tshark -r $native $fields" \
    >"$work/hyperfine.log"

python3 - "$work/results.json" "$packets" <<'PY'
import json, statistics, sys
results = {r["command"]: statistics.median(r["times"]) for r in json.load(open(sys.argv[1]))["results"]}
packets = int(sys.argv[2])
print("| mode | plugin (s) | Lua (s) | native LAPD (s) | Lua / plugin | plugin / native LAPD |")
print("|---|---|---|---|---|---|")
for mode in ("summary", "fields"):
    plugin, lua, lapd = (results[f"{d}-{mode}"] for d in ("plugin", "lua", "lapd"))
    print(f"| {mode} | {plugin:.2f} | {lua:.2f} | {lapd:.2f} | {lua / plugin:.2f}x | {plugin / lapd:.2f}x |")
print(f"(medians; per packet: plugin {results['plugin-summary'] / packets * 1e6:.1f} us summary, "
      f"{results['plugin-fields'] / packets * 1e6:.1f} us fields)")
PY
