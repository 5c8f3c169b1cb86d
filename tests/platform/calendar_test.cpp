#include "platform/calendar.h"

#include <gtest/gtest.h>

namespace {

TEST(Calendar, KnownDaysAndEveryDayBackAndForth) {
  EXPECT_EQ(win::DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(win::DaysFromCivil(1601, 1, 1), -134774);  // the FILETIME epoch
  EXPECT_EQ(win::DaysFromCivil(2000, 3, 1) - win::DaysFromCivil(2000, 2, 28), 2);
  EXPECT_EQ(win::DaysFromCivil(1900, 3, 1) - win::DaysFromCivil(1900, 2, 28), 1);
  for (std::int64_t day = -800000; day < 3000000; ++day) {
    const win::CivilDate date = win::CivilFromDays(day);
    ASSERT_GE(date.day, 1);
    ASSERT_LE(date.day, win::DaysInMonth(date.year, date.month)) << day;
    ASSERT_EQ(win::DaysFromCivil(date.year, date.month, date.day), day);
  }
}

}  // namespace
