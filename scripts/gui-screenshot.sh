#!/usr/bin/env bash
# Opens the sample capture in the real Wireshark GUI on a virtual X display,
# selects its first packet (a Q.931 SETUP), expands its MORVASTELLE tree
# with scripted clicks and keystrokes and saves a screenshot of the screen.
#
# Needs wireshark (wireshark-qt), Xvfb (xvfb), xdotool and ImageMagick's
# import (imagemagick). As root the GUI runs as nobody: the host ignores
# personal plugin folders for root.
#
# Usage: scripts/gui-screenshot.sh [PLUGIN.so [OUTPUT.png]]
#
# SPDX-License-Identifier: GPL-2.0-or-later

set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
plugin=${1:-$here/build/plugins/morvastelle/morvastelle.so}
output=${2:-$here/docs/wireshark-gui.png}

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
cp "$here/samples/sample.pcap" "$home/"
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
    -r "$home/sample.pcap" -g 1 > "$home/wireshark.log" 2>&1 &
pids+=($!)

window=$(timeout 60 xdotool search --sync --onlyvisible --name 'sample\.pcap' | head -n 1) || true
[ -n "$window" ] || { echo "no Wireshark window appeared:" >&2; cat "$home/wireshark.log" >&2; exit 1; }
xdotool windowmove "$window" 0 0 windowsize "$window" 1280 860
# Let it finish loading the capture and laying out the panes.
sleep 4

# Without a window manager the window gets the keyboard only by a click.
# Click the selected first packet, widen the list's columns to their
# contents with View > Resize Columns, then click the details pane's
# first line (the list fills the upper half of the window), go to its
# MORVASTELLE line (the last but two for a Type-0 packet, above LAPD and
# Q.931) and open it.
xdotool mousemove 640 120 click 1
xdotool key --delay 200 ctrl+shift+r
xdotool mousemove 100 480 click 1
xdotool key --delay 200 End Up Up Right
sleep 1

mkdir -p "$(dirname "$output")"
import -window root "$output"
echo "saved $output"
