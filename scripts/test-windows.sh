#!/usr/bin/env bash
# Builds the Windows programs and tests with mingw-w64 (scripts/build-windows.sh)
# and runs the tests under Wine, through ctest with Wine as the emulator, in a
# fresh Wine prefix in a temporary folder (no display needed), removed
# afterwards. Among them: kvlogsend.exe sends events to a Linux kvlogserver,
# which must log them as it logs the same events from the Linux kvlogsend
# (tests/kvlogsend/windows_send_check.sh), and the install and uninstall
# boxes on an X server of their own (tests/app/windows_desktop_boxes.sh),
# with a screenshot of each in BUILD_DIR/desktop-boxes.
#   bash scripts/test-windows.sh [BUILD_DIR] [CTEST_ARGS...]   (default build-windows)
# CTEST_ARGS pick tests (-R REGEX). Installs what it needs with apt-get when
# missing (CMake, the native and the cross compiler, wine64, the GoogleTest
# sources, the X server and its tools, a Japanese font, the locale
# sources); downloads nothing else. The Linux programs that some tests talk
# to are built in BUILD_DIR/linux-tools.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows}
shift || true
started=$SECONDS

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v make >/dev/null || missing+=(make)
command -v g++ >/dev/null || missing+=(g++)  # the Linux programs the tests talk to
[ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v python3 >/dev/null || missing+=(python3)
[ -f /usr/share/i18n/locales/ja_JP ] || missing+=(locales)
command -v pgrep >/dev/null || missing+=(procps)
# The boxes on a desktop: the X server, the tools that find, read, press and
# photograph them, and a font with the Japanese texts; without what they
# merely recommend (ImageMagick's would bring Ghostscript and more).
desktop=()
command -v Xvfb >/dev/null || desktop+=(xvfb)
command -v xdotool >/dev/null || desktop+=(xdotool)
command -v xprop >/dev/null || desktop+=(x11-utils)
command -v import >/dev/null || desktop+=(imagemagick)
[ -d /usr/share/fonts/truetype/vlgothic ] || desktop+=(fonts-vlgothic)
if [ ${#missing[@]} -gt 0 ] || [ ${#desktop[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  [ ${#missing[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  [ ${#desktop[@]} -eq 0 ] ||
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${desktop[@]}"
fi
wine=/usr/lib/wine/wine64
toolchain=$PWD/cmake/mingw-w64-x86_64.cmake

echo "== GoogleTest for Windows, from /usr/src/googletest"
case $build in
  /*) gtest_prefix=$build/googletest-install ;;
  *) gtest_prefix=$PWD/$build/googletest-install ;;
esac
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build/googletest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest_prefix" -DBUILD_GMOCK=ON >/dev/null
  cmake --build "$build/googletest" -j2 >/dev/null
  cmake --install "$build/googletest" >/dev/null
fi

echo "== Windows programs and tests"
bash scripts/build-windows.sh "$build" -DBUILD_TESTING=ON -DKV_WERROR=ON -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$wine"

echo "== Wine prefix"
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/kvlogserver-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
# Booted first: Wine's first-run messages would otherwise spoil the test
# listings. Its standard output goes to a file: processes it starts keep it.
# The session it starts (the service manager and the other processes of the
# prefix) stays up until the end, under a persistent wineserver started
# before: a session that ended between two tests would be started again by
# the next test's program and keep that test's standard output open, so
# that ctest saw the test run on until the session ended (one done in 77 ms
# timed out after 180 s).
/usr/lib/wine/wineserver -p
timeout 300 "$wine" wineboot -i >"$WINEPREFIX/boot.log" 2>&1

echo "== Tests under Wine"
(cd "$build" && ctest -j2 --timeout 180 --output-on-failure "$@")

echo "== test-windows.sh took $((SECONDS - started)) s"
