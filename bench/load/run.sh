#!/usr/bin/env bash
# The service against two peers under the same paced load: Debian's rsyslog
# (imudp) and syslog-ng (network udp source), each in two configurations:
# "file" (every event to one file) and "fwd", the service's own job (every
# event to one file and forwarded to a UDP port on 127.0.0.1, where a
# listener counts). kvlogserver runs under svcrun with its own platform root,
# with a relay listener ("kv") and without one ("kv-nolisten"). Every
# receiver gets the same 8 MiB receive buffer the service asks for. rsyslog
# is installed when missing; syslog-ng-core conflicts with rsyslog as a
# package, so its binary is unpacked from the package into a cache folder
# (its libraries installed with apt-get) and run from there with a config of
# its own. The systems take turns at every rate, in a rotating order, and
# the whole matrix is repeated RUNS times.
#
# Prints per run: sent, lines saved, relays received, lost (the larger of
# the two shortfalls), CPU seconds per million datagrams saved (the
# receiving process, user + system, until it went idle), and for the service its
# peak resident memory and the datagrams its loss warnings counted. Then
# one table: received per second unthrottled (median), zero-loss runs at
# 300,000/s, CPU per datagram at 100,000/s and 300,000/s (medians), and the
# service's ratios to the best peer doing the same job and the best peer
# writing a file only. Then: a 1-second main-thread stall of a started
# module at 100,000/s, and kvlogsend piping 100,000 lines.
#
#   bench/load/run.sh [BUILD_DIR] [SECONDS] [RATES...]
#   (default: build, 10 s, 20000 50000 100000 150000 200000 300000 0; 0 = unthrottled)
#   RUNS=3 (repetitions), SYSTEMS="kv kv-nolisten rsyslog-file rsyslog-fwd syslog-ng-file syslog-ng-fwd"
#   KV_BENCH_CACHE=DIR (where the unpacked syslog-ng stays; default ~/.cache/kvlogserver-bench)
#   BASE_BUILD=DIR adds "kv-base": the kvlogserver of another build (an earlier
#   commit), with a relay listener, to measure a change within the same runs
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${1:-build}
seconds=${2:-10}
shift 2 2>/dev/null || shift $#
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(20000 50000 100000 150000 200000 300000 0)

server=$build/src/app/kvlogserver
svcrun=$build/tools/svcrun/kvsvcrun
kvlogsend=$build/tools/kvlogsend/kvlogsend
send=$build/bench/load/kvload_send
count=$build/bench/load/kvload_count
stall=$build/bench/load/kvload_stall
for tool in "$server" "$svcrun" "$kvlogsend" "$send" "$count" "$stall"; do
  [ -x "$tool" ] || { echo "missing $tool: build the project first (cmake --build $build)" >&2; exit 1; }
done

runs=${RUNS:-3}
read -r -a systems <<<"${SYSTEMS:-kv kv-nolisten rsyslog-file rsyslog-fwd syslog-ng-file syslog-ng-fwd}"
if [ -n "${BASE_BUILD:-}" ]; then
  base_server=$BASE_BUILD/src/app/kvlogserver
  [ -x "$base_server" ] || { echo "missing $base_server" >&2; exit 1; }
  systems+=(kv-base)
fi

if ! command -v rsyslogd >/dev/null; then
  echo "installing rsyslog for the comparison" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq rsyslog >/dev/null
fi
rsyslogd=$(command -v rsyslogd)

# syslog-ng: the installed one, or the package's binary unpacked once into
# the cache (the package itself would replace rsyslog).
syslogng=$(command -v syslog-ng || true)
syslogng_env=()
syslogng_args=()
if [ -z "$syslogng" ]; then
  cache=${KV_BENCH_CACHE:-$HOME/.cache/kvlogserver-bench}/syslog-ng
  if [ ! -x "$cache/root/usr/sbin/syslog-ng" ]; then
    echo "unpacking syslog-ng-core for the comparison into $cache" >&2
    mkdir -p "$cache"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libcap2 libglib2.0-0 libivykis0 libjson-c5 libnet1 \
      libpcre3 libssl3 libsystemd0 libwrap0 >/dev/null
    (cd "$cache" && rm -f syslog-ng-core_*.deb && apt-get download -qq syslog-ng-core 2>/dev/null &&
      dpkg-deb -x syslog-ng-core_*.deb root) || echo "syslog-ng-core could not be had; its runs are skipped" >&2
  fi
  if [ -x "$cache/root/usr/sbin/syslog-ng" ]; then
    syslogng=$cache/root/usr/sbin/syslog-ng
    syslogng_env=(LD_LIBRARY_PATH="$cache/root/usr/lib/syslog-ng")
    syslogng_args=(--module-path="$(ls -d "$cache"/root/usr/lib/syslog-ng/3.*)")
  fi
