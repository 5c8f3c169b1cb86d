#!/usr/bin/env bash
# Builds with ThreadSanitizer the tests in which threads meet (message
# queues and cross-thread sends, timers, the dispatcher and the control
# handler, the request thread, the service's start/stop/pause, svcrun and the
# real program under it, the receive reader thread under load, the relay
# thread, the buffer file's durability thread) and runs them. Any data race or lock-order report
# fails the run. Suppressions, each explained, are in scripts/tsan.supp.
#   scripts/tsan.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-tsan}
bash scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE_THREAD=ON -DKV_BUILD_BENCH=OFF >/dev/null
targets=(platform_tests svchost_tests svcrun_tests base_tests app_tests kvlogserver_tests
         logsvc_tests net_tests buffer_file_tests)
[ -f tests/faults/CMakeLists.txt ] && targets+=(fault_tests)
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

suites=(
  # messages, timers, sockets with read notifications
  FilterTest QuitTest SendMessageTest ThreadIdTest ThreadMessageTest TimerTest WindowTest AsyncSelectTest
  WinsockDatagramTest TimerComponentTest AppFailureTest MsgRecvTest
  # the receive reader thread under load, the relay thread, the buffer file's
  # durability thread
  IntakeLoadTest IntakeFuzzTest RelaySenderTest LogBufferTest BufferFile
  # the dispatcher, control handler, request thread and status reports
  Dispatcher ServiceRequests ServiceProcess Svcrun EventLogger
  # the service application and the program: start, pause, continue, stop
  ServiceApplication WindowApplication KVLogServer LifecycleTest WriterTest IntakeTest
  # injected failures on the real program (its buffer file on a full disk
  # too), a stop during a cleanup run
  FaultTest BufferFaultTest CleanupStopTest LockstepTest
)
regex="^($(IFS='|'; echo "${suites[*]}"))\\."
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp ${TSAN_OPTIONS:-}"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 600 -R "$regex"
