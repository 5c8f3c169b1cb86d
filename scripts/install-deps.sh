#!/usr/bin/env bash
# Installs the build and test tools a fresh Debian machine lacks.
#   scripts/install-deps.sh          everything the build, the tests, the
#                                    benchmarks and the package need
#   scripts/install-deps.sh programs only what building the programs needs
#   scripts/install-deps.sh package  the programs and the Debian package
#                                    (cpack -G DEB), without the tests
#   scripts/install-deps.sh crash    the programs and the crash checker
#                                    (strace, Debian's Python 3)
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
if [ "${1:-all}" != programs ] && [ "${1:-all}" != package ]; then
  command -v strace >/dev/null || need+=(strace)
  [ -x /usr/bin/python3 ] || need+=(python3)
fi
if [ "${1:-all}" = package ]; then
  command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
  command -v file >/dev/null || need+=(file)
elif [ "${1:-all}" != programs ] && [ "${1:-all}" != crash ]; then
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  # The man page lint, the package (cpack's dependency list needs
  # dpkg-shlibdeps) and its checks.
  command -v man >/dev/null || need+=(man-db)
  command -v groff >/dev/null || need+=(groff-base)
  command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
  command -v file >/dev/null || need+=(file)  # cpack -G DEB looks at each file with it
  command -v lintian >/dev/null || need+=(lintian)
  command -v readelf >/dev/null || need+=(binutils)
  command -v systemd-analyze >/dev/null || need+=(systemd)
  command -v pgrep >/dev/null || need+=(procps)  # the systemd box finds its systemd with it
  # The rsyslog example's test and bench/load. Not where another syslog
  # daemon is installed: rsyslog's package would remove it.
  if ! command -v rsyslogd >/dev/null && [ ! -x /usr/sbin/rsyslogd ]; then
    if dpkg-query -W -f='${Status}' syslog-ng-core 2>/dev/null | grep -q 'ok installed' ||
      dpkg-query -W -f='${Status}' busybox-syslogd 2>/dev/null | grep -q 'ok installed'; then
      echo "Another syslog daemon is installed: rsyslog is left out, and its example's test is skipped" >&2
    else
      need+=(rsyslog)
    fi
  fi
  # The layout check.
  command -v clang-format >/dev/null || command -v clang-format-14 >/dev/null || need+=(clang-format)
  # The fuzz targets need clang 14 with its libFuzzer and sanitizer runtimes.
  if [ -n "${KV_NEED_CLANG:-}" ]; then
    command -v clang++-14 >/dev/null || need+=(clang-14)
    ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
      need+=(libclang-rt-14-dev)
  fi
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${need[@]}"
fi
