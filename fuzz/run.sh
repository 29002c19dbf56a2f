#!/usr/bin/env bash
# Builds the libFuzzer target with clang and fuzzes the plugin for SECONDS.
# Fails on any sanitizer report, crash, leak or timeout; the input that
# caused it is left in the artifacts folder named at the end.
#
# Usage: fuzz/run.sh SECONDS [BUILD_DIR]
#   BUILD_DIR defaults to fuzz/build. Extra libFuzzer flags in FUZZ_FLAGS
#   (e.g. FUZZ_FLAGS=-fork=2). Set FUZZ_CORPUS to a folder to keep and grow
#   a corpus across runs; otherwise a fresh one starts from the seeds.
#
# SPDX-License-Identifier: GPL-2.0-or-later
set -euo pipefail

seconds=${1:?usage: $0 SECONDS [BUILD_DIR]}
fuzz_dir=$(cd "$(dirname "$0")" && pwd)
build=${2:-$fuzz_dir/build}

for tool in clang clang++; do
    command -v $tool >/dev/null || { echo "$tool not found (apt-get install clang libclang-rt-14-dev)" >&2; exit 1; }
done

cmake -S "$fuzz_dir/.." -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DMORVASTELLE_FUZZER=ON \
    -DMORVASTELLE_WERROR=ON ${FUZZ_CMAKE_FLAGS:-} >/dev/null
cmake --build "$build" --target morvastelle_fuzzer -j 2

corpus=${FUZZ_CORPUS:-$(mktemp -d)}
artifacts=$build/artifacts
mkdir -p "$corpus" "$artifacts"
[ -n "${FUZZ_CORPUS:-}" ] || trap 'rm -rf "$corpus"' EXIT

# The host's start-up allocations live until exit; the suppressions name
# host functions only, so a leak in the plugin still fails the run.
# Every input is a file of its own, and the host keeps some 11 MB
# (reachable) from each file's init: LeakSanitizer looks at each job's end
# rather than after every input (-detect_leaks=0 below), which would scan
# all of it again and again; and the inputs run in forked jobs (-fork=1)
# that libFuzzer starts one after the other, each ended by the harness
# after MORVASTELLE_FUZZ_FILES inputs, before that memory nears the RSS
# limit (a job's run into the limit can hang in libFuzzer's memory report,
# and would be a finding).
export MORVASTELLE_FUZZ_FILES=${MORVASTELLE_FUZZ_FILES:-100}
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=suppressions=$fuzz_dir/lsan.supp:print_suppressions=0

# shellcheck disable=SC2086
"$build/fuzz/morvastelle_fuzzer" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -max_len=2048 \
    -fork=1 -ignore_ooms=0 -detect_leaks=0 \
    -dict="$fuzz_dir/morvastelle.dict" -artifact_prefix="$artifacts/" \
    -keep_seed=1 -print_final_stats=1 ${FUZZ_FLAGS:-} \
    "$corpus" "$fuzz_dir/corpus"
