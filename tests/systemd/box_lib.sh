# Shared by the tests that run under a real systemd in a throwaway box.
# Source it after setting `box` to the box tool; it starts nothing itself.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

skip() {
  echo "SKIPPED: $*"
  exit 77
}

# Skips the test when no box can be started here.
require_box() {
  [ -x "$box" ] || skip "no systemd-box tool at $box"
  [ "$(id -u)" -eq 0 ] || skip "systemd-box needs root"
}

# Starts the box NAME with the given folders bound, and stops it when the
# test ends, however it ends.
start_box() {
  box_name=$1
  shift
  local binds=()
  local dir
  for dir in "$@"; do binds+=(--bind "$dir"); done
  trap 'stop_box' EXIT
  "$box" start "$box_name" "${binds[@]}" >/dev/null || fail "the box $box_name did not start"
}

stop_box() {
  "$box" stop "$box_name" >/dev/null 2>&1 || true
}

# Runs a command in the box; its exit code passes through.
in_box() { "$box" run "$box_name" "$@"; }

# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
  local limit=$(($1 * 10)) i
  shift
  for ((i = 0; i < limit; i++)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

# A UDP port that no socket of this machine holds.
free_udp_port() {
  local port hex
  while :; do
    port=$((20000 + RANDOM % 40000))
    hex=$(printf '%04X' "$port")
    if ! grep -qs ":$hex " /proc/net/udp /proc/net/udp6 && [ "$port" != "${1:-}" ]; then
      echo "$port"
      return
    fi
  done
}

status_text() { in_box systemctl show -p StatusText --value KVLogService; }
# The state alone, without the figures that follow it after " · ".
status_is() { local text; text=$(status_text); [ "${text%% · *}" = "$1" ]; }
full_status() { in_box systemctl status KVLogService --no-pager -l -n 20; }
status_shows() {
  local text
  text=$(full_status)  # systemctl status exits 3 for a unit that is not running
  grep -q "$1" <<<"$text"
}
# The unit's journal: the entries of both event sources of the service
# process. (While a unit waits for its automatic restart, systemd 252's
# `systemctl status` shows only entries newer than the wait, so the reason of
# a failed start is looked for here.) Chosen by event source, not by unit:
# journald cannot tell the unit of an entry whose process ended before the
# entry was read, which a failed start does at once.
unit_journal() { in_box journalctl -t KVLogService -t kvlogserver -o cat --no-pager; }
unit_journal_shows() {
  local text
  text=$(unit_journal)
  grep -qF "$1" <<<"$text"
}
