#!/usr/bin/env bash
# Builds the Windows programs kvlogserver.exe, kvlogsend.exe and
# kvlogwatch.exe with mingw-w64 (posix threads), each statically linked so
# that it needs only the DLLs of Windows itself, and the MSI (wixl).
#   bash scripts/build-windows.sh [BUILD_DIR] [CMAKE_ARGS...]   (default build-windows)
# Installs the cross compiler and CMake with apt-get when they are missing.
# Without CMAKE_ARGS the tests are not built (scripts/test-windows.sh builds
# and runs them).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows}
shift || true

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v cmake >/dev/null || missing+=(cmake)
command -v make >/dev/null || missing+=(make)
command -v x86_64-w64-mingw32-objdump >/dev/null || missing+=(binutils-mingw-w64-x86-64)
command -v wixl >/dev/null || missing+=(wixl)  # the MSI
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

args=("$@")
[ ${#args[@]} -gt 0 ] || args=(-DBUILD_TESTING=OFF)
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DKV_BUILD_BENCH=OFF "${args[@]}"
cmake --build "$build" -j2

# Each program may need only system DLLs: a DLL of the toolchain
# (libstdc++, libgcc, libwinpthread) would be missing on a plain Windows.
status=0
for exe in "$build/src/app/kvlogserver.exe" "$build/tools/kvlogsend/kvlogsend.exe" \
  "$build/tools/kvlogwatch/kvlogwatch.exe"; do
  program=$(basename "$exe" .exe)
  if [ ! -f "$exe" ]; then
    echo "$program.exe was not built" >&2
    status=1
    continue
  fi
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')
  for dll in $dlls; do
    case "${dll,,}" in
      kernel32.dll | user32.dll | advapi32.dll | ws2_32.dll | wsock32.dll | msvcrt.dll | shell32.dll) ;;
      api-ms-win-*) ;;
      *)
        echo "$exe needs $dll, which is no DLL of Windows itself" >&2
        status=1
        ;;
    esac
  done
  echo "$exe: $dlls"
done
exit "$status"
