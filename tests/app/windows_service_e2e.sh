#!/usr/bin/env bash
# KVLogService as a real Windows service under Wine's service manager, end to
# end, once in a prefix with the ANSI code page 1252 and once with 932:
# /INSTALL, the manager's record of the service, a start by `net start`,
# events sent from Linux (kvlogsend and raw datagrams: a $A$ event, an
# oversize one, $FLUSHLOG$), their relays, the saved kvs*.log compared with
# what the Linux build writes for the same datagrams, pause / continue /
# interrogate, stop, the event log texts, /UNINSTALL twice, and a start that
# fails because the port is taken. With an MSI, its install and removal too:
# the service, its event sources and message file, its failure actions.
#   windows_service_e2e.sh KVLOGSERVER_EXE SVC_PROBE_EXE LINUX_BUILD_DIR [MSI]
# LINUX_BUILD_DIR holds (or, when they are missing, gets: built here from
# the same sources) the Linux kvlogserver, kvlogsend and kvlogwatch, which
# send the events and write the reference log. Each case
# runs in a fresh WINEPREFIX under a temporary folder, removed at the end
# whatever happens (KV_E2E_KEEP=1 keeps it to look at); every wait is
# bounded. Ends with 0 when all checks hold.
set -euo pipefail

server_exe=$1
probe_exe=$2
linux_bin=$3
msi=${4:-}
sources=$(cd "$(dirname "$0")/../.." && pwd)

wine=$(command -v /usr/lib/wine/wine64 || command -v wine64 || command -v wine || true)
wineserver=$(command -v /usr/lib/wine/wineserver64 || command -v wineserver64 || command -v wineserver || true)
if [ -z "$wine" ] || [ -z "$wineserver" ]; then
  echo "windows_service_e2e: wine64 is not installed" >&2
  exit 1
fi
find_linux() {
  find "$linux_bin" -type f -name "$1" -perm -u+x -print -quit 2>/dev/null
}
if [ -z "$(find_linux kvlogserver)" ] || [ -z "$(find_linux kvlogsend)" ] || [ -z "$(find_linux kvlogwatch)" ]; then
  echo "windows_service_e2e: building the Linux programs in $linux_bin"
  cmake -S "$sources" -B "$linux_bin" -DBUILD_TESTING=OFF -DKV_BUILD_BENCH=OFF >/dev/null
  cmake --build "$linux_bin" -j2 --target kvlogserver kvlogsend kvlogwatch >/dev/null
