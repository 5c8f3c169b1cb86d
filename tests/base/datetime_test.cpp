#include "base/datetime.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kv {
namespace {

TEST(DateTime, KnownDayNumbers) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2024, 3, 5), 45356.0);
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
}

TEST(DateTime, RoundTripsEveryDayOverCenturies) {
  for (int day = -693593; day < 2958465; day += 97) {
    DateTimeParts p = DecodeDateTime(day < 0 ? day - 0.75 : day + 0.75);  // negative days carry the time as -fraction
    ASSERT_EQ(EncodeDate(p.year, p.month, p.day), day) << day;
    ASSERT_EQ(p.hour, 18);
  }
}

TEST(DateTime, RejectsImpossibleDates) {
  TDateTime out;
  EXPECT_FALSE(TryEncodeDateTime(2023, 2, 29, 0, 0, 0, 0, out));
  EXPECT_TRUE(TryEncodeDateTime(2024, 2, 29, 23, 59, 59, 999, out));
  EXPECT_FALSE(TryEncodeDateTime(2024, 4, 31, 0, 0, 0, 0, out));
  EXPECT_FALSE(TryEncodeDateTime(2024, 1, 1, 24, 0, 0, 0, out));
}

TEST(DateTime, FormatUsesFixedSeparatorsAndTheClockSeam) {
  ApplyServiceDateTimeSettings();
  FixedClock clock({2024, 3, 5, 14, 7, 9, 500});
  ScopedClockOverride use(clock);
  EXPECT_EQ(FormatDateTime("yyyy/mm/dd hh:nn:ss", CurrentClock().LocalNow()), "2024/03/05 14:07:09");
  EXPECT_EQ(Date(), 45356.0);
  EXPECT_NEAR(Now() - Date(), (14 * 3600 + 7 * 60 + 9.5) / 86400.0, 1e-9);
}

}  // namespace
}  // namespace kv
