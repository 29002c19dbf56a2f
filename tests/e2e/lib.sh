# Sourced by the end-to-end tests: the real tshark with the freshly built
# plugin in a private personal plugin folder.
#
# The host ignores personal plugin folders when run as root, so as root the
# host runs as an unprivileged user, with everything it reads copied into a
# folder that user can enter.
#
# Usage: . lib.sh PLUGIN.so   then   host tshark ARGS...
#
# SPDX-License-Identifier: GPL-2.0-or-later

set -euo pipefail

e2e_plugin=${1:?path to morvastelle.so}
e2e_host_version=$(tshark --version 2>/dev/null | sed -n '1s/.*(Wireshark) \([0-9]*\.[0-9]*\).*/\1/p')

E2E_HOME=$(mktemp -d)
chmod 755 "$E2E_HOME"
trap 'rm -rf "$E2E_HOME"' EXIT
mkdir -p "$E2E_HOME/.local/lib/wireshark/plugins/$e2e_host_version/epan" "$E2E_HOME/work"
cp "$e2e_plugin" "$E2E_HOME/.local/lib/wireshark/plugins/$e2e_host_version/epan/"
chmod -R a+rX "$E2E_HOME"
chmod a+rwx "$E2E_HOME/work"
E2E_WORK=$E2E_HOME/work

# Runs a host program (tshark, editcap, ...) as a user whose personal
# plugins are loaded.
host() {
    if [ "$(id -u)" -eq 0 ]; then
        setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$E2E_HOME" "$@"
    else
        env HOME="$E2E_HOME" "$@"
    fi
}

# Copies files where the host's user can read them; prints the new paths.
readable() {
    local f
    for f in "$@"; do
        cp "$f" "$E2E_WORK/"
        chmod a+r "$E2E_WORK/$(basename "$f")"
        echo "$E2E_WORK/$(basename "$f")"
    done
}

# capture TEXT2PCAP-ARGS... IN OUT: text2pcap, quietly, into a capture the
# host's user can read.
capture() {
    local out=${*: -1}
    text2pcap -q "$@" >/dev/null 2>"$E2E_WORK/text2pcap.log" || { cat "$E2E_WORK/text2pcap.log" >&2; return 1; }
    chmod a+r "$out"
}

# stats_tree_counts TREE CAPTURE [FILTER]: a stats tree as "path: count"
# lines, sorted, since the host orders siblings by count and leaves ties in
# no fixed order.
stats_tree_counts() {
    host tshark -q -z "$1,tree${3:+,$3}" -r "$2" | awk '
        /^Topic \/ Item/ { col = index($0, "Count"); next }
        col && /^-+$/ { started = !started; next }
        started && NF {
            name = substr($0, 1, col - 1)
            depth = match(name, /[^ ]/) - 1
            sub(/^ +/, "", name); sub(/ +$/, "", name)
            split(substr($0, col), rest, " ")
            path[depth] = name
            line = path[0]
            for (i = 1; i <= depth; i++) line = line " / " path[i]
            print line ": " rest[1]
        }' | LC_ALL=C sort
}

# frame_findings CAPTURE [TSHARK ARGS...]: a line for each frame that shows
# findings of the analysis layers: its number, the findings (their expert
# infos' filters) and the numbers that come with them.
frame_findings() {
    local capture=$1 field
    shift
    if [ -z "${e2e_findings:-}" ]; then
        e2e_findings=$(host tshark -G fields | awk -F'\t' '
            $1 == "F" && $4 == "FT_NONE" && $3 ~ /^morvastelle_(link|call)\./ { printf "%s ", $3 }')
    fi
    local names="$e2e_findings morvastelle_link.lost_frames morvastelle_link.retransmission_of morvastelle_link.calls_up"
    names+=" morvastelle_call.calls_up morvastelle_call.cause"
    local fields=(-e frame.number)
    for field in $names; do fields+=(-e "$field"); done
    host tshark -r "$capture" "$@" -T fields -E occurrence=a "${fields[@]}" | awk -F'\t' -v names="$names" \
        -v findings="$(wc -w <<< "$e2e_findings")" '
        BEGIN { split(names, name, " ") }
        {
            line = ""
            for (i = 2; i <= NF; i++)
                if ($i != "") line = line " " name[i - 1] (i - 1 <= findings ? "" : "=" $i)
            if (line != "") print $1 line
        }'
}

# check_findings_agree NAME CAPTURE [EXPERTS]: the analysis layers'
# findings the same on every frame in one pass as in the second of -2, and
# the expert tap's lines (those matching the extended regex EXPERTS, all by
# default) too; at most 4 findings on a frame. The one pass's findings are
# left in $E2E_WORK/NAME.findings for further checks.
check_findings_agree() {
    local name=$1 capture=$2 experts=${3:-^} most
    frame_findings "$capture" > "$E2E_WORK/$name.findings"
    check "$name: every frame's findings the same in one pass as with -2" "" \
        "$(diff "$E2E_WORK/$name.findings" <(frame_findings "$capture" -2) | head -5)"
    check "$name: the expert tap the same in one pass as with -2" "" \
        "$(diff <(host tshark -q -z expert -r "$capture" | grep -E "$experts") \
            <(host tshark -q -z expert -r "$capture" -2 | grep -E "$experts") | head -5)"
    most=$(awk '{ n = 0; for (i = 2; i <= NF; i++) if ($i !~ /=/) n++; if (n > most) most = n }
        END { print most + 0 }' "$E2E_WORK/$name.findings")
    check "$name: at most 4 findings on a frame (found $most)" true "$([ "$most" -le 4 ] && echo true)"
}

e2e_failures=0
e2e_checks=0

# check NAME EXPECTED ACTUAL
check() {
    e2e_checks=$((e2e_checks + 1))
    if [ "$2" != "$3" ]; then
        e2e_failures=$((e2e_failures + 1))
        printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3" >&2
    fi
}

# check_contains NAME NEEDLE HAYSTACK
check_contains() {
    e2e_checks=$((e2e_checks + 1))
    case "$3" in
        *"$2"*) ;;
        *)
            e2e_failures=$((e2e_failures + 1))
            printf 'FAIL %s\n  missing: %s\n  in:\n%s\n' "$1" "$2" "$3" >&2
            ;;
    esac
}

# Call last: the exit status ctest reads.
finish() {
    echo "$((e2e_checks - e2e_failures)) of $e2e_checks checks passed"
    [ "$e2e_failures" -eq 0 ]
}
