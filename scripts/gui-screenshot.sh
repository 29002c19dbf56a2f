#!/usr/bin/env bash
# Takes a screenshot of the real Wireshark GUI on a virtual X display, with
# the plugin loaded. VIEW names what is shown:
#
#   packets   (default) samples/sample.pcap with its first packet (a Q.931
#             SETUP) selected and its MORVASTELLE tree expanded; the whole
#             screen, to docs/wireshark-gui.png
#   calls     samples/calls.pcap in Telephony > MORVASTELLE Calls, every
#             port's table expanded; the dialog, to docs/calls-gui.png
#   kpi       samples/calls.pcap in Telephony > MORVASTELLE Port KPIs;
#             the dialog, to docs/kpi-gui.png
#   outcomes  samples/calls.pcap in Statistics > MORVASTELLE > Call
#             Outcomes; the dialog, to docs/outcomes-gui.png
#   ports     samples/sample.pcap in Statistics > MORVASTELLE > ISDN
#             Ports; the dialog, to docs/statistics-gui.png
#   anomalies lost.pcap (below) in Statistics > MORVASTELLE > Anomalies;
#             the dialog, to docs/anomalies-gui.png
#   follow    samples/calls.pcap with a Call column and the CONNECT of its
#             first call selected, its MORVASTELLE Call tree expanded; the
#             whole screen, to docs/follow-gui.png
#   voip      samples/calls.pcap in Telephony > VoIP Calls, the MORVASTELLE
#             rows beside the host's own; the dialog, to docs/voip-gui.png
#   flow      the same, then the first call's Flow Sequence; the dialog, to
#             docs/flow-gui.png
#   expert    findings.pcap, made here: bench/gen-calls.py --links traffic
#             on three ports without three of its I-frames, then
#             samples/calls.pcap without frame 7 (the CONNECT of its first
#             call), in Analyze > Expert Information, every group expanded;
#             the dialog, to docs/expert-gui.png
#   lost      lost.pcap, samples/calls.pcap without frame 7, with its frame 7
#             (the CONNECT ACKNOWLEDGE that shows the loss) selected and its
#             MORVASTELLE Link and MORVASTELLE Call trees expanded; the
#             whole screen, to docs/lost-frame-gui.png
#
# The views are reached with scripted clicks and keystrokes, through the
# menus as a user would.
#
# Needs wireshark (wireshark-qt), Xvfb (xvfb), xdotool and ImageMagick's
# import (imagemagick); expert and lost also editcap and mergecap
# (wireshark-common), expert python3. As root the GUI runs as nobody: the
# host ignores personal plugin folders for root.
#
# Usage: scripts/gui-screenshot.sh [--view VIEW] [PLUGIN.so [OUTPUT.png]]
#
# SPDX-License-Identifier: GPL-2.0-or-later

set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
view=packets
if [ "${1:-}" = --view ]; then
    view=${2:?--view needs packets, calls, kpi, outcomes, ports, anomalies, follow, voip, flow, expert or lost}
    shift 2
fi
# The packet selected at the start.
first_packet=1
case $view in
    packets) capture=sample.pcap default_output=wireshark-gui.png ;;
    calls) capture=calls.pcap default_output=calls-gui.png ;;
    kpi) capture=calls.pcap default_output=kpi-gui.png ;;
    outcomes) capture=calls.pcap default_output=outcomes-gui.png ;;
    ports) capture=sample.pcap default_output=statistics-gui.png ;;
    anomalies) capture=lost.pcap default_output=anomalies-gui.png ;;
    follow) capture=calls.pcap default_output=follow-gui.png first_packet=7 ;;
    voip) capture=calls.pcap default_output=voip-gui.png ;;
    flow) capture=calls.pcap default_output=flow-gui.png ;;
    expert) capture=findings.pcap default_output=expert-gui.png ;;
    lost) capture=lost.pcap default_output=lost-frame-gui.png first_packet=7 ;;
    *) echo "unknown view $view: packets, calls, kpi, outcomes, ports, anomalies, follow, voip, flow, expert or lost" >&2; exit 2 ;;
