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
#
# The views are reached with scripted clicks and keystrokes, through the
# menus as a user would.
#
# Needs wireshark (wireshark-qt), Xvfb (xvfb), xdotool and ImageMagick's
# import (imagemagick). As root the GUI runs as nobody: the host ignores
# personal plugin folders for root.
#
# Usage: scripts/gui-screenshot.sh [--view VIEW] [PLUGIN.so [OUTPUT.png]]
#
# SPDX-License-Identifier: GPL-2.0-or-later

set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
view=packets
if [ "${1:-}" = --view ]; then
    view=${2:?--view needs packets, calls, kpi, outcomes or ports}
    shift 2
fi
case $view in
    packets) capture=sample.pcap default_output=wireshark-gui.png ;;
    calls) capture=calls.pcap default_output=calls-gui.png ;;
    kpi) capture=calls.pcap default_output=kpi-gui.png ;;
    outcomes) capture=calls.pcap default_output=outcomes-gui.png ;;
    ports) capture=sample.pcap default_output=statistics-gui.png ;;
    *) echo "unknown view $view: packets, calls, kpi, outcomes or ports" >&2; exit 2 ;;
esac
plugin=${1:-$here/build/plugins/morvastelle/morvastelle.so}
output=${2:-$here/docs/$default_output}

for tool in wireshark Xvfb xdotool import; do
    command -v "$tool" > /dev/null ||
        { echo "needs $tool (apt-get install wireshark-qt xvfb xdotool imagemagick)" >&2; exit 1; }
done
[ -f "$plugin" ] || { echo "no plugin at $plugin: build it first" >&2; exit 1; }

host_version=$(wireshark --version | sed -n '1s/.*Wireshark \([0-9]*\.[0-9]*\).*/\1/p')
home=$(mktemp -d)
chmod 755 "$home"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
    wait 2> /dev/null || true
    rm -rf "$home"
}
trap cleanup EXIT

mkdir -p "$home/.local/lib/wireshark/plugins/$host_version/epan" "$home/runtime"
cp "$plugin" "$home/.local/lib/wireshark/plugins/$host_version/epan/"
cp "$here/samples/$capture" "$home/"
chmod -R a+rX "$home"
chmod 700 "$home/runtime"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
    chown -R nobody:nogroup "$home"
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi

# A display number nobody else uses.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x860x24 -nolisten tcp -ac > /dev/null 2>&1 &
pids+=($!)
export DISPLAY=:$display
for _ in $(seq 100); do xdotool getdisplaygeometry > /dev/null 2>&1 && break; sleep 0.1; done
xdotool getdisplaygeometry > /dev/null || { echo "Xvfb did not start" >&2; exit 1; }

# The default columns and the ISDN port as a column of its own.
columns='"No.","%m","Time","%t","Source","%s","Destination","%d","Protocol","%p",'
columns+='"ISDN-Port","%Cus:morvastelle.isdn_port:0:R","Length","%L","Info","%i"'
"${as_user[@]}" env -i PATH="$PATH" DISPLAY="$DISPLAY" HOME="$home" XDG_RUNTIME_DIR="$home/runtime" \
    QT_QPA_PLATFORM=xcb LANG=C.UTF-8 \
    wireshark -o gui.byte_view_show:FALSE -o "gui.column.format:$columns" \
    -r "$home/$capture" -g 1 > "$home/wireshark.log" 2>&1 &
wireshark_pid=$!
pids+=($wireshark_pid)

window=$(timeout 60 xdotool search --sync --onlyvisible --name "^${capture//./\\.}\$" | head -n 1) || true
[ -n "$window" ] || { echo "no Wireshark window appeared:" >&2; cat "$home/wireshark.log" >&2; exit 1; }
xdotool windowmove "$window" 0 0 windowsize "$window" 1280 860
# Let it finish loading the capture and laying out the panes.
sleep 4

# Without a window manager the window gets the keyboard only by a click.
# Click the selected first packet, widen the list's columns to their
# contents with View > Resize Columns.
xdotool mousemove 640 120 click 1
xdotool key --delay 200 ctrl+shift+r

# dialog TITLE: the window of the dialog just opened, or the reason there
# is none.
dialog() {
    local found
    found=$(timeout 30 xdotool search --sync --onlyvisible --name "$1" | head -n 1) || true
    if [ -z "$found" ]; then
        if kill -0 "$wireshark_pid" 2> /dev/null; then
            echo "no window \"$1\" appeared" >&2
        else
            echo "Wireshark stopped while opening \"$1\"" >&2
        fi
        cat "$home/wireshark.log" >&2
        exit 1
    fi
    echo "$found"
}

# A menu opened by its mnemonic starts on its first item, and Up from
# there wraps round to the last.
case $view in
    packets)
        # Click the details pane's first line (the list fills the upper half
        # of the window), go to its MORVASTELLE line (the last but two for a
        # Type-0 packet, above LAPD and Q.931) and open it.
        xdotool mousemove 100 480 click 1
        xdotool key --delay 200 End Up Up Right
        shot=root
        ;;
    calls)
        # Telephony: MORVASTELLE Calls is the fifth item from the bottom,
        # above MORVASTELLE Port KPIs, SIP Flows, SIP Statistics and
        # WAP-WSP Packet Counter.
        xdotool key --delay 300 alt+y Up Up Up Up Up Return
        shot=$(dialog 'MORVASTELLE Calls') || exit 1
        xdotool windowmove "$shot" 20 60 windowsize "$shot" 1240 460
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
        xdotool key --delay 300 alt+y Up Up Up Up Return
        shot=$(dialog 'MORVASTELLE Port KPIs') || exit 1
        xdotool windowmove "$shot" 20 60 windowsize "$shot" 800 240
        ;;
    outcomes)
        # Statistics: the MORVASTELLE submenu is the last item; Call
        # Outcomes comes before ISDN Ports in it.
        xdotool key --delay 300 alt+s Up Right Return
        shot=$(dialog 'Call Outcomes') || exit 1
        xdotool windowmove "$shot" 100 120 windowsize "$shot" 900 460
        ;;
    ports)
        xdotool key --delay 300 alt+s Up Right Down Return
        shot=$(dialog 'ISDN Ports') || exit 1
        xdotool windowmove "$shot" 100 60 windowsize "$shot" 900 640
        ;;
esac
sleep 2
kill -0 "$wireshark_pid" 2> /dev/null ||
    { echo "Wireshark stopped:" >&2; cat "$home/wireshark.log" >&2; exit 1; }

mkdir -p "$(dirname "$output")"
import -window "$shot" "$output"
echo "saved $output"