fi
l_server=$(find_linux kvlogserver)
l_send=$(find_linux kvlogsend)
l_watch=$(find_linux kvlogwatch)
if [ -z "$l_server" ] || [ -z "$l_send" ] || [ -z "$l_watch" ]; then
  echo "windows_service_e2e: the Linux kvlogserver, kvlogsend and kvlogwatch are needed (LINUX_BIN_DIR)" >&2
  exit 1
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  # Only a prefix of this test's own: a failure before the first case would
  # otherwise end the Wine session of the caller's prefix, and every
  # program of the tests that run in it.
  case ${WINEPREFIX:-} in "$work"/*) [ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null || true ;; esac
  if [ -n "${KV_E2E_KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

failures=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then
    echo "ok   $1"
  else
    echo "FAIL $1" >&2
    failures=$((failures + 1))
  fi
}
contains() { grep -qaF -- "$2" "$1"; }

# A free UDP port on 127.0.0.1, by /proc/net/udp.
taken_ports() {
  local hex
  for hex in $(awk 'FNR > 1 { n = split($2, a, ":"); print a[n] }' /proc/net/udp /proc/net/udp6 2>/dev/null); do
    echo $((16#$hex))
  done
}
free_port() {
  local port
  for _ in $(seq 1 50); do
    port=$((20000 + RANDOM % 40000))
    if ! taken_ports | grep -qx "$port" && ! printf '%s\n' "${used_ports[@]:-}" | grep -qx "$port"; then
      used_ports+=("$port")
      echo "$port"
      return
    fi
  done
  return 1
}
used_ports=()

# Wine with its output appended to the case's log, never a pipe: processes
# the service manager starts inherit it.
w() { timeout 120 "$wine" "$@" >>"$log" 2>&1; }
wout() {  # wout FILE ARGS...: standard output to FILE
  local out=$1
  shift
  timeout 120 "$wine" "$@" >"$out" 2>>"$log"
}
# (The C runtime of a Windows program writes CR LF to a file or pipe.)
probe() { timeout 60 "$wine" "$probe_exe" "$@" 2>>"$log" | tr -d '\r'; }
wait_state() { probe wait KVLogService "$1" 30 >/dev/null; }

description='KVAppService で出力されるログメッセージを取得,保存するためのサービス'

# The ANSI bytes of a UTF-8 text in code page $cp. The texts here are ASCII
# and Japanese, so in 1252 each non-ASCII character becomes "?".
ansi() {
  if [ "$cp" = 932 ]; then
    printf '%s' "$1" | iconv -f UTF-8 -t CP932
  else
    printf '%s' "$1" | perl -CS -pe 's/[^\x00-\x7F]/?/g'
  fi
}

send_raw() {  # send_raw PORT TEXT: one datagram
  exec 3>"/dev/udp/127.0.0.1/$1"
  printf '%s' "$2" >&3
  exec 3>&-
}

# The same events, in the same order, to a service listening on $1.
send_events() {
  local port=$1
  "$l_send" --port "$port" MyApp MySource 1 42 hello from linux
  send_raw "$port" '2026/01/02 03.04.05:1234:Raw:Src:2:7:raw message'
  send_raw "$port" '2026/01/02 03.04.06:1235:$A$Utf:ソース:1:8:日本語のメッセージ'
  send_raw "$port" "$(head -c 3000 /dev/zero | tr '\0' x)"
  send_raw "$port" '2026/01/02 03.04.07:1236:Ctl:Src:0:0:$FLUSHLOG$'
}

wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND holds
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
logs_in() { compgen -G "$1/kvs*.log" >/dev/null; }
# No kvlogserver.exe runs in this case's prefix (other prefixes may run one).
no_service_process() {
  local pid
  for pid in $(pgrep -f '^C:\\Program Files\\KelvaneSystem\\kvlogserver.exe' || true); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then return 1; fi
  done
  return 0
}

# The event lines of a log file, without the send time that is the moment
# of sending (kvlogsend) or of receiving ($A$ events).
event_lines() {
  grep -av '^\*\* ' "$1" | sed -E '/\$FLUSHLOG\$/,$d; s#^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9:]{8}( (MyApp|Utf) )#SENDTIME\1#'
}

# What the Linux build writes for the events, in a locale of the same code page.
linux_reference() {
  local root=$work/linux-root-$cp port relay
  port=$(free_port)
  relay=$(free_port)
  mkdir -p "$root/etc" "$root/dev" "$root/opt/KelvaneSystem"
  printf '[KVLogService]\r\nReceivePort=%s\r\nRepeatPort=%s\r\nInterval=3600\r\nLogKeepDays=30\r\n' "$port" "$relay" \
    >"$root/opt/KelvaneSystem/KVLogService.ini"
  KV_PLATFORM_ROOT=$root LOCPATH=$work/locale LANG=$linux_locale LC_ALL=$linux_locale \
    "$l_server" --foreground >"$work/linux-$cp.out" 2>&1 &
  local server=$!
  pids+=("$server")
  wait_for 20 grep -q "Running" "$work/linux-$cp.out" || true
  send_events "$port"
  wait_for 20 logs_in "$root/opt/KelvaneSystem/Logs" || true
  sleep 1.2  # the stop's save then goes to a file of its own
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  local first
  first=$(ls "$root/opt/KelvaneSystem/Logs"/kvs*.log 2>/dev/null | head -1 || true)
  [ -n "$first" ] && event_lines "$first" >"$work/expected-$cp.txt"
}

run_case() {
  cp=$1
  export WINEPREFIX=$work/prefix-$cp
  export WINEDEBUG=-all,+eventlog
  export WINEDLLOVERRIDES="mscoree,mshtml="
  log=$work/wine-$cp.log
  : >"$log"
  if [ "$cp" = 932 ]; then
    export LANG=ja_JP.UTF-8 LOCPATH=$work/locale
    linux_locale=ja_JP.SJIS
  else
    export LANG=en_US.UTF-8 LOCPATH=$work/locale
    linux_locale=en_US.CP1252
  fi
  echo "== code page $cp"

  linux_reference

  # A persistent wineserver keeps the service manager up between commands,
  # so that it starts the automatic services once, at the boot.
  w wineboot -i
  "$wineserver" -w
  "$wineserver" -p
  local pf="$WINEPREFIX/drive_c/Program Files/KelvaneSystem"
  local exe='C:\Program Files\KelvaneSystem\kvlogserver.exe'
  mkdir -p "$pf"
  cp "$server_exe" "$pf/kvlogserver.exe"
  local port relay
  port=$(free_port)
  relay=$(free_port)
  printf '[KVLogService]\r\nReceivePort=%s\r\nRepeatPort=%s\r\nInterval=3600\r\nLogKeepDays=30\r\n' "$port" "$relay" \
    >"$pf/KVLogService.ini"
  check "[$cp] the prefix has code page $cp" grep -qx "acp=$cp" <(probe acp)

  # /INSTALL: the message box text on standard output.
  local rc=0
  wout "$work/install.out" "$exe" /INSTALL || rc=$?
  check "[$cp] /INSTALL ends with 0" [ "$rc" = 0 ]
  check "[$cp] /INSTALL says so" cmp -s <(tr -d '\r' <"$work/install.out") <(ansi $'情報\nサービスを登録しました。\n')
  probe config KVLogService >"$work/config.txt" || true
  check "[$cp] own-process service" contains "$work/config.txt" "type=0x10"
  check "[$cp] automatic start" contains "$work/config.txt" "start=2"
  check "[$cp] the quoted path of the program" contains "$work/config.txt" "path=\"$exe\""
  check "[$cp] display name" contains "$work/config.txt" "display=KVLogService"
  # Stored as Unicode, so whole in either code page.
  check "[$cp] the Description value" grep -qxF "description=$description" <(probe description KVLogService)

  # Start it; the manager may have started it already.
  w net start KVLogService || true
  check "[$cp] running after net start" wait_state 4

  : >"$work/watch.err"
  "$l_watch" --port "$relay" --count 4 --timeout 30 >"$work/relays.txt" 2>"$work/watch.err" &
  local watch=$!
  pids+=("$watch")
  wait_for 10 grep -q listening "$work/watch.err" || true
  send_events "$port"
  check "[$cp] a flush saves a kvs*.log under Logs" wait_for 20 logs_in "$pf/Logs"
  wait "$watch" 2>/dev/null || true
  check "[$cp] every event is relayed" [ "$(grep -c . "$work/relays.txt")" = 4 ]
  check "[$cp] the relay of the kvlogsend event" contains "$work/relays.txt" "hello from linux"
  local saved
  saved=$(ls "$pf"/Logs/kvs*.log 2>/dev/null | head -1 || true)
  if [ -n "$saved" ]; then
    event_lines "$saved" >"$work/actual-$cp.txt"
    check "[$cp] the log lines are the Linux build's, byte for byte" cmp "$work/expected-$cp.txt" "$work/actual-$cp.txt"
    check "[$cp] CR LF line ends" [ "$(grep -c $'\r$' "$saved")" = "$(grep -c . "$saved")" ]
    check "[$cp] the \$A\$ text in the ANSI code page" contains "$saved" "$(ansi '日本語のメッセージ')"
  else
    check "[$cp] a saved log file" false
  fi

  # Pause, continue, interrogate.
  probe control KVLogService 2 >/dev/null || true
  check "[$cp] paused" wait_state 7
  probe control KVLogService 3 >/dev/null || true
  check "[$cp] running again" wait_state 4
  probe control KVLogService 4 >"$work/status.txt" || true
  check "[$cp] it accepts stop, pause and continue, shutdown (7)" contains "$work/status.txt" "accepted=7"

  # An event after the flush, then the stop: the last save holds it.
  send_raw "$port" '2026/01/02 03.04.08:1237:Last:Src:1:1:before the stop'
  sleep 1
  w net stop KVLogService || true
  check "[$cp] stopped" wait_state 1
  check "[$cp] the service process has ended" wait_for 15 no_service_process
  check "[$cp] the stop saved the last event" bash -c "grep -laF 'before the stop' \"$pf\"/Logs/kvs*.log >/dev/null"

  check "[$cp] event log: started" contains "$log" 'ReportEventW L"KVLogService started"'
  check "[$cp] event log: stopped" contains "$log" 'ReportEventW L"KVLogService stopped"'
  check "[$cp] event log: the oversize datagram (10040)" contains "$log" "refused a datagram of 3000 bytes from 127.0.0.1"

  # /UNINSTALL, then once more.
  rc=0
  wout "$work/uninstall.out" "$exe" /UNINSTALL || rc=$?
  check "[$cp] /UNINSTALL ends with 0" [ "$rc" = 0 ]
  check "[$cp] /UNINSTALL says so" cmp -s <(tr -d '\r' <"$work/uninstall.out") <(ansi $'情報\nサービスの登録を解除しました。\n')
  check "[$cp] the service is gone from the manager" bash -c "! timeout 60 '$wine' '$probe_exe' status KVLogService 2>&1 | grep -q state="
  rc=0
  timeout 120 "$wine" "$exe" /UNINSTALL >"$work/uninstall2.out" 2>"$work/uninstall2.err" || rc=$?
  check "[$cp] a second /UNINSTALL ends with 1" [ "$rc" = 1 ]
  check "[$cp] ... and names error 1060" contains "$work/uninstall2.err" \
    "The specified service does not exist as an installed service"

  # A start while another program holds the port.
  w "$exe" /INSTALL /SILENT
  : >"$work/holder.err"
  "$l_watch" --port "$port" --timeout 60 >/dev/null 2>"$work/holder.err" &
  local holder=$!
  pids+=("$holder")
  wait_for 10 grep -q listening "$work/holder.err" || true
  w net start KVLogService || true
  check "[$cp] the manager reports the start as failed" wait_state 1
  check "[$cp] event log: Bind Socket failed. stat = 10048" contains "$log" "Bind Socket failed. stat = 10048"
  kill "$holder" 2>/dev/null || true
  w "$exe" /UNINSTALL /SILENT

  # The installer once, in the last prefix.
  if [ -n "$msi" ] && [ "$cp" = 932 ]; then msi_case "$pf"; fi

  "$wineserver" -k 2>/dev/null || true
}

# The MSI: installed, the service runs and logs an event, removed.
msi_case() {
  local pf=$1 port relay
  rm -rf "$pf"
  mkdir -p "$pf"
  port=$(free_port)
  relay=$(free_port)
  printf '[KVLogService]\r\nReceivePort=%s\r\nRepeatPort=%s\r\nInterval=3600\r\nLogKeepDays=30\r\n' "$port" "$relay" \
    >"$pf/KVLogService.ini"
  cp "$msi" "$work/kvlogserver.msi"
  local rc=0
  w msiexec /i 'Z:'"$(echo "$work/kvlogserver.msi" | tr / '\\')" /qn || rc=$?
  check "[$cp] msiexec /i ends with 0" [ "$rc" = 0 ]
  check "[$cp] the MSI put the programs in place" bash -c "[ -f \"$pf/kvlogserver.exe\" ] && [ -f \"$pf/kvlogsend.exe\" ] && [ -f \"$pf/kvlogwatch.exe\" ]"
  check "[$cp] the MSI started the service" wait_state 4
  check "[$cp] the MSI wrote the Description" grep -qxF "description=$description" <(probe description KVLogService)
  # Event Viewer finds each source's message file, whose message 0 is the
  # entry's insertion string as it stands.
  local source sources_key='SYSTEM\CurrentControlSet\Services\EventLog\Application'
  local entry='サービス失敗 実行: Bind Socket failed. stat = 10048'
  for source in KVLogService kvlogserver.exe; do
    check "[$cp] the MSI registered the event source $source" grep -qxF 'data=C:\Program Files\KelvaneSystem\kvlogserver.exe' \
      <(probe value "$sources_key\\$source" EventMessageFile)
    check "[$cp] ... with TypesSupported 7" grep -qxF 'data=7' <(probe value "$sources_key\\$source" TypesSupported)
    check "[$cp] ... whose message 0 is the entry's text" cmp -s <(ansi "$entry") \
      <(timeout 60 "$wine" "$probe_exe" eventtext "$source" 0 "$entry" 2>>"$log")
  done
  check "[$cp] ... also for a Japanese viewer" cmp -s <(ansi "$entry") \
    <(timeout 60 "$wine" "$probe_exe" eventtext KVLogService 0x411 "$entry" 2>>"$log")
  # Restart after 5 s, twice, then nothing; the count reset after a day;
  # a stop, even with an error, is no failure.
  check "[$cp] the MSI set the failure actions" grep -qxF \
    'data=8051010000000000000000000300000014000000010000008813000001000000881300000000000000000000' \
    <(probe value 'SYSTEM\CurrentControlSet\Services\KVLogService' FailureActions)
  check "[$cp] ... for crashes only" grep -qxF 'data=0' \
    <(probe value 'SYSTEM\CurrentControlSet\Services\KVLogService' FailureActionsOnNonCrashFailures)
  send_raw "$port" '2026/01/02 03.04.09:1238:Msi:Src:1:1:installed by msiexec'
  send_raw "$port" '2026/01/02 03.04.10:1239:Msi:Src:0:0:$FLUSHLOG$'
  check "[$cp] the installed service logs an event" wait_for 20 bash -c "grep -laF 'installed by msiexec' \"$pf\"/Logs/kvs*.log >/dev/null 2>&1"
  rc=0
  w msiexec /x 'Z:'"$(echo "$work/kvlogserver.msi" | tr / '\\')" /qn || rc=$?
  check "[$cp] msiexec /x ends with 0" [ "$rc" = 0 ]
  check "[$cp] no service after the removal" bash -c "! timeout 60 '$wine' '$probe_exe' status KVLogService 2>&1 | grep -q state="
  for source in KVLogService kvlogserver.exe; do
    check "[$cp] no event source $source after the removal" grep -qx 'exists=no' <(probe key "$sources_key\\$source")
  done
  # The service process ends some milliseconds after it reported
  # SERVICE_STOPPED, and the installer may remove the files before that.
  # Windows Installer then leaves kvlogserver.exe for the next restart
  # (and says a restart is needed); Wine's leaves it for good, so only the
  # other files are checked here, and a kvlogserver.exe left is reported.
  check "[$cp] no tools and documents after the removal" \
    bash -c "! ls \"$pf\" | grep -E '^(kvlogsend|kvlogwatch)\\.exe\$|README|LICENSE'"
  if [ -e "$pf/kvlogserver.exe" ]; then
    echo "note [$cp] kvlogserver.exe was in use at the removal and is left (a restart removes it on Windows)"
  fi
  check "[$cp] settings and log files stay" bash -c "[ -f \"$pf/KVLogService.ini\" ] && compgen -G \"$pf/Logs/kvs*.log\" >/dev/null"
}

# The locales: Wine takes its code page from LANG, the Linux build its
# character set from the locale; both are made here from the locale
# sources (package locales), so the machine need not have them generated.
if [ ! -f /usr/share/i18n/locales/ja_JP ] || ! command -v pgrep >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq locales procps
fi
mkdir -p "$work/locale"
localedef -c -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8" 2>/dev/null || true
localedef -c -i en_US -f UTF-8 "$work/locale/en_US.UTF-8" 2>/dev/null || true
localedef -c -i ja_JP -f SHIFT_JIS "$work/locale/ja_JP.SJIS" 2>/dev/null || true
localedef -c -i en_US -f CP1252 "$work/locale/en_US.CP1252" 2>/dev/null || true

start=$SECONDS
run_case 1252
run_case 932
echo "windows_service_e2e: $failures failed checks, $((SECONDS - start)) s"
[ "$failures" -eq 0 ]
