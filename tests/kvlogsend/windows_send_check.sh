#!/usr/bin/env bash
# kvlogsend.exe under Wine sends events that a Linux kvlogserver logs byte
# for byte as the same events sent by the Linux kvlogsend (the send time
# aside, which is each sender's clock).
#   windows_send_check.sh KVLOGSEND_EXE LINUX_BUILD_DIR
# LINUX_BUILD_DIR holds (or gets, built here from the same sources) the Linux
# kvlogserver and kvlogsend. Runs in the WINEPREFIX of the caller and a
# temporary platform root for the server; every wait is bounded.
set -euo pipefail

send_exe=$1
linux_bin=$2
sources=$(cd "$(dirname "$0")/../.." && pwd)
wine=$(command -v /usr/lib/wine/wine64 || command -v wine64 || command -v wine)

find_linux() { find "$linux_bin" -type f -name "$1" -perm -u+x -print -quit 2>/dev/null; }
if [ -z "$(find_linux kvlogserver)" ] || [ -z "$(find_linux kvlogsend)" ]; then
  echo "building the Linux programs in $linux_bin"
  cmake -S "$sources" -B "$linux_bin" -DBUILD_TESTING=OFF -DKV_BUILD_BENCH=OFF >/dev/null
  cmake --build "$linux_bin" -j2 --target kvlogserver kvlogsend >/dev/null
fi
server=$(find_linux kvlogserver)
linux_send=$(find_linux kvlogsend)

root=$(mktemp -d)
server_pid=""
cleanup() {
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  [ -z "$server_pid" ] || wait "$server_pid" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

# A UDP port is taken when /proc/net/udp lists it (in hexadecimal).
port_taken() { grep -qs ":$(printf '%04X' "$1") " /proc/net/udp /proc/net/udp6; }
free_port() {
  local port
  for _ in $(seq 1 100); do
    port=$((20000 + RANDOM % 40000))
    if ! port_taken "$port" && [ "$port" != "${1:-}" ]; then
      echo "$port"
      return
    fi
  done
  return 1
}
wait_for() {  # wait_for SECONDS COMMAND...
  local i
  for ((i = 0; i < $1 * 10; i++)); do
    if "${@:2}"; then return 0; fi
    sleep 0.1
  done
  return 1
}

receive=$(free_port)
repeat=$(free_port "$receive")
mkdir -p "$root/opt/KelvaneSystem" "$root/etc" "$root/logs"
printf '[KVLogService]\r\nReceivePort=%s\r\nRepeatPort=%s\r\nInterval=0\r\nFolder=%s\r\n' \
  "$receive" "$repeat" "$root/logs" >"$root/opt/KelvaneSystem/KVLogService.ini"
KV_PLATFORM_ROOT=$root "$server" --foreground >"$root/server.out" 2>"$root/server.err" &
server_pid=$!
listening() { port_taken "$receive"; }
if ! wait_for 20 listening; then
  echo "the Linux kvlogserver did not start:" >&2
  cat "$root/server.err" >&2
  exit 1
fi

# The same events from both senders, in turn: plain, one whose message holds
# the field separator, a negative type, and a long one that kvlogsend cuts.
long=$(printf 'x%.0s' $(seq 1 250))
events=(
  "Backup JobRunner 2 1007 Copy finished: 12 files"
  "Ops Console -4 0 a:b::c"
  "LongApplicationName SourceNameLongerThanTwenty 4 0x10 $long"
)
for event in "${events[@]}"; do
  # shellcheck disable=SC2086
  "$linux_send" --port "$receive" $event
  # shellcheck disable=SC2086
  "$wine" "$send_exe" --port "$receive" $event
done
"$linux_send" --port "$receive" Ops Console 4 0 '$FLUSHLOG$'
saved() { [ -n "$(find "$root/logs" -name 'kvs*.log' -print -quit)" ]; }
if ! wait_for 20 saved; then
  echo "no log file was saved" >&2
  exit 1
fi
log=$(find "$root/logs" -name 'kvs*.log' -print -quit)

# Line 1 is the banner, then one line per event, Linux and Windows in turn.
status=0
for i in 0 1 2; do
  from_linux=$(sed -n "$((2 + 2 * i))p" "$log")
  from_windows=$(sed -n "$((3 + 2 * i))p" "$log")
  if ! [[ $from_windows =~ ^[0-9]{4}/[0-9]{2}/[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2}\  ]]; then
    echo "FAIL event $i from kvlogsend.exe has no send time: $from_windows" >&2
    status=1
  elif [ "${from_linux:19}" != "${from_windows:19}" ]; then
    echo "FAIL event $i: Linux kvlogsend gave" >&2
    printf '  %q\n' "$from_linux" >&2
    echo "     kvlogsend.exe gave" >&2
    printf '  %q\n' "$from_windows" >&2
    status=1
  else
    echo "ok   event $i logged alike: ${from_windows:0:70}"
  fi
done
exit "$status"
