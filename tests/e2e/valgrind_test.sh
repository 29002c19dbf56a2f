#!/usr/bin/env bash
# tshark under valgrind's memcheck on a fuzzed capture: no invalid read or
# write, no use of uninitialised memory, nothing definitely lost beyond the
# host's own start-up leaks (valgrind.supp), in the tree of one pass and in
# the summary of two, where the call and link layers find what went wrong
# on the first pass, and the second hands their records to the call
# statistics, the anomalies tree, the expert tap and, through a Lua
# listener, to the host's "voip" tap, as VoIP Calls would. The capture's
# data link storms (tests/e2e/hostile_pcap.py) keep the link layer busy.
#
# Usage: valgrind_test.sh PLUGIN.so SAMPLES_DIR [COUNT]
. "$(dirname "$0")/lib.sh" "$1"
samples=$2
count=${3:-500}
here=$(cd "$(dirname "$0")" && pwd)
command -v valgrind >/dev/null || { echo "valgrind not found (apt-get install valgrind)" >&2; exit 1; }

tshark -Q -r "$samples/sample.pcap" -T fields -e udp.payload 2>/dev/null > "$E2E_WORK/sample.hex"
python3 "$here/hostile_pcap.py" "$E2E_WORK/payloads.pcap" --seed 7 --count "$count" \
    --samples "$E2E_WORK/sample.hex"
editcap -E 0.01 --seed 7 "$E2E_WORK/payloads.pcap" "$E2E_WORK/fuzzed.pcap" 2>/dev/null
cp "$here/valgrind.supp" "$E2E_WORK/"
# Reads every record's sides, as the host's ladder does.
cat > "$E2E_WORK/voip.lua" <<'LUA'
local records = 0
local tap = Listener.new("voip")
function tap.packet(pinfo)
    if #tostring(pinfo.src) > 0 and #tostring(pinfo.dst) > 0 then
        records = records + 1
    end
end
function tap.draw()
    print("voip records: " .. records)
end
LUA
chmod a+r "$E2E_WORK"/*
frames=$(capinfos -M -c "$E2E_WORK/fuzzed.pcap" 2>/dev/null | awk -F: '/^Number of packets/ {print $2 + 0}')

for mode in -V -2; do
    statistics=()
    [ "$mode" = -V ] || statistics=(-z morvastelle.calls -z morvastelle.outcomes,tree -z morvastelle.anomalies,tree
        -z expert)
    status=0
    host valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
        --num-callers=30 --suppressions="$E2E_WORK/valgrind.supp" --log-file="$E2E_WORK/valgrind$mode.log" \
        tshark -r "$E2E_WORK/fuzzed.pcap" $mode -X lua_script:"$E2E_WORK/voip.lua" "${statistics[@]}" \
        > "$E2E_WORK/out$mode" || status=$?
    check "valgrind $mode: exit status" 0 "$status"
    check_contains "valgrind $mode: no error" "ERROR SUMMARY: 0 errors" "$(cat "$E2E_WORK/valgrind$mode.log")"
    check_contains "valgrind $mode: the plugin ran" "MORVASTELLE" "$(cat "$E2E_WORK/out$mode")"
    [ "$status" -eq 0 ] || grep -A30 -m3 -E 'Invalid|uninitialised|definitely lost in' "$E2E_WORK/valgrind$mode.log" >&2
done
check "valgrind -V: every frame out" "$frames" "$(grep -c '^Frame [0-9]*: ' "$E2E_WORK/out-V")"
check "valgrind -2: every frame out" "$frames" "$(grep -cE '^ *[0-9]+ +[0-9]+\.[0-9]+ ' "$E2E_WORK/out-2")"
check_contains "valgrind -V: the call layer ran" "MORVASTELLE Call, Call " "$(cat "$E2E_WORK/out-V")"
check_contains "valgrind -V: the link layer ran" "MORVASTELLE Link" "$(cat "$E2E_WORK/out-V")"
link_findings=$(grep -cE '^ +[0-9]+ +[A-Za-z]+ +MORVASTELLE Link ' "$E2E_WORK/out-2" || true)
check "valgrind -2: link findings on the expert tap" true "$([ "$link_findings" -gt 0 ] && echo true)"
calls=$(grep -cE '^[0-9]+ \|[0-9a-f]* \|(user|network) \|' "$E2E_WORK/out-2" || true)
voip=$(sed -n 's/^voip records: //p' "$E2E_WORK/out-2")
check "valgrind -2: calls in the table" true "$([ "$calls" -gt 0 ] && echo true)"
check "valgrind -2: records on the voip tap" true "$([ "${voip:-0}" -gt 0 ] && echo true)"
echo "$frames frames under valgrind, $calls calls, $voip voip records, $link_findings kinds of link findings"

finish
