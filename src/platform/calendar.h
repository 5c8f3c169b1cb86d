// The proleptic Gregorian calendar on day numbers, for the layers that
// count dates: file times (FILETIME, DOS date) here and the date-time
// values of base. Day 0 is 1970-01-01. Pure; safe from any thread.
#pragma once

#include <cstdint>

namespace win {

struct CivilDate {
  std::int64_t year;
  int month;  // 1..12
  int day;    // 1..31
};

// Day number -> date, and back. Exact for every date of the int64 range the
// arithmetic does not overflow (far beyond years 1 to 9999).
CivilDate CivilFromDays(std::int64_t days);
std::int64_t DaysFromCivil(std::int64_t year, int month, int day);

bool IsLeapYear(std::int64_t year);
// 28..31; 0 for a month outside 1..12.
int DaysInMonth(std::int64_t year, int month);

}  // namespace win
