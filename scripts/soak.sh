#!/usr/bin/env bash
# Soak run of the service module: 30 minutes at 50,000 events/s with
# Interval=10, a relay listener and cleanup runs over a 10,000-file tree.
#   scripts/soak.sh            the full run
#   scripts/soak.sh --quick    2 minutes
#   scripts/soak.sh [BUILD_DIR] [bench_soak options...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=1800
if [ "${1:-}" = "--quick" ]; then
  seconds=120
  shift
fi
build=${1:-build}
shift || true
bash scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_soak
"$build/bench/soak/bench_soak" --seconds "$seconds" --rate 50000 --interval 10 --tree 10000 --cleanup-every 60 "$@"
