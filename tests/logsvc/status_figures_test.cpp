#include "logsvc/status_figures.h"

#include <cstdint>

#include <gtest/gtest.h>

namespace {

using kv::DateTimeParts;
using kv::StatusFigures;

const DateTimeParts kNoon{2026, 12, 10, 12, 0, 0, 0};

TEST(StatusFigures, ARunningServiceShowsEveryFigureWithTimesOfToday) {
  StatusFigures f;
  f.events = 1204331;
  f.relayed = 1204331;
  f.bufferedLines = 1;
  f.lastSaveAt = kNoon;
  f.lastSaveFile = "kvs20261210120000.log";
  f.nextSaveAt = kv::AddMilliseconds(kNoon, 21600u * 1000u);
  EXPECT_EQ(kv::FormatStatusFigures(f, DateTimeParts{2026, 12, 10, 12, 0, 5, 0}),
            "1,204,331 events · 1,204,331 relayed · 0 lost · 1 line buffered · "
            "last save 12:00:00 kvs20261210120000.log · next 18:00:00");
}

TEST(StatusFigures, LossFailedSavesOtherDaysAndTheEndAreNamed) {
  StatusFigures f;
  f.events = 1;
  f.relayed = 0;
  f.kernelDrops = 1000;
  f.queueDrops = 2;
  f.bufferedLines = 2;
  f.failedSaves = 3;
  EXPECT_EQ(kv::FormatStatusFigures(f, kNoon),
            "1 event · 0 relayed · 1,002 lost (1,000 kernel, 2 queue) · 2 lines buffered · "
            "no save yet (3 failed) · next on flush or stop");

  // A save of yesterday and one due tomorrow carry their dates.
  f.lastSaveAt = DateTimeParts{2026, 12, 9, 23, 59, 59, 0};
  f.lastSaveFile = "kvs20261209235959.log";
  f.nextSaveAt = DateTimeParts{2026, 12, 11, 0, 0, 0, 0};
  EXPECT_EQ(kv::FormatStatusFigures(f, kNoon),
            "1 event · 0 relayed · 1,002 lost (1,000 kernel, 2 queue) · 2 lines buffered · "
            "last save 2026/12/09 23:59:59 kvs20261209235959.log (3 failed since) · next 2026/12/11 00:00:00");

  f.running = false;
  EXPECT_EQ(kv::FormatStatusFigures(f, kNoon).find("next"), std::string::npos);
}

TEST(StatusFigures, ThousandsAndPeriodsOverMonthsAndYears) {
  EXPECT_EQ(kv::GroupThousands(0), "0");
  EXPECT_EQ(kv::GroupThousands(999), "999");
  EXPECT_EQ(kv::GroupThousands(1000), "1,000");
  EXPECT_EQ(kv::GroupThousands(UINT64_MAX), "18,446,744,073,709,551,615");

  auto same = [](const DateTimeParts& a, const DateTimeParts& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second;
  };
  EXPECT_TRUE(same(kv::AddMilliseconds({2026, 12, 31, 23, 59, 59, 0}, 1000), {2027, 1, 1, 0, 0, 0, 0}));
  EXPECT_TRUE(same(kv::AddMilliseconds({2028, 2, 28, 18, 0, 0, 0}, 21600u * 1000u), {2028, 2, 29, 0, 0, 0, 0}));
  // The longest timer period, 0x7FFFFFFF ms: 24 days 20:31:23.647.
  EXPECT_TRUE(same(kv::AddMilliseconds(kNoon, 0x7FFFFFFFu), {2027, 1, 4, 8, 31, 23, 0}));
}

}  // namespace
