#include "base/datetime.h"

#include <cmath>
#include <cstdint>

#include "base/exception.h"
#include "platform/calendar.h"

namespace kv {
namespace {

// 1899-12-30, day 0 of a TDateTime, as a day of the platform calendar.
constexpr std::int64_t kDay0 = -25569;

}  // namespace

bool IsLeapYear(int year) { return win::IsLeapYear(year); }

int DaysInMonth(int year, int month) { return win::DaysInMonth(year, month); }

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms, TDateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || ms < 0 || ms > 999)
    return false;
  double date = static_cast<double>(win::DaysFromCivil(year, month, day) - kDay0);
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
  const win::CivilDate date = win::CivilFromDays(static_cast<std::int64_t>(whole) + kDay0);
  p.year = static_cast<int>(date.year);
  p.month = date.month;
  p.day = date.day;
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
