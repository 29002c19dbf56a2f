#!/usr/bin/env bash
# Configures and builds the plugin from SOURCE_DIR as a user with only the
# host's development package does (GTest and benchmark made unfindable),
# with warnings as errors, in a folder of its own. The configure must say
# the tests and the benchmark are skipped, and the plugin must be built.
# It is built again as a packager does, Release with warnings as errors:
# optimisers warn of what the default build never shows. Then
# MORVASTELLE_REQUIRE_TESTS=ON must turn the same missing packages into a
# configure error that names them.
#
# Usage: tests/plain_build_test.sh SOURCE_DIR [CXX_COMPILER]
#
# SPDX-License-Identifier: GPL-2.0-or-later

set -euo pipefail

source_dir=${1:?usage: $0 SOURCE_DIR [CXX_COMPILER]}
compiler=()
[ -n "${2:-}" ] && compiler=(-DCMAKE_CXX_COMPILER="$2")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
without_test_packages=(-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)

fail() {
    echo "FAIL: $1" >&2
    [ -f "$2" ] && cat "$2" >&2
    exit 1
}

cmake -S "$source_dir" -B "$work/build" "${compiler[@]}" "${without_test_packages[@]}" \
    -DMORVASTELLE_WERROR=ON > "$work/configure.log" 2>&1 \
    || fail "configure without GTest and benchmark" "$work/configure.log"
grep -q 'GTest not found (Debian: libgtest-dev): the in-process tests .* are skipped' "$work/configure.log" \
    || fail "configure does not say the in-process tests are skipped" "$work/configure.log"
grep -q 'benchmark not found (Debian: libbenchmark-dev): the benchmark .* is skipped' "$work/configure.log" \
    || fail "configure does not say the benchmark is skipped" "$work/configure.log"

cmake --build "$work/build" > "$work/build.log" 2>&1 || fail "build with -Werror" "$work/build.log"
[ -f "$work/build/plugins/morvastelle/morvastelle.so" ] || fail "no morvastelle.so" "$work/build.log"

cmake -S "$source_dir" -B "$work/release" "${compiler[@]}" "${without_test_packages[@]}" \
    -DCMAKE_BUILD_TYPE=Release -DMORVASTELLE_WERROR=ON > "$work/release-configure.log" 2>&1 \
    || fail "Release configure" "$work/release-configure.log"
cmake --build "$work/release" > "$work/release.log" 2>&1 || fail "Release build with -Werror" "$work/release.log"

ctest --test-dir "$work/build" -N > "$work/tests.log"
! grep -Eq 'dissector_test|tap_test|bench_' "$work/tests.log" \
    || fail "tests said to be skipped are registered" "$work/tests.log"

if cmake -S "$source_dir" -B "$work/required" "${compiler[@]}" "${without_test_packages[@]}" \
        -DMORVASTELLE_REQUIRE_TESTS=ON > "$work/required.log" 2>&1; then
    fail "MORVASTELLE_REQUIRE_TESTS=ON configured without GTest and benchmark" "$work/required.log"
fi
# (CMake wraps the error's lines.)
for expected in 'MORVASTELLE_REQUIRE_TESTS is ON' 'GTest and benchmark' libgtest-dev libbenchmark-dev; do
    grep -q "$expected" "$work/required.log" \
        || fail "the configure error does not say '$expected'" "$work/required.log"
done

grep -E 'not found .*skipped' "$work/configure.log"
echo "plain build: $(du -h "$work/build/plugins/morvastelle/morvastelle.so" | cut -f1) morvastelle.so, tests skipped as said; Release build warning-free"
