// When lost datagrams are reported, replayed on the manual clock: minutes of
// a flood without waiting for them.
#include "logsvc/loss_reporter.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(LossReporter, CountersAreLookedAtOnceASecondAndAlwaysAtAStop) {
  win::ManualMonotonicClock clock;
  kv::TLossReporter reporter;
  EXPECT_TRUE(reporter.LookNow(false));
  EXPECT_FALSE(reporter.LookNow(false));
  clock.Advance(999ms);
  EXPECT_FALSE(reporter.LookNow(false));
  EXPECT_TRUE(reporter.LookNow(true));
  clock.Advance(1s);
  EXPECT_TRUE(reporter.LookNow(false));
}

TEST(LossReporter, FirstLossAtOnceThenAtMostOnceAMinuteAndTheRestAtTheStop) {
  win::ManualMonotonicClock clock;
  kv::TLossReporter reporter;
  ASSERT_TRUE(reporter.LookNow(false));
  EXPECT_EQ(reporter.Due(7, 0, false), 0u);
  EXPECT_EQ(reporter.Due(7, 5, false), 5u);  // the first loss is not delayed
  for (int second = 1; second < 60; ++second) {
    clock.Advance(1s);
    ASSERT_TRUE(reporter.LookNow(false));
    ASSERT_EQ(reporter.Due(7, 5 + second, false), 0u) << "second " << second;
  }
  clock.Advance(1s);
  ASSERT_TRUE(reporter.LookNow(false));
  EXPECT_EQ(reporter.Due(7, 65, false), 60u);  // a minute's worth in one report
  clock.Advance(1s);
  ASSERT_TRUE(reporter.LookNow(true));
  EXPECT_EQ(reporter.Due(7, 70, true), 5u);  // the stop does not wait
  ASSERT_TRUE(reporter.LookNow(true));
  EXPECT_EQ(reporter.Due(7, 70, true), 0u);  // nothing new, nothing reported
  EXPECT_EQ(reporter.Due(8, 3, true), 3u);   // a new socket counts from 0
}

}  // namespace
