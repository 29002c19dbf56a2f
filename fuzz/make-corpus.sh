#!/usr/bin/env bash
# Rebuilds the seed corpus: one file per UDP payload of the sample capture.
set -euo pipefail
cd "$(dirname "$0")"
rm -rf corpus && mkdir corpus
n=0
tshark -Q -r ../samples/sample.pcap -T fields -e udp.payload | while read -r payload; do
    n=$((n + 1))
    python3 -c "import sys; sys.stdout.buffer.write(bytes.fromhex(sys.argv[1]))" "$payload" \
        > "corpus/sample-$(printf %02d $n)"
done
ls corpus | wc -l
