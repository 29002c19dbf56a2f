#!/usr/bin/env bash
# What went wrong, in the real tshark: the findings of MORVASTELLE Link and
# MORVASTELLE Call on the bundled calls, the same in one pass and two, in
# the packet details and on the expert tap; a lost CONNECT flagged where it
# shows, with the call answered; the anomalies tree and the calls table's
# Lost frames agreeing with the findings; each layer switched off; a
# generated capture of clean calls with nothing found, and with I-frames
# dropped, every one of them counted once.
. "$(dirname "$0")/lib.sh" "$1"
samples=$2
calls=$(readable "$samples/calls.pcap")

# Each frame with findings: its number, then its findings and their numbers.
findings() {
    host tshark -r "$@" -T pdml | awk '
        /<field name="frame.number"/ { match($0, /show="[0-9]+"/); frame = substr($0, RSTART + 6, RLENGTH - 7) }
        /<field name="morvastelle_(link\.[a-z_]+|call\.(unexpected_message|protocol_error|setup_repeated|release_repeated|disconnect_unanswered|no_setup|connect_lost|restart_with_calls_up|calls_up|cause))"/ {
            match($0, /name="[a-z_.]+"/); name = substr($0, RSTART + 6, RLENGTH - 7)
            if (match($0, /show="[0-9]+"/)) name = name "=" substr($0, RSTART + 6, RLENGTH - 7)
            found[frame] = found[frame] " " name
            if (!(frame in order)) { order[frame] = ++n; frames[n] = frame }
        }
        END { for (i = 1; i <= n; i++) print frames[i] found[frames[i]] }'
}
# (The host lists findings of one severity and count in no fixed order.)
expert() { host tshark -q -z expert -r "$@" | grep -E '^ +[0-9]+ ' | LC_ALL=C sort; }

expected='6 morvastelle_link.retransmission_of=5 morvastelle_link.retransmission
27 morvastelle_call.calls_up=1 morvastelle_call.restart_with_calls_up
36 morvastelle_call.cause=81 morvastelle_call.protocol_error morvastelle_call.no_setup'
expected_expert='           1   Protocol   MORVASTELLE Call  RESTART of an interface with calls up
           1   Response   MORVASTELLE Call  Cause of an invalid message or a protocol error
           1   Sequence   MORVASTELLE Call  The capture lacks the call'"'"'s SETUP
           1   Sequence   MORVASTELLE Link  I-frame sent again'
expected_expert=$(printf '%s\n' "$expected_expert" | LC_ALL=C sort)
for two in "" -2; do
    check "findings, ${two:-one pass}" "$expected" "$(findings "$calls" $two)"
    check "expert tap, ${two:-one pass}" "$expected_expert" "$(expert "$calls" $two)"
done
check "a finding's filter" "6" "$(host tshark -r "$calls" -Y morvastelle_link.retransmission -T fields -e frame.number)"
check "states of call 1" "1,3,4,4,10,10,11,0,0" \
    "$(host tshark -r "$calls" -2 -Y 'morvastelle_call.id == 1' -T fields -e morvastelle_call.state | paste -sd,)"

# The CONNECT of call 1 lost in the tunnel: the CONNECT ACKNOWLEDGE, now
# frame 7, acknowledges it; the call was answered there.
editcap "$calls" "$E2E_WORK/lost.pcap" 7
chmod a+r "$E2E_WORK/lost.pcap"
lost_finding='7 morvastelle_link.lost_frames=1 morvastelle_link.lost morvastelle_call.connect_lost'
for two in "" -2; do
    check_contains "lost CONNECT, ${two:-one pass}" "$lost_finding" "$(findings "$E2E_WORK/lost.pcap" $two)"
done
check_contains "lost CONNECT, the call's row" \
    "1 |01 |user |5551000 |5552000 |1.000 |4.720 |59.980 |answered |16 Normal call clearing |7 |1 |" \
    "$(host tshark -q -z morvastelle.calls -r "$E2E_WORK/lost.pcap")"
check "lost CONNECT, anomalies tree" 'Findings / "isdn0" / morvastelle_call.connect_lost: 1
Findings / "isdn0" / morvastelle_call.restart_with_calls_up: 1
Findings / "isdn0" / morvastelle_link.lost: 1
Findings / "isdn0" / morvastelle_link.retransmission: 1
Findings / "isdn0": 4
Findings / "isdn1" / morvastelle_call.no_setup: 1
Findings / "isdn1" / morvastelle_call.protocol_error: 1
Findings / "isdn1": 2
Findings: 6' "$(stats_tree_counts morvastelle.anomalies "$E2E_WORK/lost.pcap")"

# Each layer switched off raises nothing of its own.
check "link layer off" "$(printf '%s\n' "$expected_expert" | grep 'MORVASTELLE Call')" \
    "$(expert "$calls" --disable-protocol morvastelle_link)"
check "call layer off" "$(printf '%s\n' "$expected_expert" | grep 'MORVASTELLE Link')" \
    "$(expert "$calls" --disable-protocol morvastelle_call)"
check "both off" "" "$(expert "$calls" --disable-protocol morvastelle_call --disable-protocol morvastelle_link || true)"

# Generated calls with their data links set up, acknowledged as real sides
# do: nothing found. Then I-frames dropped from the middle of it: each
# counted once among the lost frames, and in the calls' Lost frames.
python3 "$(dirname "$0")/../../bench/gen-calls.py" "$E2E_WORK/clean.pcap" --ports 5 --calls 60 --links
chmod a+r "$E2E_WORK/clean.pcap"
check "generated, nothing found" "" "$(findings "$E2E_WORK/clean.pcap" -2)"
dropped=$(host tshark -r "$E2E_WORK/clean.pcap" -Y 'lapd.control.n_s && frame.number > 40' -T fields -e frame.number |
    awk 'NR % 37 == 0' | head -n 8 | paste -sd' ')
# shellcheck disable=SC2086
editcap "$E2E_WORK/clean.pcap" "$E2E_WORK/dropped.pcap" $dropped
chmod a+r "$E2E_WORK/dropped.pcap"
check "generated, dropped I-frames counted once" "8" \
    "$(host tshark -r "$E2E_WORK/dropped.pcap" -T fields -e morvastelle_link.lost_frames | awk '{s += $1} END {print s}')"
# (What the calls make of their missing messages is theirs.)
check "generated, no other link finding" "" \
    "$(findings "$E2E_WORK/dropped.pcap" -2 | tr ' ' '\n' | grep '^morvastelle_link' | grep -v -E '^morvastelle_link.lost(_frames=[0-9]+)?$' || true)"
finish
