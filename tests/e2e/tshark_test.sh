#!/usr/bin/env bash
# The real tshark with the plugin: loading, listing, decoding the sample.
. "$(dirname "$0")/lib.sh" "$1"
samples=$2
sample=$(readable "$samples/sample.pcap")

check "plugin listed" "morvastelle.so 0.0.1 dissector" \
    "$(host tshark -G plugins | awk '$1 == "morvastelle.so" {print $1, $2, $3}')"

finish
