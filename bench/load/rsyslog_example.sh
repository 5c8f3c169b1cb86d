#!/usr/bin/env bash
# The rsyslog example (examples/rsyslog/kvlogserver-relay.conf) against a
# plain rsyslog doing the same job without splitting the fields (imudp ->
# omfile + omfwd over TCP), under the same paced load of event datagrams
# as the service's relay sends them. Both forward to a second rsyslog, the
# collector, that writes what it gets. Runs alternate between the two at
# every rate; each prints sent, lines in its file, lines at the collector
# and rsyslog's CPU seconds per million events, then the highest paced rate
# with nothing lost for each and the CPU ratio at 50,000/s.
#
#   bench/load/rsyslog_example.sh [BUILD_DIR] [SECONDS] [RATES...]
#   (default: build, 10 s, 20000 50000 100000 150000)
#   KV_RSYSLOG_EXAMPLE=FILE measures another variant of the example.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${1:-build}
seconds=${2:-10}
shift 2 2>/dev/null || shift $#
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(20000 50000 100000 150000)
send=$build/bench/load/kvload_send
[ -x "$send" ] || { echo "missing $send: build the project first (cmake --build $build)" >&2; exit 1; }
if ! command -v rsyslogd >/dev/null; then
  echo "installing rsyslog for the comparison" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq rsyslog >/dev/null
fi
rsyslogd=$(command -v rsyslogd)
example=${KV_RSYSLOG_EXAMPLE:-$PWD/examples/rsyslog/kvlogserver-relay.conf}

work=$(mktemp -d "${TMPDIR:-/tmp}/kvrsyslog.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

port_in_use() { grep -qsi ":$(printf '%04X' "$1") " /proc/net/udp /proc/net/udp6 /proc/net/tcp; }
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    port_in_use "$port" || { echo "$port"; return; }
  done
}
wait_for() {
  local limit=$(($1 * 10)) i
  shift
  for ((i = 0; i < limit; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
wait_idle() {
  local last now i
  last=$(cpu_ticks "$1")
  for ((i = 0; i < 40; i++)); do
    sleep 0.5
    now=$(cpu_ticks "$1")
    [ "$now" = "$last" ] && return 0
    last=$now
  done
}
count_lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }
tick=$(getconf CLK_TCK)

# --- one run; prints "sent filed forwarded cpu_seconds"
run_one() { # kind rate seconds
  local dir=$work/$1.$RANDOM in fwd pid collector c0 c1 sent
  mkdir -p "$dir/relay" "$dir/site"
  in=$(free_port)
  fwd=$(free_port)
  cat >"$dir/site/rsyslog.conf" <<CONF
global(workDirectory="$dir/site")
module(load="imtcp")
template(name="raw" type="string" string="%rawmsg%\n")
input(type="imtcp" address="127.0.0.1" port="$fwd" ruleset="site")
ruleset(name="site") { action(type="omfile" file="$dir/site/received.log" template="raw") }
CONF
  if [ "$1" = example ]; then
    sed -e "s|port=\"2057\"|port=\"$in\"|" -e "s|port=\"5140\"|port=\"$fwd\"|" \
      -e "s|/var/log/kvlogserver/|$dir/relay/|" "$example" >"$dir/relay/example.conf"
  else
    cat >"$dir/relay/example.conf" <<CONF
module(load="imudp")
ruleset(name="plain") {
  action(type="omfile" file="$dir/relay/relay.log")
  action(type="omfwd" target="127.0.0.1" port="$fwd" protocol="tcp"
         queue.type="LinkedList" queue.size="100000" action.resumeRetryCount="-1")
}
input(type="imudp" address="127.0.0.1" port="$in" ruleset="plain" rcvbufSize="8m")
CONF
  fi
  printf 'global(workDirectory="%s")\ninclude(file="%s")\n' "$dir/relay" "$dir/relay/example.conf" \
    >"$dir/relay/rsyslog.conf"
  "$rsyslogd" -n -f "$dir/site/rsyslog.conf" -i "$dir/site/pid" >"$dir/site/out" 2>&1 &
  collector=$!
  pids+=("$collector")
  "$rsyslogd" -n -f "$dir/relay/rsyslog.conf" -i "$dir/relay/pid" >"$dir/relay/out" 2>&1 &
  pid=$!
  pids+=("$pid")
  wait_for 20 port_in_use "$in"
  wait_for 20 port_in_use "$fwd"
  sleep 0.3
  c0=$(cpu_ticks "$pid")
  sent=$("$send" "$in" "$2" "$3" | awk '{print $2}')
  wait_idle "$pid"
  wait_idle "$collector"
  c1=$(cpu_ticks "$pid")
  kill -TERM "$pid" "$collector"
  wait "$pid" "$collector" || true
  echo "${sent:-0} $(count_lines "$dir/relay/relay.log") $(count_lines "$dir/site/received.log") $(echo "($c1 - $c0) / $tick" | bc -l)"
  rm -rf "$dir"
}

declare -A best=([example]=0 [plain]=0) lossy=([example]=0 [plain]=0) cpu50=()
printf '%-8s %10s %10s %10s %10s %12s\n' config rate/s sent filed forwarded "CPU s/1M"
flip=0
for rate in "${rates[@]}"; do
  if [ $flip = 0 ]; then order=(example plain); flip=1; else order=(plain example); flip=0; fi
  for kind in "${order[@]}"; do
    read -r sent filed forwarded cpu <<<"$(run_one "$kind" "$rate" "$seconds")"
    per=$(echo "$cpu * 1000000 / $sent" | bc -l)
    printf '%-8s %10s %10d %10d %10d %12.2f\n' "$kind" "$rate" "$sent" "$filed" "$forwarded" "$per"
    if [ "$filed" -ge "$sent" ] && [ "$forwarded" -ge "$sent" ] && [ "${lossy[$kind]}" = 0 ]; then
      best[$kind]=$rate
    else
      lossy[$kind]=1
    fi
    [ "$rate" = 50000 ] && cpu50[$kind]=$per
  done
done
echo
echo "highest zero-loss paced rate: example ${best[example]}/s, plain ${best[plain]}/s"
if [ -n "${cpu50[example]:-}" ] && [ -n "${cpu50[plain]:-}" ]; then
  printf 'CPU per event at 50,000/s: example %.2f us, plain %.2f us, ratio %.2f\n' \
    "${cpu50[example]}" "${cpu50[plain]}" "$(echo "${cpu50[example]} / ${cpu50[plain]}" | bc -l)"
fi
