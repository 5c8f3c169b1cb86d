#include "support/file_times.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>

#include "platform/error.h"

namespace kvtest {
namespace {

win::FILETIME FromUnixSeconds(std::int64_t seconds) {
  const std::uint64_t ticks = static_cast<std::uint64_t>(seconds + 11644473600LL) * 10000000ULL;
  win::FILETIME ft;
  ft.dwLowDateTime = static_cast<win::DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<win::DWORD>(ticks >> 32);
  return ft;
}

std::tm Calendar(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return tm;
}

}  // namespace

win::FILETIME FileTimeFromUtc(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm = Calendar(year, month, day, hour, minute, second);
#ifdef _WIN32
  return FromUnixSeconds(static_cast<std::int64_t>(_mkgmtime(&tm)));
#else
  return FromUnixSeconds(static_cast<std::int64_t>(timegm(&tm)));
#endif
}

win::FILETIME FileTimeFromLocal(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm = Calendar(year, month, day, hour, minute, second);
  return FromUnixSeconds(static_cast<std::int64_t>(mktime(&tm)));
}

void SetLocalLastWrite(const std::string& path, int year, int month, int day, int hour, int minute, int second) {
  ASSERT_TRUE(win::SetFileLastWriteTime(path, FileTimeFromLocal(year, month, day, hour, minute, second)))
      << path << " error " << win::GetLastError();
}

}  // namespace kvtest
