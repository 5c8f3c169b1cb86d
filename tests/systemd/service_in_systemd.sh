#!/usr/bin/env bash
# KVLogService under a real systemd: /INSTALL, enable, start as the
# service's own user, events, pause and continue by signal, stop, the log
# file and the journal, /UNINSTALL; then three starts that must fail
# (receive port taken, log folder that cannot be made, log folder the user
# may not write) and how systemctl reports and retries them; and installs
# from folders that the unit's sandbox hides.
#   service_in_systemd.sh BOX KVLOGSERVER KVLOGSEND KVLOGWATCH
set -uo pipefail
box=$1
server=$2
send=$3
watch=$4
source "$(dirname "$0")/box_lib.sh"
require_box

build_dir=$(cd "$(dirname "$server")" && pwd)
start_box "kvtest-svc-$$-$RANDOM" "$build_dir" "$(cd "$(dirname "$send")" && pwd)"
# Installed from where a program stays, as an administrator would: the
# service's user may not reach a build folder wherever a clone lies.
in_box install -D -m 0755 "$server" /usr/local/sbin/kvlogserver || fail "cannot copy $server into the box"
server=/usr/local/sbin/kvlogserver

receive_port=$(free_udp_port)
repeat_port=$(free_udp_port "$receive_port")
logs=/var/lib/kvtest/Logs
write_ini() {  # RECEIVE_PORT FOLDER
  in_box sh -c "mkdir -p /opt/KelvaneSystem /var/lib/kvtest && printf '[KVLogService]\r\nReceivePort=%s\r\nRepeatPort=%s\r\nInterval=3600\r\nFolder=%s\r\nLogKeepDays=30\r\n' $1 $repeat_port $2 >/opt/KelvaneSystem/KVLogService.ini"
}
write_ini "$receive_port" "$logs"

echo "== /INSTALL and enable"
out=$(in_box "$server" /INSTALL) || fail "/INSTALL failed: $out"
[ "$out" = $'情報\nサービスを登録しました。' ] || fail "/INSTALL printed: $out"
[ "$(in_box systemctl is-enabled KVLogService)" = enabled ] || fail "the service is not enabled"
in_box systemctl cat KVLogService | grep -qx 'Documentation=man:kvlogserver(8)' || fail "no Documentation= line"
user=_kvlogservice
[ "$(in_box stat -c %U /opt/KelvaneSystem)" = $user ] || fail "the settings folder is not $user's"
out=$(in_box systemd-analyze security --threshold=15 --no-pager KVLogService 2>&1) || fail "the unit rates worse than 1.5: $out"
grep -q '✗ User=' <<<"$out" && fail "the unit runs as root: $out"
# A log folder of the administrator's choice, given to the service's user.
in_box install -d -o $user -g $user -m 0750 $logs || fail "cannot make $logs"

echo "== start, events, pause, continue"
in_box systemctl start KVLogService || fail "systemctl start failed: $(in_box systemctl status KVLogService --no-pager)"
[ "$(in_box systemctl is-active KVLogService)" = active ] || fail "not active after start"
wait_for 10 status_is Running || fail "status text: $(status_text)"
pid=$(in_box systemctl show -p MainPID --value KVLogService)
[ "$(in_box stat -c %U "/proc/$pid")" = $user ] || fail "the service process does not run as $user"
# CAP_NET_BIND_SERVICE (bit 10) and nothing else: ports below 1024 work.
in_box grep -qx $'CapEff:\t0000000000000400' "/proc/$pid/status" ||
  fail "capabilities of the service: $(in_box grep Cap "/proc/$pid/status")"
in_box "$send" --port "$receive_port" Backup JobRunner 2 1007 "Copy finished: 12 files" || fail "kvlogsend failed"
in_box systemctl kill -s SIGUSR1 KVLogService || fail "SIGUSR1 not sent"
wait_for 10 status_is Paused || fail "not paused, status text: $(status_text)"
in_box "$send" --port "$receive_port" Paused Sender 4 0 "sent while paused" || fail "kvlogsend failed"
in_box systemctl kill -s SIGUSR2 KVLogService || fail "SIGUSR2 not sent"
wait_for 10 status_is Running || fail "not running again, status text: $(status_text)"
in_box systemctl kill -s SIGHUP KVLogService || fail "SIGHUP not sent"
status_starts() { [[ "$(status_text)" == "$1"* ]]; }
wait_for 10 status_starts "Running · 2 events · 2 relayed · 0 lost · 3 lines buffered · no save yet · next " ||
  fail "no figures in the status text: $(status_text)"

echo "== stop: the last log file and the journal"
in_box systemctl stop KVLogService || fail "systemctl stop failed"
[ "$(in_box systemctl is-active KVLogService)" = inactive ] || fail "still active after stop"
log=$(in_box sh -c "cat $logs/kvs*.log") || fail "no log file in $logs"
grep -q $'^\*\* KVLogService 1.0 KVS-7000 \*\*\r$' <<<"$log" || fail "no banner in: $log"
grep -q '^20[0-9/]* [0-9:]* Backup     JobRunner            2 Copy finished: 12 files'$'\r$' <<<"$log" ||
  fail "no event line in: $log"