fi
syslogng_version=$([ -n "$syslogng" ] && env "${syslogng_env[@]}" "$syslogng" --version 2>/dev/null |
  awk '/^Config version/ {print $3; exit}')

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
# Prints the datagrams the counter took in and the CPU seconds it used.
stop_counter() { # outfile
  kill -TERM "$counter_pid"
  wait "$counter_pid" || true
  awk '/received/ {print $2, $6}' "$1"
  grep -qs received "$1" || { echo "counter gave no count:" >&2; cat "$1" "$1.err" >&2; }
}
tick=$(getconf CLK_TCK)
# The machine's idle and total CPU ticks, all cores.
machine_ticks() { awk '$1 == "cpu" {t = 0; for (i = 2; i <= NF; i++) t += $i; print $5 + $6, t; exit}' /proc/stat; }
# Share of the machine busy between two machine_ticks readings, in percent.
busy_percent() { # "idle0 total0" "idle1 total1"
  echo "$1 $2" | awk '{d = $4 - $2; printf "%.0f", (d > 0 ? 100 - 100 * ($3 - $1) / d : 0)}'
}
# Sends the load; sets sent, sender_cpu (the sender's CPU seconds) and busy
# (the machine's busy share while it sent, in percent).
send_load() { # port rate seconds
  local m0 m1 out
  m0=$(machine_ticks)
  out=$("$send" "$1" "$2" "$3")
  m1=$(machine_ticks)
  read -r _ sent _ sender_cpu <<<"$out"
  busy=$(busy_percent "$m0" "$m1")
}
# CPU ticks of each named thread of a process ("name ticks" lines); the
# threads that keep the program's name count as "main".
thread_ticks() {
  local t
  for t in /proc/"$1"/task/*; do
    echo "$(cat "$t/comm" 2>/dev/null) $(awk '{print $14 + $15}' "$t/stat" 2>/dev/null || echo 0)"
  done | awk -v program="$(cat /proc/"$1"/comm 2>/dev/null)" '{n[$1 == program ? "main" : $1] += $2} END {for (k in n) print k, n[k]}'
}

# Peak resident memory of a process in KiB.
peak_rss() { awk '/^VmHWM/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

# A run prints "sent saved relayed cpu_seconds peak_kib loss_reported
# sender_cpu_seconds listener_cpu_seconds machine_busy_percent threads",
# threads being "name:cpu_seconds,..." of the service's threads (else "-").
# --- one run of kvlogserver
run_kv() { # rate seconds listener(1|0) [server]
  local dir=$work/kv.$RANDOM rp relay svc pid c0 c1 sent saved relayed rss reported program=${4:-$server}
  local sender_cpu busy t0 t1 listener_cpu=0 threads
  mkdir -p "$dir/opt/KelvaneSystem/Logs"
  if [ "$3" = 1 ]; then
    start_counter BenchApp "$dir/relays"
    relay=$counter_port
  else
    relay=$(free_udp_port)
  fi
  rp=$(free_udp_port "$relay")
  printf '[KVLogService]\r\nReceivePort=%s\r\nRepeatPort=%s\r\nInterval=3600\r\nFolder=%s\r\nLogKeepDays=30\r\n' \
    "$rp" "$relay" "$dir/opt/KelvaneSystem/Logs" >"$dir/opt/KelvaneSystem/KVLogService.ini"
  "$svcrun" --root "$dir" --start-timeout 20 "$program" >"$dir/svcrun.log" 2>&1 &
  svc=$!
  pids+=("$svc")
  wait_for 20 grep -qs "state RUNNING" "$dir/svcrun.log"
  pid=$(pgrep -P "$svc" | head -n 1)
  c0=$(cpu_ticks "$pid")
  t0=$(thread_ticks "$pid")
  send_load "$rp" "$1" "$2"
  wait_idle "$pid"
  c1=$(cpu_ticks "$pid")
  t1=$(thread_ticks "$pid")
  threads=$(printf '%s\n' "$t0" "--" "$t1" | awk -v tick="$tick" '$1 == "--" {after = 1; next}
    !after {b[$1] = $2; next} {s = s (s ? "," : "") $1 ":" ($2 - b[$1]) / tick} END {print s ? s : "-"}')
  rss=$(peak_rss "$pid")
  kill -TERM "$svc"
  wait "$svc" || true
  relayed=$sent
  [ "$3" = 1 ] && read -r relayed listener_cpu <<<"$(stop_counter "$dir/relays")"
  saved=$(cat "$dir"/opt/KelvaneSystem/Logs/kvs*.log | grep -c BenchApp || true)
  # Without a syslog socket under the root the entries go to standard error.
  reported=$(grep -o 'lost [0-9]* datagrams' "$dir/svcrun.log" | awk '{n += $2} END {print n + 0}')
  echo "${sent:-0} ${saved:-0} ${relayed:-0} $(echo "($c1 - $c0) / $tick" | bc -l) ${rss:-0} ${reported:-0}" \
    "${sender_cpu:-0} ${listener_cpu:-0} ${busy:-0} $threads"
  [ "${KEEP:-}" ] && [ "$3" = 1 ] && cat "$dir/relays" "$dir/relays.err" >&2
  rm -rf "$dir"
}

# --- one run of a peer: starts it with a config for the job, sends, counts.
# run_peer rate seconds kind(rsyslog|syslog-ng) job(file|fwd)
run_peer() {
  local dir=$work/peer.$RANDOM rp relay pid c0 c1 sent saved relayed sender_cpu busy listener_cpu=0
  mkdir -p "$dir"
  if [ "$4" = fwd ]; then
    start_counter BenchApp "$dir/relays"
    relay=$counter_port
  else
    relay=0
  fi
  rp=$(free_udp_port "$relay")
  if [ "$3" = rsyslog ]; then
    {
      echo "global(workDirectory=\"$dir\")"
      echo 'module(load="imudp")'
      echo "input(type=\"imudp\" address=\"127.0.0.1\" port=\"$rp\" rcvbufSize=\"8m\")"
      echo "action(type=\"omfile\" file=\"$dir/messages.log\")"
      [ "$4" = fwd ] && echo "action(type=\"omfwd\" target=\"127.0.0.1\" port=\"$relay\" protocol=\"udp\")"
    } >"$dir/peer.conf"
    "$rsyslogd" -n -f "$dir/peer.conf" -i "$dir/peer.pid" >"$dir/peer.out" 2>&1 &
  else
    {
      echo "@version: $syslogng_version"
      # An output queue of 100,000 messages, as rsyslog's main queue (the
      # default of 10,000 drops bursts the destination has not written yet).
      echo 'options { stats-freq(0); log-fifo-size(100000); };'
      echo "source s_udp { network(transport(\"udp\") ip(\"127.0.0.1\") port($rp) so-rcvbuf(8388608)); };"
      echo "destination d_file { file(\"$dir/messages.log\"); };"
      [ "$4" = fwd ] && echo "destination d_fwd { network(\"127.0.0.1\" transport(\"udp\") port($relay)); };"
      if [ "$4" = fwd ]; then
        echo 'log { source(s_udp); destination(d_file); destination(d_fwd); };'
      else
        echo 'log { source(s_udp); destination(d_file); };'
      fi
    } >"$dir/peer.conf"
    env "${syslogng_env[@]}" "$syslogng" -F -f "$dir/peer.conf" "${syslogng_args[@]}" \
      --persist-file="$dir/peer.persist" --pidfile="$dir/peer.pid" --control="$dir/peer.ctl" >"$dir/peer.out" 2>&1 &
  fi
  pid=$!
  pids+=("$pid")
  wait_for 20 udp_port_in_use "$rp"
  sleep 0.3
  c0=$(cpu_ticks "$pid")
  send_load "$rp" "$1" "$2"
  wait_idle "$pid"
  c1=$(cpu_ticks "$pid")
  kill -TERM "$pid"
  wait "$pid" || true
  relayed=$sent
  [ "$4" = fwd ] && read -r relayed listener_cpu <<<"$(stop_counter "$dir/relays")"
  saved=$(grep -c BenchApp "$dir/messages.log" || true)
  echo "${sent:-0} ${saved:-0} ${relayed:-0} $(echo "($c1 - $c0) / $tick" | bc -l) 0 0" \
    "${sender_cpu:-0} ${listener_cpu:-0} ${busy:-0} -"
  [ "${KEEP:-}" ] && [ "$4" = fwd ] && cat "$dir/relays" "$dir/relays.err" >&2
  rm -rf "$dir"
}

run_system() { # system rate seconds
  case $1 in
    kv) run_kv "$2" "$3" 1 ;;
    kv-nolisten) run_kv "$2" "$3" 0 ;;
    kv-base) run_kv "$2" "$3" 1 "$base_server" ;;
    rsyslog-file) run_peer "$2" "$3" rsyslog file ;;
    rsyslog-fwd) run_peer "$2" "$3" rsyslog fwd ;;
    syslog-ng-file) run_peer "$2" "$3" syslog-ng file ;;
    syslog-ng-fwd) run_peer "$2" "$3" syslog-ng fwd ;;
  esac
}

# Only the systems that can run here.
active=()
for system in "${systems[@]}"; do
  if [[ $system == syslog-ng-* ]] && [ -z "$syslogng" ]; then continue; fi
  active+=("$system")
done

results=$work/results
: >"$results"
printf '%-15s %4s %12s %10s %10s %10s %8s %10s %8s %8s\n' system run rate/s sent saved relayed lost "CPU s/1M" "RSS MiB" reported
for ((run = 1; run <= runs; run++)); do
  shift_by=0
  for rate in "${rates[@]}"; do
    # A different system goes first at every rate and in every run.
    n=${#active[@]}
    order=()
    for ((i = 0; i < n; i++)); do order+=("${active[$(((i + shift_by + run) % n))]}"); done
    shift_by=$((shift_by + 1))
    for system in "${order[@]}"; do
      read -r sent saved relayed cpu rss reported sender_cpu listener_cpu busy threads \
        <<<"$(run_system "$system" "$rate" "$seconds")"
      lost=$((sent - saved))
      [ $((sent - relayed)) -gt "$lost" ] && lost=$((sent - relayed))
      # Per datagram taken in (saved): a datagram the kernel dropped costs
      # the receiver next to nothing, so per sent would flatter a lossy one.
      per=$(echo "$cpu * 1000000 / ($saved + ($saved == 0))" | bc -l)
      label=$rate
      [ "$rate" = 0 ] && label=$(printf 'max(%d/s)' $((sent / seconds)))
      mib=-
      [ "$rss" != 0 ] && mib=$((rss / 1024))
      rep=-
      [[ $system == kv* ]] && rep=$reported
      printf '%-15s %4d %12s %10d %10d %10d %8d %10.2f %8s %8s\n' "$system" "$run" "$label" "$sent" "$saved" \
        "$relayed" "$lost" "$per" "$mib" "$rep"
      echo "$system $rate $sent $saved $relayed $lost $per $rss $reported ${sender_cpu:-0} ${listener_cpu:-0} ${busy:-0} ${threads:--}" >>"$results"
    done
  done
done

# One table over all runs.
echo
awk -v seconds="$seconds" -v order="${active[*]}" '
  # One table row: the median of the list of each system, or "-" without one.
  function row(label, lists, format,    i, m) {
    printf "%-44s", label
    for (i = 1; i <= n; i++) { m = median(lists[names[i]]); printf " %15s", m == "" ? "-" : sprintf(format, m) }
    printf "\n"
  }
  function median(list,    n, a, i, j, t) {
    n = split(list, a, " ")
    if (n == 0) return ""
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  {
    sys = $1; rate = $2
    if (rate == 0) {
      unthrottled[sys] = unthrottled[sys] " " $4 / seconds; rss[sys] = $8 > rss[sys] ? $8 : rss[sys]
      # Where the two cores went while the sender flooded.
      sender0[sys] = sender0[sys] " " $10 * 1e6 / ($3 + ($3 == 0))
      receiver0[sys] = receiver0[sys] " " $7
      if ($11 > 0) listener0[sys] = listener0[sys] " " $11 * 1e6 / ($5 + ($5 == 0))
      busy0[sys] = busy0[sys] " " $12
      if ($13 != "-") {
        m = split($13, parts, ",")
        for (k = 1; k <= m; k++) {
          split(parts[k], nv, ":")
          threads0[sys, nv[1]] = threads0[sys, nv[1]] " " nv[2] * 1e6 / ($4 + ($4 == 0))
          threadNames[sys] = threadNames[sys] (index(" " threadNames[sys] " ", " " nv[1] " ") ? "" : " " nv[1])
        }
      }
    }
    if (rate == 300000) { runs300[sys]++; if ($6 == 0) clean300[sys]++; cpu300[sys] = cpu300[sys] " " $7 }
    if (rate == 100000) cpu100[sys] = cpu100[sys] " " $7
    if (sys ~ /^kv/ && $9 != $3 - $4) lossMismatch[sys]++
  }
  END {
    n = split(order, names, " ")
    printf "%-44s", ""
    for (i = 1; i <= n; i++) printf " %15s", names[i]
    printf "\n%-44s", "received per second, unthrottled (median)"
    for (i = 1; i <= n; i++) { m = median(unthrottled[names[i]]); med[names[i]] = m; printf " %15s", m == "" ? "-" : sprintf("%d", m) }
    printf "\n%-44s", "zero-loss runs at 300,000/s paced"
    for (i = 1; i <= n; i++) printf " %15s", runs300[names[i]] ? (clean300[names[i]] + 0) "/" runs300[names[i]] : "-"
    printf "\n%-44s", "CPU us per datagram saved, 100,000/s (median)"
    for (i = 1; i <= n; i++) { m = median(cpu100[names[i]]); c100[names[i]] = m; printf " %15s", m == "" ? "-" : sprintf("%.2f", m) }
    printf "\n%-44s", "CPU us per datagram saved, 300,000/s (median)"
    for (i = 1; i <= n; i++) { m = median(cpu300[names[i]]); c300[names[i]] = m; printf " %15s", m == "" ? "-" : sprintf("%.2f", m) }
    printf "\n%-44s", "peak resident MiB, unthrottled"
    for (i = 1; i <= n; i++) printf " %15s", rss[names[i]] ? sprintf("%d", rss[names[i]] / 1024) : "-"
    printf "\n\nUnthrottled, where the CPU went (medians; us per datagram sent, saved, relayed)\n"
    row("sender, per datagram sent", sender0, "%.2f")
    row("receiver, per datagram saved", receiver0, "%.2f")
    row("relay listener, per datagram relayed", listener0, "%.2f")
    row("machine busy while sending, %", busy0, "%d")
    for (i = 1; i <= n; i++) {
      s = names[i]
      if (threadNames[s] == "") continue
      printf "%s threads, us per datagram saved:", s
      m = split(substr(threadNames[s], 2), tn, " ")
      for (k = 1; k <= m; k++) printf " %s %.2f", tn[k], median(threads0[s, tn[k]])
      printf "\n"
    }
    # The service against the best peer of each job.
    bestFwd = 0; bestFile = 0; cpuFwd = 0
    for (i = 1; i <= n; i++) {
      s = names[i]
      if (s ~ /-fwd$/ && med[s] > bestFwd) bestFwd = med[s]
      if (s ~ /-file$/ && med[s] > bestFile) bestFile = med[s]
      if (s ~ /-fwd$/ && c300[s] != "" && (cpuFwd == 0 || c300[s] < cpuFwd)) cpuFwd = c300[s]
    }
    printf "\n"
    if (med["kv"] != "" && bestFwd > 0) printf "unthrottled, kv / best peer doing the same job: %.2f\n", med["kv"] / bestFwd
    if (med["kv"] != "" && bestFile > 0) printf "unthrottled, kv / best peer writing a file only: %.2f\n", med["kv"] / bestFile
    if (c300["kv"] != "" && cpuFwd > 0) printf "CPU per datagram at 300,000/s, kv / best peer doing the same job: %.2f\n", c300["kv"] / cpuFwd
    for (s in lossMismatch) printf "%s: %d runs whose loss warnings did not count the datagrams lost\n", s, lossMismatch[s]
  }' "$results"

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
read -r relayed _ <<<"$(stop_counter "$dir/relays")"
saved=$(cat "$dir"/opt/KelvaneSystem/Logs/kvs*.log | grep -c "bulk line" || true)
echo "kvlogsend piping 100000 lines: saved $saved, relayed $relayed"
