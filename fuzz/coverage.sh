#!/usr/bin/env bash
# Fuzzes for SECONDS with the plugin instrumented for line coverage, then
# replays the grown corpus and prints llvm-cov's report for the plugin.
#
# Usage: fuzz/coverage.sh SECONDS [BUILD_DIR]   (BUILD_DIR: fuzz/build-coverage)
#   FUZZ_CORPUS=DIR starts from (and grows) the corpus of an earlier run.
#
# SPDX-License-Identifier: GPL-2.0-or-later
set -euo pipefail

seconds=${1:?usage: $0 SECONDS [BUILD_DIR]}
fuzz_dir=$(cd "$(dirname "$0")" && pwd)
build=${2:-$fuzz_dir/build-coverage}
for tool in llvm-profdata llvm-cov; do
    command -v $tool >/dev/null || { echo "$tool not found (apt-get install llvm)" >&2; exit 1; }
done

corpus=${FUZZ_CORPUS:-$(mktemp -d)}
[ -n "${FUZZ_CORPUS:-}" ] || trap 'rm -rf "$corpus"' EXIT
FUZZ_CORPUS=$corpus FUZZ_CMAKE_FLAGS=-DMORVASTELLE_FUZZ_COVERAGE=ON \
    LLVM_PROFILE_FILE=/dev/null "$fuzz_dir/run.sh" "$seconds" "$build"

rm -f "$build"/replay-*.profraw
# One process for the whole corpus: no RSS limit for the host's memory of
# every input's file (see run.sh).
LLVM_PROFILE_FILE="$build/replay-%p.profraw" \
    "$build/fuzz/morvastelle_fuzzer" -runs=0 -rss_limit_mb=0 -detect_leaks=0 "$corpus" "$fuzz_dir/corpus" 2>/dev/null
llvm-profdata merge -sparse "$build"/replay-*.profraw -o "$build/replay.profdata"
echo "corpus: $(ls "$corpus" "$fuzz_dir/corpus" | grep -vc ':$') inputs"
llvm-cov report "$build/fuzz/morvastelle_fuzzer" -instr-profile="$build/replay.profdata" \
    "$fuzz_dir/../plugins/morvastelle/"
