#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

namespace win {
namespace {

void Fill(const struct tm& tm, long micros, SYSTEMTIME* st) {
  st->wYear = static_cast<WORD>(tm.tm_year + 1900);
  st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  st->wDay = static_cast<WORD>(tm.tm_mday);
  st->wHour = static_cast<WORD>(tm.tm_hour);
  st->wMinute = static_cast<WORD>(tm.tm_min);
  // A leap second reads as :59, as Windows never reports :60.
  st->wSecond = static_cast<WORD>(tm.tm_sec > 59 ? 59 : tm.tm_sec);
  st->wMilliseconds = static_cast<WORD>(micros / 1000);
}

// The time of day now, broken down by `breakDown` (localtime_r or gmtime_r).
void Now(tm* (*breakDown)(const time_t*, tm*), SYSTEMTIME* st) {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  struct tm tm {};
  time_t secs = tv.tv_sec;
  breakDown(&secs, &tm);
  Fill(tm, tv.tv_usec, st);
}

}  // namespace

void GetLocalTime(SYSTEMTIME* st) { Now(localtime_r, st); }

void GetSystemTime(SYSTEMTIME* st) { Now(gmtime_r, st); }

}  // namespace win
