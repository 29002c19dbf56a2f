#!/usr/bin/env bash
# Builds the plugin and its tests, and runs the whole suite with ctest.
# With CI=true it also runs the long checks (see tests/CMakeLists.txt) and
# treats compiler warnings as errors.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

ci=OFF
[ "${CI:-}" = true ] && ci=ON
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMORVASTELLE_WERROR=$ci -DMORVASTELLE_EXTENDED_TESTS=$ci
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)"
