#include "base/datetime.h"

#include <cmath>

#include "base/exception.h"

namespace kv {
namespace {

constexpr int kDaysTo1899_12_30 = 693594;  // 1899-12-30 counted from 0001-01-01 as day 1

int DaysBeforeYear(int year) {
  int y = year - 1;
  return y * 365 + y / 4 - y / 100 + y / 400;
}

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms,
                       TDateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
    return false;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || ms < 0 || ms > 999)
    return false;
  int days = DaysBeforeYear(year);
  for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
  days += day;
  // days counts 0001-01-01 as 1, so 1899-12-30 is day kDaysTo1899_12_30.
  double date = static_cast<double>(days - kDaysTo1899_12_30);
  double time = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + ms) / 86400000.0;
  out = date >= 0 ? date + time : date - time;
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime out = 0;
  if (!TryEncodeDateTime(year, month, day, 0, 0, 0, 0, out)) throw Exception("Invalid argument to date encode");
  return out;
}

TDateTime EncodeDateTime(const DateTimeParts& p) {
  TDateTime out = 0;
  if (!TryEncodeDateTime(p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond, out))
    throw Exception("Invalid argument to date encode");
  return out;
}

DateTimeParts DecodeDateTime(TDateTime value) {
  DateTimeParts p;
  double whole = std::trunc(value);
  long long msOfDay = std::llround(std::fabs(value - whole) * 86400000.0);
  if (msOfDay >= 86400000LL) msOfDay = 86400000LL - 1;
  long long days = static_cast<long long>(whole) + kDaysTo1899_12_30;  // 1 = 0001-01-01
  // Civil date from a day count (0001-01-01 = 1).
  long long d = days - 1;
  int y400 = static_cast<int>(d / 146097);
  d %= 146097;
  int y100 = static_cast<int>(d / 36524);
  if (y100 == 4) y100 = 3;
  d -= y100 * 36524LL;
  int y4 = static_cast<int>(d / 1461);
  d %= 1461;
  int y1 = static_cast<int>(d / 365);
  if (y1 == 4) y1 = 3;
  d -= y1 * 365LL;
  p.year = y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1;
  p.month = 1;
  while (d >= DaysInMonth(p.year, p.month)) {
    d -= DaysInMonth(p.year, p.month);
    ++p.month;
  }
  p.day = static_cast<int>(d) + 1;
  p.hour = static_cast<int>(msOfDay / 3600000);
  p.minute = static_cast<int>(msOfDay / 60000 % 60);
  p.second = static_cast<int>(msOfDay / 1000 % 60);
  p.millisecond = static_cast<int>(msOfDay % 1000);
  return p;
}

TDateTime Now() { return EncodeDateTime(CurrentClock().LocalNow()); }

TDateTime Date() {
  DateTimeParts p = CurrentClock().LocalNow();
  return EncodeDate(p.year, p.month, p.day);
}

FormatSettingsData& FormatSettings() {
  static FormatSettingsData settings;
  return settings;
}

void ApplyServiceDateTimeSettings() {
  FormatSettingsData& s = FormatSettings();
  s.DateSeparator = '/';
  s.TimeSeparator = ':';
  s.ShortDateFormat = "yyyy/mm/dd";
  s.ShortTimeFormat = "hh:nn:ss";
}

std::string FormatDateTime(std::string_view f, const DateTimeParts& p) {
  auto two = [](std::string& out, int v) {
    out.push_back(static_cast<char>('0' + v / 10 % 10));
    out.push_back(static_cast<char>('0' + v % 10));
  };
  const FormatSettingsData& s = FormatSettings();
  std::string out;
  for (std::size_t i = 0; i < f.size();) {
    std::string_view rest = f.substr(i);
    if (rest.starts_with("yyyy")) {
      int y = p.year;
      out.push_back(static_cast<char>('0' + y / 1000 % 10));
      out.push_back(static_cast<char>('0' + y / 100 % 10));
      two(out, y % 100);
      i += 4;
    } else if (rest.starts_with("mm")) {
      two(out, p.month);
      i += 2;
    } else if (rest.starts_with("dd")) {
      two(out, p.day);
      i += 2;
    } else if (rest.starts_with("hh")) {
      two(out, p.hour);
      i += 2;
    } else if (rest.starts_with("nn")) {
      two(out, p.minute);
      i += 2;
    } else if (rest.starts_with("ss")) {
      two(out, p.second);
      i += 2;
    } else if (f[i] == '/') {
      out.push_back(s.DateSeparator);
      ++i;
    } else if (f[i] == ':') {
      out.push_back(s.TimeSeparator);
      ++i;
    } else {
      out.push_back(f[i]);
      ++i;
    }
  }
  return out;
}

}  // namespace kv
