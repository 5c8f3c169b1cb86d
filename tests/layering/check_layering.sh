#!/usr/bin/env bash
# Checks that the source tree has the shape src/CMakeLists.txt states:
#  - the library folders, in dependency order, are the list KV_LIBRARY_DIRS
#    there; every folder of src/ is in that list;
#  - a file of one library folder includes ("dir/...") only headers of its
#    own folder or of folders before it in the list;
#  - tests/ has one folder for each library folder and each tool of tools/,
#    and besides those only the shared folders named below;
#  - the platform library has two backends beside its shared headers:
#    src/platform/posix (Linux) and src/platform/win32 (the Windows API).
#    Only their files include system headers (<...h>) or call the system
#    past the platform's headers (std::filesystem, file streams, the
#    standard clocks' now(), the environment, processes); a backend's own
#    headers ("platform/posix/...", "platform/win32/...") are included only
#    by that backend, and outside src/ by what exists only on Linux (the
#    svcrun tool, the benchmarks, the fuzz targets and the tests named in
#    tests/linux_only.cmake).
# Prints every breach and ends with 1 when there is one, else 0.
#   check_layering.sh [SOURCE_ROOT]
set -uo pipefail
root=${1:-$(dirname "$0")/../..}
cd "$root" || exit 2

# Test folders that belong to no single library or tool: the shared test
# helpers, the injected failures on the whole program, the manual pages, the
# service under a real systemd, the example configurations of examples/, and
# this check.
shared_test_dirs="support faults man systemd examples layering"

status=0
fail() {
  echo "$*"
  status=1
}
# Folders left empty (a checkout after a move) do not count.
has_files() { [ -n "$(find "$1" -type f -print -quit)" ]; }

order=$(sed -n 's/^[[:space:]]*set(KV_LIBRARY_DIRS[[:space:]]\+\([^)]*\))/\1/p' src/CMakeLists.txt)
if [ -z "$order" ]; then
  echo "src/CMakeLists.txt: no set(KV_LIBRARY_DIRS ...) line"
  exit 1
fi
declare -A rank
i=0
for dir in $order; do
  rank[$dir]=$i
  i=$((i + 1))
done

for path in src/*/; do
  dir=$(basename "$path")
  has_files "$path" || continue
  [ -n "${rank[$dir]+x}" ] || fail "src/$dir: not in KV_LIBRARY_DIRS of src/CMakeLists.txt"
done

# Every quoted include with a folder, as "file<TAB>line<TAB>folder".
while IFS=$'\t' read -r file line target; do
  dir=${file#src/}
  dir=${dir%%/*}
  [ -n "${rank[$dir]+x}" ] || continue  # reported above
  if [ -z "${rank[$target]+x}" ]; then
    fail "$file:$line: includes \"$target/...\", which is no library folder"
  elif [ "${rank[$target]}" -gt "${rank[$dir]}" ]; then
    fail "$file:$line: $dir includes \"$target/...\", which comes after it in KV_LIBRARY_DIRS"
  fi
done < <(grep -rn --include='*.h' --include='*.cpp' -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"/]+/' src |
           sed -E 's/^([^:]+):([0-9]+):[^"]*"([^"/]+)\/.*/\1\t\2\t\3/')

# System headers: only the backends include them. Compiler headers that
# every toolchain of both builds ships are no system headers.
compiler_headers="cxxabi.h"
while IFS=: read -r file line text; do
  case "$file" in src/platform/posix/* | src/platform/win32/*) continue ;; esac
  header=$(echo "$text" | sed -E 's/.*<([^>]+)>.*/\1/')
  case " $compiler_headers " in *" $header "*) continue ;; esac
  fail "$file:$line: includes the system header <$header>; only src/platform/posix and src/platform/win32 may"
done < <(grep -rn --include='*.h' --include='*.cpp' -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*<[^>]+\.h>' src)

# System calls past the platform: the libraries above it ask the platform
# for files, clocks and the environment, so that both backends' handling
# (ANSI paths, the manual test clock) applies. Comment lines do not count.
past_platform='std::filesystem|#[[:space:]]*include[[:space:]]*<(filesystem|fstream|unistd\.h|windows\.h)>|std::[io]?fstream|_clock::now[[:space:]]*\(|std::fopen|getenv[[:space:]]*\(|std::system[[:space:]]*\('
while IFS=: read -r file line text; do
  case "$file" in src/platform/*) continue ;; esac
  case "$(echo "$text" | sed -E 's/^[[:space:]]+//')" in //*) continue ;; esac
  call=$(echo "$text" | grep -oE "$past_platform" | head -1)
  fail "$file:$line: uses $call directly; only src/platform may (ask the platform's headers)"
done < <(grep -rnE --include='*.h' --include='*.cpp' "$past_platform" src)

# Backend headers: each backend's own, and outside src/ only on Linux.
linux_only=$(sed -n '/^set(KV_LINUX_ONLY_TESTS/,/^)/s/^[[:space:]]\+\([^[:space:]"]\+\)[[:space:]].*/\1/p' tests/linux_only.cmake)
is_linux_only() {
  case "$1" in tools/svcrun/* | bench/* | fuzz/*) return 0 ;; esac
  local entry
  for entry in $linux_only; do
    case "$1" in "tests/$entry" | "tests/$entry"/* | "tests/${entry%.cpp}.h") return 0 ;; esac
  done
  return 1
}
while IFS=: read -r file line text; do
  backend=$(echo "$text" | sed -E 's@.*"platform/(posix|win32)/.*@\1@')
  case "$file" in
    src/platform/"$backend"/*) ;;
    src/*) fail "$file:$line: includes a header of the $backend backend; only that backend's own files may include it" ;;
    *)
      if [ "$backend" = win32 ] || ! is_linux_only "$file"; then
        fail "$file:$line: includes a header of the $backend backend, but is built for both systems (tests/linux_only.cmake names the Linux-only tests)"
      fi
      ;;
  esac
done < <(grep -rn --include='*.h' --include='*.cpp' -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"platform/(posix|win32)/' src tools tests bench fuzz)

declare -A expected
for dir in $order $shared_test_dirs; do expected[$dir]=1; done
for path in tools/*/; do
  [ -f "$path/CMakeLists.txt" ] && expected[$(basename "$path")]=1
done
for path in tests/*/; do
  dir=$(basename "$path")
  has_files "$path" || continue
  [ -n "${expected[$dir]+x}" ] || fail "tests/$dir: no library folder or tool of that name; its tests belong in the folder of what they test"
  [ -f "$path/CMakeLists.txt" ] || fail "tests/$dir: no CMakeLists.txt, so nothing in it is built"
done
for dir in $order; do
  [ -d "tests/$dir" ] || fail "tests/$dir: missing; each library folder has a test folder"
done
for path in tools/*/; do
  dir=$(basename "$path")
  [ -f "$path/CMakeLists.txt" ] && [ ! -d "tests/$dir" ] && fail "tests/$dir: missing; each tool has a test folder"
done

[ "$status" -eq 0 ] && echo "layering: each of $(echo $order | sed "s/ /, /g") uses only the ones before it"
exit "$status"
