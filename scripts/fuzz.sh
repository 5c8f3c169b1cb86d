#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UBSan)
# and runs each for a fixed time on its seed corpus and dictionary. Fails on
# any crash, broken rule, leak, timeout or sanitizer report; the input that
# caused it is kept in BUILD_DIR/fuzz-findings.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [BUILD_DIR] [TARGET...]
# With KV_FUZZ_RUNS=N each target stops after N executions instead (give 0
# seconds for no time limit): the long local runs.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=${2:-build-fuzz}
shift 2 || shift $# || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(datagram profile registry unit_file notify_status kvlogserver_args kvlogsend_args buffer_file)

KV_NEED_CLANG=1 bash scripts/install-deps.sh
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_BUILD_FUZZ=ON \
  -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target $(printf '%s_fuzz ' "${targets[@]}")

# The targets write their files under a private folder of TMPDIR; memory is
# faster than disk when there is some.
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

findings="$build/fuzz-findings"
mkdir -p "$findings"
failed=()
for t in "${targets[@]}"; do
  work="$build/fuzz-corpus/$t"
  mkdir -p "$work"
  log="$build/fuzz-$t.log"
  echo "== $t: ${seconds} s"
  # Longer inputs than the reader can meet only slow the search down.
  case $t in
    datagram) max_len=2048 ;;  # the receiver reads at most this much
    notify_status|kvlogserver_args|kvlogsend_args) max_len=1024 ;;
    *) max_len=4096 ;;
  esac
  limits=(-max_total_time="$seconds")
  [ -z "${KV_FUZZ_RUNS:-}" ] || limits+=(-runs="$KV_FUZZ_RUNS")
  status=0
  "$build/fuzz/${t}_fuzz" "${limits[@]}" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -dict="fuzz/dict/$t.dict" -artifact_prefix="$findings/$t-" "$work" "fuzz/corpus/$t" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  rate=$(grep -o 'exec/s: [0-9]*' "$log" | tail -1)
  echo "   runs ${runs:-?}, ${cov:-no coverage line}, ${rate:-exec/s: ?}, corpus $(find "$work" -type f | wc -l) files"
  if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|rule broken' "$log"; then
    echo "   FAILED (exit $status):"
    grep -E 'rule broken|ERROR:|runtime error:|SUMMARY|Test unit written' "$log" | head -20 | sed 's/^/   /'
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "Fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "Fuzzing: no findings"
