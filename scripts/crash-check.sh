#!/usr/bin/env bash
# Power cuts, replayed (docs/crash-safety.md): builds kvlogserver and
# kvsvcrun, records every file-system call the service makes on its folders
# during a workload that walks every branch of the save path, builds STATES
# crash states of those calls under two models of what a power cut leaves,
# starts the service on each (recovery), stops it and checks the log files.
# Ends with "N crash states, M violations"; exit 0 only when M is 0.
#   scripts/crash-check.sh [STATES] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh crash
states=${1:-300}
build=${2:-build-crash}
# A build folder configured already (CI's) is used as it is; a new one is
# Release at -O2, as scripts/demo.sh builds it.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { { [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF; } &&
  cmake --build "$build" -j"$(nproc)" --target kvlogserver svcrun; } >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
/usr/bin/python3 tools/crashcheck/crash_check.py --build "$build" --work "$build/crash-check" --states "$states"
