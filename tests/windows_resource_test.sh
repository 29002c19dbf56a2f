#!/usr/bin/env bash
# Compiles the plugin's Windows version record with the MinGW resource
# compiler and checks what a Windows host would read from it.
set -euo pipefail
windres=$1 rc=$2 include_dir=$3 host_version=$4
res=$(mktemp)
trap 'rm -f "$res"' EXIT

"$windres" --preprocessor=cpp --preprocessor-arg=-xc-header --preprocessor-arg=-DRC_INVOKED \
    --preprocessor-arg=-D_WIN32 -I"$include_dir" "$rc" -O res -o "$res"
decoded=$("$windres" -i "$res" -O rc)

expected="FILEVERSION 0, 0, 1, 0
PRODUCTVERSION ${host_version//./, }, 0
FILEFLAGS 0x2
VALUE \"FileVersion\", \"0.0.1.0\"
VALUE \"FileDescription\", \"morvastelle dissector\"
VALUE \"InternalName\", \"morvastelle 0.0.1.0\"
VALUE \"OriginalFilename\", \"morvastelle.dll\"
VALUE \"ProductName\", \"Wireshark\"
BLOCK \"040904b0\"
VALUE \"Translation\", 0x409, 1200"

status=0
while IFS= read -r line; do
    grep -qxF "$line" <(printf '%s\n' "$decoded" | sed 's/^ *//') || { echo "missing: $line"; status=1; }
done <<<"$expected"
[ $status -eq 0 ] || printf '%s\n' "$decoded"
exit $status
