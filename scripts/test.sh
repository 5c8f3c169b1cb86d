#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
#   scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=${1:-build}
shift || true
# The tests are switched on whatever an earlier configuration of the folder
# said (the README's package block builds in `build` without them).
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DKV_BUILD_TESTS=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300 --no-tests=error
