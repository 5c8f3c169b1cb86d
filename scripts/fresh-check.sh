#!/usr/bin/env bash
# The README's first two commands on a newcomer's machine: a fresh, minimal
# Debian 12 (the fresh-debian tool beside the checkout) with a clone of HEAD
# runs the README's first block word for word (install the build tools,
# build, package, install the package) under a real systemd, where the
# package must leave the service running, and then the demo. A step that
# only this machine's extra packages made work fails here. With `windows`,
# another fresh Debian runs the Windows test command instead,
# `bash scripts/test-windows.sh`, which must install all it needs itself.
#   scripts/fresh-check.sh            needs root; skipped without the tool
#   scripts/fresh-check.sh windows [CTEST_ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."

box=../shared/tools/systemd-box
if [ "${1:-}" != --inside ]; then
  fresh=../shared/tools/fresh-debian
  if [ ! -x "$fresh" ] || [ "$(id -u)" -ne 0 ]; then
    echo "fresh-check: skipped (needs root and the fresh-debian tool at $fresh)"
    exit 0
  fi
  git diff --quiet HEAD || echo "fresh-check: uncommitted changes are not checked (the clone is of HEAD)"
  if [ "${1:-}" = windows ]; then
    shift
    echo "== The Windows test command on a fresh Debian: bash scripts/test-windows.sh build-windows $*"
    start=$SECONDS
    logs=$(mktemp -d)
    "$fresh" run bash scripts/test-windows.sh build-windows "$@" >"$logs/windows.log" 2>&1 || {
      tail -n 60 "$logs/windows.log"
      echo "FAIL: the Windows test command failed on a fresh machine (log: $logs/windows.log)" >&2
      exit 1
    }
    grep -E 'tests passed|test-windows.sh took' "$logs/windows.log" | sed 's/^/   /'
    echo "   ($((SECONDS - start)) s)"
    rm -rf "$logs"
    exit 0
  fi
  exec "$fresh" run bash scripts/fresh-check.sh --inside
fi

logs=$(mktemp -d)
elapsed() { echo "   ($((SECONDS - $1)) s)"; }

# The README's first indented block: the package, built and installed.
block=$(awk '/^    / { started = 1; sub(/^    /, ""); print; next } started { exit }' README.md)
echo "== The README's first block, in a systemd box on a fresh Debian:"
sed 's/^/   | /' <<<"$block"
start=$SECONDS
# The machine's init system, which a minimal base system lacks (a newcomer's
# machine has it; the box boots it), and the box's pgrep.
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq systemd procps >/dev/null
name="fresh-check-$$"
"$box" start "$name" >/dev/null
trap '"$box" stop "$name" >/dev/null 2>&1 || true' EXIT
# Root has no sudo on a minimal system: there it runs the command itself.
"$box" run "$name" bash -c 'command -v sudo >/dev/null || sudo() { "$@"; }; set -e; cd "$1"; eval "$2"' \
  sh "$PWD" "$block" >"$logs/block.log" 2>&1 || {
  tail -n 40 "$logs/block.log"
  echo "FAIL: the README's first block failed on a fresh machine" >&2
  exit 1
}
"$box" run "$name" systemctl is-active --quiet KVLogService || {
  "$box" run "$name" systemctl status KVLogService --no-pager
  echo "FAIL: the package did not leave KVLogService running" >&2
  exit 1
}
"$box" run "$name" journalctl -t KVLogService -o cat --no-pager | grep -qx 'KVLogService started' || {
  echo "FAIL: no 'KVLogService started' in the journal" >&2
  exit 1
}
"$box" stop "$name" >/dev/null
trap - EXIT
echo "   the package is installed and KVLogService runs"
elapsed $start

echo "== The demo on a fresh Debian: bash scripts/demo.sh"
start=$SECONDS
bash scripts/demo.sh >"$logs/demo.log" 2>&1 || {
  tail -n 40 "$logs/demo.log"
  echo "FAIL: the demo failed on a fresh machine" >&2
  exit 1
}
grep -q 'svcrun ended with exit code 0' "$logs/demo.log" || {
  tail -n 40 "$logs/demo.log"
  echo "FAIL: the demo's service did not end with 0" >&2
  exit 1
}
echo "   the demo ran and its service ended with 0"
elapsed $start
