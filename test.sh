#!/usr/bin/env bash
# Builds the plugin and its tests, and runs the whole suite with ctest.
# With CI=true it also runs the long checks (see tests/CMakeLists.txt) and
# treats compiler warnings as errors. The tests' packages are required: a
# missing one fails the configure rather than leaving tests out.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh libgtest-dev libbenchmark-dev

ci=OFF
[ "${CI:-}" = true ] && ci=ON
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=ON -DMORVASTELLE_REQUIRE_TESTS=ON \
    -DMORVASTELLE_WERROR=$ci -DMORVASTELLE_EXTENDED_TESTS=$ci
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)"