grep -q 'Paused     Sender               4 sent while paused' <<<"$log" || fail "the paused event is missing: $log"
journal_info=$(in_box journalctl -t KVLogService -p info..info -o cat --no-pager)
grep -qx 'KVLogService started' <<<"$journal_info" || fail "no 'started' info entry: $journal_info"
grep -qx 'KVLogService stopped' <<<"$journal_info" || fail "no 'stopped' info entry: $journal_info"
[ -z "$(in_box journalctl -t KVLogService -p err -o cat --no-pager)" ] || fail "error entries after a good run"

echo "== the receive port taken: the start fails, says why, and a restart succeeds once the port is free"
"$watch" --port "$receive_port" --timeout 6 >/dev/null 2>&1 &
holder=$!
trap 'kill $holder 2>/dev/null; stop_box' EXIT
wait_for 10 grep -qs ":$(printf '%04X' "$receive_port") " /proc/net/udp || fail "kvlogwatch does not hold the port"
in_box systemctl start KVLogService && fail "systemctl start succeeded with the port taken"
wait_for 10 status_shows 'status=1/FAILURE' || fail "systemctl status shows no failure exit: $(full_status)"
wait_for 10 unit_journal_shows 'Bind Socket failed. stat = 10048' || fail "the journal shows no reason: $(unit_journal)"
unit_journal_shows "UDP port $receive_port (ReceivePort) is in use by another program" ||
  fail "the journal does not name the port: $(unit_journal)"
wait $holder 2>/dev/null
wait_for 30 in_box systemctl is-active --quiet KVLogService || fail "not restarted once the port was free: $(full_status)"
[ "$(in_box systemctl show -p NRestarts --value KVLogService)" -ge 1 ] || fail "running without a restart"
in_box systemctl stop KVLogService

echo "== a log folder that cannot be made: systemd gives up after 5 starts and shows why"
write_ini "$receive_port" /var/lib/kvtest/missing/Logs
in_box systemctl reset-failed KVLogService
in_box systemctl start KVLogService && fail "systemctl start succeeded without a log folder"
# Between two tries the unit is "activating (auto-restart)"; failed only
# once systemd has given up.
wait_for 60 in_box systemctl is-failed --quiet KVLogService || fail "systemd did not give up: $(full_status)"
# Each start logs the reason (the journal may take a moment to show the last).
tries() { unit_journal | grep -c '^KVLogService configuation error$'; }
five_tries() { [ "$(tries)" = 5 ]; }
wait_for 10 five_tries ||
  fail "$(tries) starts instead of 5: $(unit_journal)"
status_shows 'status=1/FAILURE' || fail "systemctl status shows no failure exit: $(full_status)"
status_shows 'start refused: Cannot create the log folder' || fail "systemctl status shows no reason: $(full_status)"
unit_journal_shows 'Cannot create the log folder /var/lib/kvtest/missing/Logs: No such file or directory' ||
  fail "the journal does not name the folder: $(unit_journal)"

echo "== a log folder the service's user may not write: the start is refused, naming the folder and the user"
in_box mkdir -p /var/lib/kvtest/root-only
write_ini "$receive_port" /var/lib/kvtest/root-only
in_box systemctl reset-failed KVLogService
in_box systemctl start KVLogService && fail "systemctl start succeeded with a folder the user may not write"
wait_for 10 unit_journal_shows "The log folder /var/lib/kvtest/root-only may not be written by the user $user the service runs as (Permission denied)" ||
  fail "the journal does not name the folder and the user: $(unit_journal)"
in_box systemctl stop KVLogService
write_ini "$receive_port" "$logs"
in_box systemctl reset-failed KVLogService
in_box systemctl start KVLogService || fail "no start after reset-failed with the folder fixed: $(full_status)"
in_box systemctl stop KVLogService

echo "== installed from a folder the sandbox hides (below /tmp, below /home): the unit runs"
in_box "$server" /UNINSTALL /SILENT || fail "/UNINSTALL failed"
for folder in /tmp/kvtest-build "/home/kv user/100%:1"; do
  copy="$folder/kvlogserver"
  in_box sh -c 'mkdir -p "$(dirname "$1")" && cp "$2" "$1"' sh "$copy" "$server" || fail "no copy at $copy"
  out=$(in_box "$copy" /INSTALL /SILENT 2>&1) || fail "/INSTALL from $folder failed: $out"
  in_box systemctl start KVLogService || fail "no start from $folder: $(full_status)"
  in_box systemctl is-active --quiet KVLogService || fail "not running from $folder: $(full_status)"
  out=$(in_box systemd-analyze security --threshold=15 --no-pager KVLogService 2>&1) ||
    fail "the unit for $folder rates worse than 1.5: $out"
  in_box systemctl stop KVLogService
  in_box "$copy" /UNINSTALL /SILENT || fail "/UNINSTALL from $folder failed"
done
in_box "$server" /INSTALL /SILENT || fail "/INSTALL failed"

echo "== /UNINSTALL"
out=$(in_box "$server" /UNINSTALL) || fail "/UNINSTALL failed: $out"
in_box test -e /etc/systemd/system/KVLogService.service && fail "the unit is still there"
in_box systemctl cat KVLogService >/dev/null 2>&1 && fail "systemd still knows the unit"
out=$(in_box "$server" /UNINSTALL 2>&1) && fail "a second /UNINSTALL succeeded: $out"
echo "PASS"