esac
plugin=${1:-$here/build/plugins/morvastelle/morvastelle.so}
output=${2:-$here/docs/$default_output}

command -v import > /dev/null || { echo "needs import (apt-get install imagemagick)" >&2; exit 1; }
. "$here/scripts/gui-session.sh"

# The captures with frames missing are made from the samples, each time.
capture_dir=$here/samples
case $view in
    anomalies | expert | lost)
        capture_dir=$(mktemp -d)
        trap 'gui_stop; rm -rf "$capture_dir"' EXIT
        editcap "$here/samples/calls.pcap" "$capture_dir/lost.pcap" 7
        ;;
esac
if [ "$view" = expert ]; then
    # Three ports of healthy links, less the CONNECT of their first call
    # (frame 13), the SETUP of their fourth (24) and the DISCONNECT of their
    # second (71): three frames lost on two ports' data links, each shown by
    # the next N(R) that acknowledges it, and a call without its SETUP.
    python3 "$here/bench/gen-calls.py" "$capture_dir/links.pcap" --ports 3 --calls 12 --links
    editcap "$capture_dir/links.pcap" "$capture_dir/links-lost.pcap" 13 24 71
    # Its times are in 2024, those of samples/calls.pcap later.
    mergecap -a -w "$capture_dir/findings.pcap" "$capture_dir/links-lost.pcap" "$capture_dir/lost.pcap"
fi

# The default columns and the ISDN port as a column of its own; the follow
# view adds the call's number.
columns='"No.","%m","Time","%t","Source","%s","Destination","%d","Protocol","%p",'
columns+='"ISDN-Port","%Cus:morvastelle.isdn_port:0:R",'
[ "$view" != follow ] || columns+='"Call","%Cus:morvastelle_call.id:0:R",'
columns+='"Length","%L","Info","%i"'
gui_start "$plugin" "$capture_dir/$capture" -o gui.byte_view_show:FALSE -o "gui.column.format:$columns" \
    -g "$first_packet" || exit 1
# Let it finish loading the capture and laying out the panes.
sleep 4

# Without a window manager the window gets the keyboard only by a click.
# Click the selected packet (the list's rows are 17 pixels high, the first
# at 120), widen the list's columns to their contents with View > Resize
# Columns.
xdotool mousemove 640 $((120 + (first_packet - 1) * 17)) click 1
xdotool key --delay 200 ctrl+shift+r

