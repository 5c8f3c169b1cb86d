#!/usr/bin/env bash
# A short tour of KVLogServer: builds the programs, runs the service under
# svcrun (which plays systemd) in a throw-away platform root, sends a few
# events, shows a relay arriving, the log files and the event log entries,
# then stops the service and shows its last log file.
#
# Writes nothing outside the build folder and a temporary folder that it
# removes at the end; leaves nothing running.
#   scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh programs

build=${1:-build-demo}
root=$(mktemp -d "${TMPDIR:-/tmp}/kvlogserver-demo.XXXXXX")
pids=()

cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$root"
}
trap cleanup EXIT

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
  local limit=$(($1 * 10))
  shift
  for ((i = 0; i < limit; i++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# A UDP port that no socket of this machine holds.
udp_port_in_use() {
  local hex
  hex=$(printf '%04X' "$1")
  grep -qs ":$hex " /proc/net/udp /proc/net/udp6
}
free_udp_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    if ! udp_port_in_use "$port" && [ "$port" != "${2:-}" ]; then
      echo "$port"
      return
    fi
  done
}

# Shows a log file with its CR LF line ends taken off.
show_file() { sed 's/\r$//; s/^/    /' "$1"; }

# Release at -O2: g++ 12 at -O3 reports a false -Wrestrict in std::string
# concatenation, which -Werror turns into an error.
say "Building kvlogserver, svcrun, kvlogsend and kvlogwatch (Release) in $build"
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF &&
  cmake --build "$build" -j"$(nproc)" --target kvlogserver svcrun kvlogsend kvlogwatch; } >"$root/build.log" 2>&1; then
  cat "$root/build.log"
  exit 1
fi
server=$build/src/app/kvlogserver
svcrun=$build/tools/svcrun/kvsvcrun
send=$build/tools/kvlogsend/kvlogsend
watch=$build/tools/kvlogwatch/kvlogwatch

# The platform root stands for "/": the INI file and the logs go below its
# opt/ (the POSIX counterpart of "C:\Program Files"). There is no syslog
# socket at <root>/dev/log, so the event log entries go to standard error.
export LC_ALL=C
receive_port=$(free_udp_port)
repeat_port=$(free_udp_port "$receive_port")
config=$root/opt/KelvaneSystem
logs=$config/Logs
mkdir -p "$config"
printf '[KVLogService]\r\nReceivePort=%s\r\nRepeatPort=%s\r\nInterval=3600\r\nFolder=%s\r\nLogKeepDays=30\r\n' \
  "$receive_port" "$repeat_port" "$logs" >"$config/KVLogService.ini"
say "Platform root $root, settings in opt/KelvaneSystem/KVLogService.ini"
show_file "$config/KVLogService.ini"

say "Listening on the repeat port $repeat_port for relays (kvlogwatch)"
"$watch" --port "$repeat_port" --count 3 --timeout 40 >"$root/relays.txt" 2>"$root/watch.err" &
pids+=($!)
wait_for 10 grep -q listening "$root/watch.err" || { cat "$root/watch.err"; exit 1; }
cat "$root/watch.err"

say "Starting the service: svcrun --root <root> kvlogserver"
"$svcrun" --root "$root" --start-timeout 20 "$server" >"$root/svcrun.log" 2>&1 &
svcrun_pid=$!
pids+=("$svcrun_pid")
if ! wait_for 20 grep -q "state RUNNING" "$root/svcrun.log"; then
  cat "$root/svcrun.log"
  exit 1
fi
sed 's/^/    /' "$root/svcrun.log"

say "Sending three events with kvlogsend to port $receive_port"
# Shows the command line, then sends.
send_event() {
  printf '    kvlogsend --port %s' "$receive_port"
  printf " '%s'" "$@"
  printf '\n'
  "$send" --port "$receive_port" "$@"
}
send_event Backup JobRunner 2 1007 "Copy finished: 12 files"
send_event '$A$Demo' 'デモ' 4 0 'こんにちは、世界 (UTF-8 variant)'
send_event Demo Script 4 0 '$FLUSHLOG$ save the buffer now'

say "Relays that arrived on the repeat port (a new time and tag, event code 0)"
wait_for 10 test "$(wc -l <"$root/relays.txt")" -ge 3 || true
sed 's/^/    /' "$root/relays.txt"

say "The flush command saved the buffer"
wait_for 10 compgen -G "$logs/kvs*.log" >/dev/null || true
ls -l "$logs"
first=$(ls "$logs"/kvs*.log | head -n 1)
echo "  $first:"
show_file "$first"

# A second on, so that the last file gets a name of its own.
sleep 1
say "Stopping the service (SIGTERM to svcrun, passed on as a stop request)"
kill -TERM "$svcrun_pid"
if ! wait_for 20 bash -c "! kill -0 $svcrun_pid 2>/dev/null"; then
  echo "the service did not stop" >&2
  exit 1
fi
wait "$svcrun_pid" && status=0 || status=$?
echo "  svcrun ended with exit code $status"

say "Status reports (svcrun) and event log entries (standard error, 'SOURCE: text')"
sed 's/^/    /' "$root/svcrun.log"

say "The last log file, written at the stop"
last=$(ls "$logs"/kvs*.log | tail -n 1)
echo "  $last:"
show_file "$last"

say "Done; the temporary root is removed"
