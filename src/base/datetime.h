// Date-time values: days since 1899-12-30 as a double, the time of day as
// the fraction, in local time. The whole part is the day.
#pragma once

#include <string>
#include <string_view>

#include "base/clock.h"

namespace kv {

using TDateTime = double;

// False for an impossible date or time (month 13, 31 April, hour 24, ...).
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms, TDateTime& out);
TDateTime EncodeDate(int year, int month, int day);    // raises kv::Exception when invalid
TDateTime EncodeDateTime(const DateTimeParts& parts);  // raises kv::Exception when invalid
DateTimeParts DecodeDateTime(TDateTime value);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Current local date-time and date (at 00:00) from CurrentClock().
TDateTime Now();
TDateTime Date();

// The process-wide date and time settings. The service fixes them at start:
// "/" and ":" as separators, "yyyy/mm/dd" and "hh:nn:ss" as short formats.
struct FormatSettingsData {
  char DateSeparator = '/';
  char TimeSeparator = ':';
  std::string ShortDateFormat = "yyyy/mm/dd";
  std::string ShortTimeFormat = "hh:nn:ss";
};
FormatSettingsData& FormatSettings();
void ApplyServiceDateTimeSettings();

// Formats with the codes yyyy, mm, dd, hh, nn, ss; "/" and ":" stand for the
// separators of FormatSettings(); other characters are copied.
std::string FormatDateTime(std::string_view format, const DateTimeParts& parts);

}  // namespace kv
