#!/usr/bin/env bash
# The service against rsyslog doing the same job, under the same paced load:
# UDP events in, every one written to a file and forwarded to a UDP port on
# 127.0.0.1 where a listener counts. kvlogserver runs under svcrun with its
# own platform root; rsyslog (Debian's package, installed here when missing)
# runs imudp -> omfile + omfwd with the same 8 MiB receive buffer the
# service asks for. Runs alternate between the two at every rate.
#
# Prints per run: sent, lines saved, relays received, lost (the larger of
# the two shortfalls), CPU seconds per million datagrams (the receiving
# process, user + system, until it went idle), and per system the highest
# paced rate below the first loss. Then: a 1-second main-thread stall of a
# started module at 100,000/s, and kvlogsend piping 100,000 lines.
#
#   bench/load/run.sh [BUILD_DIR] [SECONDS] [RATES...]
#   (default: build, 10 s, 20000 50000 100000 150000 200000 300000 0; 0 = unthrottled)
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${1:-build}
seconds=${2:-10}
shift 2 2>/dev/null || shift $#
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(20000 50000 100000 150000 200000 300000 0)

server=$build/src/app/kvlogserver
svcrun=$build/tools/svcrun/svcrun
kvlogsend=$build/tools/kvlogsend/kvlogsend
send=$build/bench/load/kvload_send
count=$build/bench/load/kvload_count
stall=$build/bench/load/kvload_stall
for tool in "$server" "$svcrun" "$kvlogsend" "$send" "$count" "$stall"; do
  [ -x "$tool" ] || { echo "missing $tool: build the project first (cmake --build $build)" >&2; exit 1; }
done

if ! command -v rsyslogd >/dev/null; then
  echo "installing rsyslog for the comparison" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq rsyslog >/dev/null
fi
rsyslogd=$(command -v rsyslogd)

