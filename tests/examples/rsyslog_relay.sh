#!/usr/bin/env bash
# The rsyslog example against the running service: kvlogserver under svcrun
# relays to an rsyslog that runs the example configuration (its ports and
# file moved to free ones and a temporary folder), which writes each event
# to its file and forwards it to a second rsyslog, the site's collector
# here, that writes what it gets over TCP. Every event sent must arrive once in both
# files, with its fields. Both rsyslogs run in the foreground with their own
# configuration, pid file and work folder; neither reads /dev/log or the
# machine's configuration.
#   rsyslog_relay.sh EXAMPLE_CONF SVCRUN KVLOGSERVER KVLOGSEND
set -uo pipefail
example=$1
svcrun=$2
server=$3
send=$4

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
rsyslogd=$(command -v rsyslogd || ls /usr/sbin/rsyslogd 2>/dev/null) ||
  { echo "SKIPPED: no rsyslogd (scripts/install-deps.sh installs it)"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kvrelay.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

udp_port_in_use() { grep -qsi ":$(printf '%04X' "$1") " /proc/net/udp /proc/net/udp6; }
tcp_port_listening() { grep -qsi ":$(printf '%04X' "$1") 00000000:0000 0A" /proc/net/tcp; }
taken=()
free_udp_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    udp_port_in_use "$port" || tcp_port_listening "$port" || [[ " ${taken[*]} " == *" $port "* ]] || { taken+=("$port"); echo "$port"; return; }
  done
}
wait_for() {
  local limit=$(($1 * 10)) i
  shift
  for ((i = 0; i < limit; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}
lines_in() { [ -f "$2" ] && [ "$(wc -l <"$2")" -ge "$1" ]; }

receive_port=$(free_udp_port)
repeat_port=$(free_udp_port)
forward_port=$(free_udp_port)

# The relay's rsyslog: the example as it is, but for its two ports and its file.
mkdir -p "$work/relay" "$work/site"
sed -e "s|port=\"2057\"|port=\"$repeat_port\"|" -e "s|port=\"5140\"|port=\"$forward_port\"|" \
  -e "s|/var/log/kvlogserver/|$work/relay/|" "$example" >"$work/relay/example.conf"
grep -q "port=\"$repeat_port\"" "$work/relay/example.conf" && grep -q "port=\"$forward_port\"" "$work/relay/example.conf" ||
  fail "the example no longer reads port 2057 and forwards to port 5140"
cat >"$work/relay/rsyslog.conf" <<CONF
global(workDirectory="$work/relay")
include(file="$work/relay/example.conf")
CONF
# The site's collector: every line as it came.
cat >"$work/site/rsyslog.conf" <<CONF
global(workDirectory="$work/site")
module(load="imtcp")
template(name="raw" type="string" string="%rawmsg%\n")
input(type="imtcp" address="127.0.0.1" port="$forward_port" ruleset="site")
ruleset(name="site") { action(type="omfile" file="$work/site/received.log" template="raw") }
CONF
for side in relay site; do
  "$rsyslogd" -N1 -f "$work/$side/rsyslog.conf" >"$work/$side/check.out" 2>&1 ||
    fail "rsyslog refuses the $side configuration: $(cat "$work/$side/check.out")"
  "$rsyslogd" -n -f "$work/$side/rsyslog.conf" -i "$work/$side/rsyslog.pid" >"$work/$side/rsyslog.out" 2>&1 &
  pids+=($!)
done
wait_for 20 udp_port_in_use "$repeat_port" || fail "the relay's rsyslog does not listen: $(cat "$work/relay/rsyslog.out")"
wait_for 20 tcp_port_listening "$forward_port" || fail "the collector does not listen: $(cat "$work/site/rsyslog.out")"

root=$work/root
mkdir -p "$root/opt/KelvaneSystem"
printf '[KVLogService]\r\nReceivePort=%s\r\nRepeatPort=%s\r\nInterval=3600\r\nFolder=%s\r\nLogKeepDays=30\r\n' \
  "$receive_port" "$repeat_port" "$root/opt/KelvaneSystem/Logs" >"$root/opt/KelvaneSystem/KVLogService.ini"
LC_ALL=C "$svcrun" --root "$root" --start-timeout 20 "$server" >"$work/svcrun.log" 2>&1 &
svc=$!
pids+=("$svc")
wait_for 20 grep -qs "state RUNNING" "$work/svcrun.log" || fail "the service did not start: $(cat "$work/svcrun.log")"

# Three events with fields to check, then 500 numbered ones in bursts of
# 100 as fast as kvlogsend sends them (a burst stays within the receive
# buffer an unprivileged rsyslog gets).
"$send" --port "$receive_port" Backup JobRunner 2 1007 "Copy finished: 12 files" || fail "kvlogsend failed"
"$send" --port "$receive_port" '$A$Web' 'ジョブ' 1 0 'エラー: "quoted" \ back' || fail "kvlogsend failed"
"$send" --port "$receive_port" Ops Console 4 0 'a:b::c' || fail "kvlogsend failed"
for first in 1 101 201 301 401; do
  seq "$first" $((first + 99)) | sed 's/^/numbered event /' | "$send" --port "$receive_port" Bulk gen 4 0 ||
    fail "kvlogsend failed"
  sleep 0.05
done
total=503

relay_log=$work/relay/relay.log
site_log=$work/site/received.log
wait_for 30 lines_in "$total" "$relay_log" ||
  fail "rsyslog's file holds $(wc -l <"$relay_log" 2>/dev/null || echo no) of $total events; $(cat "$work/relay/rsyslog.out")"
wait_for 30 lines_in "$total" "$site_log" ||
  fail "the collector got $(wc -l <"$site_log" 2>/dev/null || echo no) of $total events"

# The file: received time, SendTime, AppName, SourceName, EventType, level, MsgText.
field_line() { awk -F'\t' -v app="$1" '$3 == app {print $3 "|" $4 "|" $5 "|" $6 "|" $7}' "$relay_log"; }
[ "$(field_line Backup)" = "Backup|JobRunner|2|warning|Copy finished: 12 files" ] ||
  fail "the Backup event reads: $(field_line Backup)"
[ "$(field_line Web)" = 'Web|ジョブ|1|error|エラー: "quoted" \ back' ] || fail "the Web event reads: $(field_line Web)"
[ "$(field_line Ops)" = "Ops|Console|4|information|a:b::c" ] || fail "the Ops event reads: $(field_line Ops)"
bad_time=$(cut -f2 "$relay_log" | grep -Evx '[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}\.[0-9]{2}\.[0-9]{2}' | head -n 1)
[ -z "$bad_time" ] || fail "a SendTime is not yyyy/mm/dd hh.nn.ss: $bad_time"
# Every numbered event exactly once, in both files.
for file in "$relay_log" "$site_log"; do
  missing=$(comm -3 <(seq 1 500 | sort) <(grep -o 'numbered event [0-9]*' "$file" | awk '{print $3}' | sort))
  [ -z "$missing" ] || fail "numbered events missing or doubled in $file: $(echo $missing | head -c 300)"
done

# The collector's JSON objects carry the same fields.
grep -qF '"app":"Backup", "source":"JobRunner", "type":"2", "level":"warning", "text":"Copy finished: 12 files"}' \
  "$site_log" || fail "the collector's Backup event: $(grep Backup "$site_log")"
grep -qF '"app":"Web", "source":"ジョブ", "type":"1", "level":"error", "text":"エラー: \"quoted\" \\ back"}' \
  "$site_log" || fail "the collector's Web event: $(grep Web "$site_log")"

# svcrun shows the service's own count of them.
wait_for 10 grep -qs "status \"Running · $total events · $total relayed · 0 lost" "$work/svcrun.log" ||
  fail "svcrun shows no figures of $total events: $(grep status "$work/svcrun.log" | tail -n 2)"

kill -TERM "$svc"
wait "$svc"
code=$?
[ "$code" -eq 0 ] || fail "the service ended with $code: $(tail -n 5 "$work/svcrun.log")"
echo "ok: $total events in rsyslog's file and at the collector, with their fields"
