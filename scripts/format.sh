#!/usr/bin/env bash
# Formats the C++ sources (.h, .cpp under version control) with the layout in
# .clang-format.
#   scripts/format.sh            rewrite the files in place
#   scripts/format.sh --check    change nothing; list the files that differ
#                                and how many lines would change; ends with 1
#                                when any would
# Extra arguments limit it to those files. Uses clang-format 14 (the version
# the layout was tuned with) when installed, else clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
if [ "${1:-}" = "--check" ]; then
  check=1
  shift
fi
formatter=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$formatter" ]; then
  echo "clang-format is not installed (apt-get install clang-format)" >&2
  exit 2
fi

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files '*.h' '*.cpp')
fi

if [ "$check" -eq 0 ]; then
  "$formatter" -i --style=file "${files[@]}"
  exit 0
fi

changed=0
differing=0
for file in "${files[@]}"; do
  n=$("$formatter" --style=file "$file" | diff -U0 "$file" - | sed 1,2d | grep -c '^-' || true)
  if [ "$n" -gt 0 ]; then
    echo "$file: $n lines"
    changed=$((changed + n))
    differing=$((differing + 1))
  fi
done
echo "format: $changed lines in $differing of ${#files[@]} files would change"
[ "$changed" -eq 0 ]
