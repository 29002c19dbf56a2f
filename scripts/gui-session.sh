# Sourced by scripts/gui-screenshot.sh and bench/run-voip-gui.sh: the real
# Wireshark GUI on a virtual X display with the plugin in a private personal
# plugin folder.
#
# As root the GUI runs as nobody: the host ignores personal plugin folders
# for root. Without a window manager a window gets the keyboard only by a
# click, and stays where it is put.
#
#   gui_start PLUGIN CAPTURE [WIRESHARK-ARGS...]
#       starts Xvfb and Wireshark reading a copy of CAPTURE; sets DISPLAY,
#       gui_home, wireshark_pid and gui_window (the main window, moved to
#       0,0 and sized to the screen). Everything stops at gui_stop, which
#       runs when the script exits (a script that sets its own EXIT trap
#       calls it there).
#   gui_stop             stops Wireshark and Xvfb, removes the folder
#   gui_dialog TITLE     prints the window of the dialog whose title matches
#                        TITLE, or fails saying why there is none
#   gui_check_running    fails with the host's log if Wireshark stopped
#   gui_cpu_ticks        Wireshark's CPU time so far, in clock ticks
#
# Needs wireshark (wireshark-qt), Xvfb (xvfb) and xdotool.
#
# SPDX-License-Identifier: GPL-2.0-or-later

gui_width=1280
gui_height=860
gui_pids=()

gui_stop() {
    local pid
    for pid in "${gui_pids[@]}"; do
        kill "$pid" 2> /dev/null || true
        wait "$pid" 2> /dev/null || true
    done
    gui_pids=()
    [ -z "${gui_home:-}" ] || rm -rf "$gui_home"
    gui_home=
}

trap gui_stop EXIT

gui_start() {
    local plugin=$1 capture=$2 tool host_version display as_user=()
    shift 2
    for tool in wireshark Xvfb xdotool; do
        command -v "$tool" > /dev/null ||
            { echo "needs $tool (apt-get install wireshark-qt xvfb xdotool)" >&2; return 1; }
    done
    [ -f "$plugin" ] || { echo "no plugin at $plugin: build it first" >&2; return 1; }
    [ -f "$capture" ] || { echo "no capture at $capture" >&2; return 1; }

    host_version=$(wireshark --version | sed -n '1s/.*Wireshark \([0-9]*\.[0-9]*\).*/\1/p')
    gui_home=$(mktemp -d)
    chmod 755 "$gui_home"
    mkdir -p "$gui_home/.local/lib/wireshark/plugins/$host_version/epan" "$gui_home/runtime"
    cp "$plugin" "$gui_home/.local/lib/wireshark/plugins/$host_version/epan/"
    cp "$capture" "$gui_home/"
    chmod -R a+rX "$gui_home"
    chmod 700 "$gui_home/runtime"
    if [ "$(id -u)" -eq 0 ]; then
        chown -R nobody:nogroup "$gui_home"
        as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    fi

    # A display number nobody else uses.
    display=99
    while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 "${gui_width}x${gui_height}x24" -nolisten tcp -ac > /dev/null 2>&1 &
    gui_pids+=($!)
    export DISPLAY=:$display
    for _ in $(seq 100); do xdotool getdisplaygeometry > /dev/null 2>&1 && break; sleep 0.1; done
    xdotool getdisplaygeometry > /dev/null || { echo "Xvfb did not start" >&2; return 1; }

    # setpriv and env exec: the process started is Wireshark itself.
    "${as_user[@]}" env -i PATH="$PATH" DISPLAY="$DISPLAY" HOME="$gui_home" XDG_RUNTIME_DIR="$gui_home/runtime" \
        QT_QPA_PLATFORM=xcb LANG=C.UTF-8 \
        wireshark "$@" -r "$gui_home/$(basename "$capture")" > "$gui_home/wireshark.log" 2>&1 &
    wireshark_pid=$!
    gui_pids+=($wireshark_pid)

    local name
    name=$(basename "$capture")
    gui_window=$(timeout 60 xdotool search --sync --onlyvisible --name "^${name//./\\.}\$" | head -n 1) || true
    [ -n "$gui_window" ] || { echo "no Wireshark window appeared:" >&2; cat "$gui_home/wireshark.log" >&2; return 1; }
    xdotool windowmove "$gui_window" 0 0 windowsize "$gui_window" "$gui_width" "$gui_height"
}

gui_check_running() {
    kill -0 "$wireshark_pid" 2> /dev/null && return 0
    echo "Wireshark stopped:" >&2
    cat "$gui_home/wireshark.log" >&2
    return 1
}

gui_dialog() {
    local found
    found=$(timeout 30 xdotool search --sync --onlyvisible --name "$1" | head -n 1) || true
    if [ -z "$found" ]; then
        if kill -0 "$wireshark_pid" 2> /dev/null; then
            echo "no window \"$1\" appeared" >&2
        else
            echo "Wireshark stopped while opening \"$1\"" >&2
        fi
        cat "$gui_home/wireshark.log" >&2
        return 1
    fi
    echo "$found"
}

# Fields 14 and 15 of /proc/PID/stat, user and system time; the command
# name before them is in parentheses and may hold spaces.
gui_cpu_ticks() {
    local stat
    stat=$(< "/proc/$wireshark_pid/stat") || return 1
    stat=${stat##*) }
    awk '{ print $12 + $13 }' <<< "$stat"
}
