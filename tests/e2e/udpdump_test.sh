#!/usr/bin/env bash
# A live capture through the host's udpdump extcap, as from a fleet of
# gateways: the PDUs of both samples sent to it on 127.0.0.1 from
# 127.0.0.2, and those of the calls sample from 127.0.0.3 too, in step, come
# out as an Exported PDU capture that the plugin decodes, every PDU with its
# port name, counts, and follows the calls of, each gateway's apart.
#
# Usage: udpdump_test.sh PLUGIN.so SAMPLES_DIR
# Exits 77 (skipped) when the host has no udpdump.
. "$(dirname "$0")/lib.sh" "$1"
samples=$2
sample=$(readable "$samples/sample.pcap")
calls=$(readable "$samples/calls.pcap")

# Debian 12 and 13 keep extcaps under the library folder, unstable under
# libexec; the host knows which.
extcap_dir=$(tshark -G folders 2>/dev/null | sed -n 's/^\(Global \)\{0,1\}Extcap path:[[:space:]]*//p')
udpdump=$extcap_dir/udpdump
if [ ! -x "$udpdump" ]; then
    echo "skipped: no udpdump in the host's extcap folder '$extcap_dir'"
    exit 77
fi

# udpdump runs under host's subshell, in a process group of its own so
# both end together.
udpdump_pid=
stop_udpdump() {
    if [ -n "$udpdump_pid" ]; then
        kill -- -"$udpdump_pid" 2>/dev/null || true
        wait "$udpdump_pid" 2>/dev/null || true
        udpdump_pid=
    fi
}
# Replaces lib.sh's trap, so it cleans up after lib.sh too; signals end the
# script through it as well.
trap 'stop_udpdump; rm -rf "$E2E_HOME"' EXIT
trap 'exit 130' INT TERM HUP

# /proc rather than ss: the Debian roots the newer hosts are tested in have
# no iproute2. udpdump binds the wildcard address.
listening() {
    awk -v port="$(printf ':%04X' "$1")" '$2 ~ port "$"' /proc/net/udp /proc/net/udp6 2>/dev/null | grep -q .
}

# udpdump needs no privileges: it runs as the host's user, which can then
# read the capture it writes. Another program may take the free port first;
# then udpdump exits and another port is tried.
live=$E2E_WORK/live.pcap
for _ in 1 2 3; do
    port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    set -m
    host "$udpdump" --extcap-interface udpdump --port "$port" --payload morvastelle \
        --fifo "$live" --capture >"$E2E_WORK/udpdump.log" 2>&1 &
    udpdump_pid=$!
    set +m
    for _ in $(seq 50); do
        listening "$port" && break 2
        kill -0 "$udpdump_pid" 2>/dev/null || break
        sleep 0.1
    done
    stop_udpdump
done
if [ -z "$udpdump_pid" ]; then
    cat "$E2E_WORK/udpdump.log" >&2
    echo "FAIL udpdump never listened" >&2
    exit 1
fi

tshark -Q -r "$sample" -T fields -e udp.payload >"$E2E_WORK/sample.hex"
tshark -Q -r "$calls" -T fields -e udp.payload >"$E2E_WORK/calls.hex"
sent=$(($(wc -l <"$E2E_WORK/sample.hex") + 2 * $(wc -l <"$E2E_WORK/calls.hex")))
python3 -c '
import socket, sys
port = int(sys.argv[1])
gateways = []
for address in ("127.0.0.2", "127.0.0.3"):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((address, 0))
    gateways.append(s)
for line in open(sys.argv[2]):
    gateways[0].sendto(bytes.fromhex(line.strip()), ("127.0.0.1", port))
for line in open(sys.argv[3]):
    for s in gateways:
        s.sendto(bytes.fromhex(line.strip()), ("127.0.0.1", port))
' "$port" "$E2E_WORK/sample.hex" "$E2E_WORK/calls.hex"

# udpdump writes each datagram as it comes; give it a few seconds at most.
recorded() { tshark -Q -r "$live" -T fields -e frame.number 2>/dev/null | wc -l; }
for _ in $(seq 50); do
    [ "$(recorded)" -ge "$sent" ] && break
    sleep 0.2
done
stop_udpdump

check "udpdump: the samples' PDUs" "13 45" "$(wc -l <"$E2E_WORK/sample.hex") $(wc -l <"$E2E_WORK/calls.hex")"
check "udpdump: every datagram recorded" "$sent" "$(recorded)"
first=(-Y 'frame.number <= 13')
check "udpdump: each PDU with its port, in order" "isdn0,isdn0,isdn0,isdn0,isdn0,isdn1,isdn1,isdn1,BRI-3/0,,,," \
    "$(host tshark -r "$live" "${first[@]}" -T fields -e morvastelle.isdn_port | paste -sd,)"
fields=(-T fields -e morvastelle.type -e morvastelle.isdn_port -e _ws.col.Protocol -e _ws.col.Info)
check "udpdump: decoded as from UDP port 4" "$(host tshark -r "$sample" "${fields[@]}")" \
    "$(host tshark -r "$live" "${first[@]}" "${fields[@]}")"

# The tree up to its count column: the rate columns follow the packets'
# times. Sorted, as the host leaves ties in no fixed order.
tree_lines() {
    host tshark -q -z "morvastelle.ports,tree${2:+,$2}" -r "$1" |
        awk '/^Topic \/ Item/ { col = index($0, "Count") } col { print substr($0, 1, col + 13) }' | LC_ALL=C sort
}
check "udpdump: ports tree counts them" 103 "$(tree_lines "$live" | sed -n 's/^MORVASTELLE PDUs  *\([0-9]*\) *$/\1/p')"
check "udpdump: ports tree as from the file" "$(tree_lines "$sample")" "$(tree_lines "$live" 'frame.number <= 13')"

# Each gateway's calls as from the file but for their times, which are the
# arrival's, and their numbers, which follow the sample's calls sent first.
calls_without_times() {
    host tshark -q -z "morvastelle.calls${2:+,$2}" -r "$1" | awk -F' [|]' 'NF > 5 { print $2, $3, $4, $5, $9, $10, $11 }'
}
for gateway in 127.0.0.2 127.0.0.3; do
    check "udpdump: the calls of $gateway as from the file" "$(calls_without_times "$calls")" \
        "$(calls_without_times "$live" "frame.number > 13 && ip.src == $gateway")"
done
check "udpdump: outcomes tree counts them" 14 \
    "$(stats_tree_counts morvastelle.outcomes "$live" 'frame.number > 13' | sed -n 's/^Calls: //p')"
check "udpdump: each gateway's ports apart, named by its address" '"isdn0" 127.0.0.2
"isdn0" 127.0.0.3
"isdn1" 127.0.0.2
"isdn1" 127.0.0.3' "$(host tshark -q -z morvastelle.calls -r "$live" | grep '^"' | LC_ALL=C sort)"

finish