# A menu opened by its mnemonic starts on its first item, and Up from
# there wraps round to the last. Items without a mnemonic of their own are
# reached by counting; the host sorts the items that dissectors and plugins
# add by their text.
case $view in
    packets)
        # Click the details pane's first line (the list fills the upper half
        # of the window), go to its MORVASTELLE line (the last but three for
        # a Type-0 packet of a call, above LAPD, Q.931 and MORVASTELLE Call)
        # and open it.
        xdotool mousemove 100 480 click 1
        xdotool key --delay 200 End Up Up Up Right
        shot=root
        ;;
    calls)
        # Telephony: MORVASTELLE Calls is the 17th item, after the host's
        # VoIP Calls to UCP Messages (13), F1AP, NGAP and H.225: counted
        # from the top, as the plugin's other items sort after it.
        xdotool key --delay 300 alt+y
        for _ in $(seq 16); do xdotool key --delay 100 Down; done
        xdotool key --delay 300 Return
        shot=$(gui_dialog 'MORVASTELLE Calls') || exit 1
        xdotool windowmove "$shot" 0 60 windowsize "$shot" 1280 460
        sleep 3
        # One item per port, its calls below it: open every collapsed one,
        # from the last up, then go back to the top.
        geometry=$(xdotool getwindowgeometry --shell "$shot")
        eval "$geometry"
        xdotool mousemove $((X + 100)) $((Y + 40)) click 1
        xdotool key --delay 200 End
        for _ in $(seq 8); do xdotool key --delay 100 Right Up; done
        xdotool key --delay 200 Home
        ;;
    kpi)
        # Telephony: MORVASTELLE Port KPIs follows MORVASTELLE Calls.
        xdotool key --delay 300 alt+y
        for _ in $(seq 17); do xdotool key --delay 100 Down; done
        xdotool key --delay 300 Return
        shot=$(gui_dialog 'MORVASTELLE Port KPIs') || exit 1
        xdotool windowmove "$shot" 20 60 windowsize "$shot" 800 240
        ;;
    outcomes)
        # Statistics: the MORVASTELLE submenu is the last item; its items
        # are Anomalies, Call Outcomes and ISDN Ports.
        xdotool key --delay 300 alt+s Up Right Down Return
        shot=$(gui_dialog 'Call Outcomes') || exit 1
        xdotool windowmove "$shot" 100 120 windowsize "$shot" 900 460
        ;;
    anomalies)
        xdotool key --delay 300 alt+s Up Right Return
        shot=$(gui_dialog 'Anomalies') || exit 1
        xdotool windowmove "$shot" 100 120 windowsize "$shot" 900 300
        ;;
    ports)
        xdotool key --delay 300 alt+s Up Right Down Down Return
        shot=$(gui_dialog 'ISDN Ports') || exit 1
        xdotool windowmove "$shot" 100 60 windowsize "$shot" 900 640
        ;;
    follow)
        # The details pane's last line is MORVASTELLE Call: the host adds
        # post-dissectors' trees after the frame's layers.
        xdotool mousemove 100 480 click 1
        xdotool key --delay 200 End Right
        shot=root
        ;;
    expert)
        # Analyze: Expert Information is the last item.
        xdotool key --delay 300 alt+a Up Return
        shot=$(gui_dialog 'Expert Information') || exit 1
        xdotool windowmove "$shot" 20 60 windowsize "$shot" 1240 420
        sleep 3
        # Fit the Protocol and then the Summary column to their contents (a
        # double click on a column's right edge in the header: 748 and 540
        # pixels in), then open every group of findings, from the last up,
        # as in the calls view.
        eval "$(xdotool getwindowgeometry --shell "$shot")"
        xdotool mousemove $((X + 748)) $((Y + 22)) click --repeat 2 --delay 100 1
        xdotool mousemove $((X + 540)) $((Y + 22)) click --repeat 2 --delay 100 1
        xdotool mousemove $((X + 300)) $((Y + 41)) click 1
        xdotool key --delay 200 End
        for _ in $(seq 8); do xdotool key --delay 100 Right Up; done
        xdotool key --delay 200 Home
        ;;
    lost)
        # The details pane's last two lines are MORVASTELLE Link and
        # MORVASTELLE Call, post-dissectors' trees after the frame's layers:
        # open both with everything below them. They need more room than
        # half the window: drag the splitter above the details (at 464) up
        # by six rows of the list first.
        xdotool mousemove 640 464 mousedown 1 sleep 0.5 mousemove 640 400 sleep 0.5 mousemove 640 362 sleep 0.5 mouseup 1
        xdotool mousemove 100 480 click 1
        # Select the link's finding, whose filter the status bar shows,
        # and move the pointer off the rows it lights up.
        xdotool key --delay 200 End shift+Right Up shift+Right Down Down Down
        xdotool mousemove 640 849
        shot=root
        ;;
    voip | flow)
        xdotool key --delay 300 alt+y v
        shot=$(gui_dialog 'VoIP Calls') || exit 1
        xdotool windowmove "$shot" 0 40 windowsize "$shot" 1280 420
        sleep 3
        if [ "$view" = flow ]; then
            # By start time: the host's AC_ISDN row of reference 01 on
            # isdn0, then the first MORVASTELLE call, which this Flow
            # Sequence draws.
            eval "$(xdotool getwindowgeometry --shell "$shot")"
            xdotool mousemove $((X + 400)) $((Y + 40)) click 1
            xdotool key --delay 300 Down alt+s
            shot=$(gui_dialog 'Call Flow') || exit 1
            xdotool windowmove "$shot" 60 40 windowsize "$shot" 1000 780
        fi
        ;;
esac
sleep 2
gui_check_running || exit 1

mkdir -p "$(dirname "$output")"
import -window "$shot" "$output"
echo "saved $output"