work=$(mktemp -d "${TMPDIR:-/tmp}/kvload.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

udp_port_in_use() { grep -qsi ":$(printf '%04X' "$1") " /proc/net/udp /proc/net/udp6; }
free_udp_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    if ! udp_port_in_use "$port" && [ "$port" != "${1:-}" ]; then echo "$port"; return; fi
  done
}
wait_for() {
  local limit=$(($1 * 10)); shift
  for ((i = 0; i < limit; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}
# user + system CPU ticks of a process
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
# Waits until a process has used no CPU for half a second (at most 20 s).
wait_idle() {
  local last now
  last=$(cpu_ticks "$1")
  for ((i = 0; i < 40; i++)); do
    sleep 0.5
    now=$(cpu_ticks "$1")
    [ "$now" = "$last" ] && return 0
    last=$now
  done
}
# Starts a counter on a free port of its own choosing; sets counter_port.
start_counter() { # match outfile
  "$count" 0 "$1" >"$2" 2>"$2.err" &
  counter_pid=$!
  pids+=("$counter_pid")
  wait_for 10 grep -qs listening "$2.err"
  counter_port=$(awk '/listening/ {print $2}' "$2.err")
}
stop_counter() { # outfile
  kill -TERM "$counter_pid"
  wait "$counter_pid" || true
  awk '/received/ {print $2}' "$1"
  grep -qs received "$1" || { echo "counter gave no count:" >&2; cat "$1" "$1.err" >&2; }
}
tick=$(getconf CLK_TCK)

# --- one run of kvlogserver; prints "sent saved relayed cpu_seconds"
run_kv() { # rate seconds
  local dir=$work/kv.$RANDOM rp relay svc pid c0 c1 sent saved relayed
  mkdir -p "$dir/opt/KelvaneSystem/Logs"
  start_counter BenchApp "$dir/relays"
  relay=$counter_port
  rp=$(free_udp_port "$relay")
  printf '[KVLogService]\r\nReceivePort=%s\r\nRepeatPort=%s\r\nInterval=3600\r\nFolder=%s\r\nLogKeepDays=30\r\n' \
    "$rp" "$relay" "$dir/opt/KelvaneSystem/Logs" >"$dir/opt/KelvaneSystem/KVLogService.ini"
  "$svcrun" --root "$dir" --start-timeout 20 "$server" >"$dir/svcrun.log" 2>&1 &
  svc=$!
  pids+=("$svc")
  wait_for 20 grep -qs "state RUNNING" "$dir/svcrun.log"
  pid=$(pgrep -P "$svc" | head -n 1)
  c0=$(cpu_ticks "$pid")
  sent=$("$send" "$rp" "$1" "$2" | awk '{print $2}')
  wait_idle "$pid"
  c1=$(cpu_ticks "$pid")
  kill -TERM "$svc"
  wait "$svc" || true
  relayed=$(stop_counter "$dir/relays")
  saved=$(cat "$dir"/opt/KelvaneSystem/Logs/kvs*.log | grep -c BenchApp || true)
  echo "${sent:-0} ${saved:-0} ${relayed:-0} $(echo "($c1 - $c0) / $tick" | bc -l)"
  [ "${KEEP:-}" ] && cat "$dir/relays" "$dir/relays.err" >&2
  rm -rf "$dir"
}

# --- one run of rsyslog doing the same job
run_rsyslog() { # rate seconds
  local dir=$work/rs.$RANDOM rp relay pid c0 c1 sent saved relayed
  mkdir -p "$dir"
  start_counter BenchApp "$dir/relays"
  relay=$counter_port
  rp=$(free_udp_port "$relay")
  cat >"$dir/rsyslog.conf" <<EOF
global(workDirectory="$dir")
module(load="imudp")
input(type="imudp" address="127.0.0.1" port="$rp" rcvbufSize="8m")
action(type="omfile" file="$dir/messages.log")
action(type="omfwd" target="127.0.0.1" port="$relay" protocol="udp")
EOF
  "$rsyslogd" -n -f "$dir/rsyslog.conf" -i "$dir/rsyslog.pid" >"$dir/rsyslog.out" 2>&1 &
  pid=$!
  pids+=("$pid")
  wait_for 20 udp_port_in_use "$rp"
  sleep 0.3
  c0=$(cpu_ticks "$pid")
  sent=$("$send" "$rp" "$1" "$2" | awk '{print $2}')
  wait_idle "$pid"
  c1=$(cpu_ticks "$pid")
  kill -TERM "$pid"
  wait "$pid" || true
  relayed=$(stop_counter "$dir/relays")
  saved=$(grep -c BenchApp "$dir/messages.log" || true)
  echo "${sent:-0} ${saved:-0} ${relayed:-0} $(echo "($c1 - $c0) / $tick" | bc -l)"
  [ "${KEEP:-}" ] && cat "$dir/relays" "$dir/relays.err" >&2
  rm -rf "$dir"
}

declare -A best=([kvlogserver]=0 [rsyslog]=0) lossy=([kvlogserver]=0 [rsyslog]=0) cpu100=()
printf '%-12s %10s %10s %10s %10s %8s %12s\n' system rate/s sent saved relayed lost "CPU s/1M"
report() { # system rate sent saved relayed cpu
  local lost=$(($3 - $4)) relay_lost=$(($3 - $5)) per
  [ "$relay_lost" -gt "$lost" ] && lost=$relay_lost
  per=$(echo "$6 * 1000000 / $3" | bc -l)
  local label=$2
  [ "$2" = 0 ] && label=$(printf 'max(%d/s)' $(($3 / seconds)))
  printf '%-12s %10s %10d %10d %10d %8d %12.2f\n' "$1" "$label" "$3" "$4" "$5" "$lost" "$per"
  if [ "$2" != 0 ]; then
    if [ "$lost" -eq 0 ] && [ "${lossy[$1]}" = 0 ]; then best[$1]=$2; fi
    [ "$lost" -ne 0 ] && lossy[$1]=1
    [ "$2" = 100000 ] && cpu100[$1]=$per
  fi
  return 0
}

flip=0
for rate in "${rates[@]}"; do
  # Alternate which system goes first.
  if [ $flip = 0 ]; then order=(kvlogserver rsyslog); flip=1; else order=(rsyslog kvlogserver); flip=0; fi
  for system in "${order[@]}"; do
    if [ "$system" = kvlogserver ]; then r=$(run_kv "$rate" "$seconds"); else r=$(run_rsyslog "$rate" "$seconds"); fi
    # shellcheck disable=SC2086
    report "$system" "$rate" $r
  done
done

echo
echo "highest zero-loss paced rate: kvlogserver ${best[kvlogserver]}/s, rsyslog ${best[rsyslog]}/s"
if [ -n "${cpu100[kvlogserver]:-}" ] && [ -n "${cpu100[rsyslog]:-}" ]; then
  printf 'CPU per datagram at 100,000/s: kvlogserver %.2f us, rsyslog %.2f us, ratio %.2f\n' \
    "${cpu100[kvlogserver]}" "${cpu100[rsyslog]}" "$(echo "${cpu100[kvlogserver]} / ${cpu100[rsyslog]}" | bc -l)"
fi

echo
"$stall" 100000 1 || true

echo
# kvlogsend reading 100,000 lines from a pipe as fast as it can.
dir=$work/pipe
mkdir -p "$dir/opt/KelvaneSystem/Logs"
start_counter "bulk line" "$dir/relays"
relay=$counter_port
rp=$(free_udp_port "$relay")
printf '[KVLogService]\r\nReceivePort=%s\r\nRepeatPort=%s\r\nInterval=3600\r\nFolder=%s\r\nLogKeepDays=30\r\n' \
  "$rp" "$relay" "$dir/opt/KelvaneSystem/Logs" >"$dir/opt/KelvaneSystem/KVLogService.ini"
"$svcrun" --root "$dir" --start-timeout 20 "$server" >"$dir/svcrun.log" 2>&1 &
svc=$!
pids+=("$svc")
wait_for 20 grep -qs "state RUNNING" "$dir/svcrun.log"
seq 1 100000 | sed 's/^/bulk line /' | "$kvlogsend" --port "$rp" Bulk gen 1 0
wait_idle "$(pgrep -P "$svc" | head -n 1)"
kill -TERM "$svc"
wait "$svc" || true
relayed=$(stop_counter "$dir/relays")
saved=$(cat "$dir"/opt/KelvaneSystem/Logs/kvs*.log | grep -c "bulk line" || true)
echo "kvlogsend piping 100000 lines: saved $saved, relayed $relayed"
