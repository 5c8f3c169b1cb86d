#!/usr/bin/env bash
# Checks manual pages with `mandoc -T lint` where mandoc is installed, else
# with `man --warnings -l` (groff): any warning fails.
#   lint_man.sh PAGE...
set -uo pipefail
status=0
for page in "$@"; do
  if command -v mandoc >/dev/null; then
    out=$(mandoc -T lint -W warning "$page" 2>&1)
  elif command -v man >/dev/null && command -v groff >/dev/null; then
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  else
    echo "SKIPPED: neither mandoc nor man with groff is installed"
    exit 77
  fi
  if [ -n "$out" ]; then
    echo "$page:"
    echo "$out"
    status=1
  fi
done
[ $status -eq 0 ] && echo "$# pages lint clean"
exit $status
