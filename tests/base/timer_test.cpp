#include "base/timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/app_failure.h"
#include "platform/messages.h"
#include "platform/monotonic_clock.h"
#include "support/message_pump.h"

namespace {

using namespace std::chrono_literals;

// The timers run on a manual clock: a tick comes when the test moves time
// past its deadline, never by itself.
class TimerComponentTest : public ::testing::Test {
 protected:
  // Moves time on by `period` and lets a due tick be queued without
  // dispatching it.
  void LetTickQueue(std::chrono::milliseconds period = 1ms) {
    clock.Advance(period);
    win::MSG msg;
    win::PeekMessage(&msg, nullptr, 0, 0, win::PM_NOREMOVE);
  }
  // Moves time on by `period` and dispatches what came due; returns the count.
  int PumpAfter(std::chrono::milliseconds period) {
    clock.Advance(period);
    return kvtest::PumpPendingMessages();
  }

  win::ManualMonotonicClock clock;
};

TEST_F(TimerComponentTest, DefaultsAndNoTickWithoutHandler) {
  kv::TTimer timer;
  EXPECT_EQ(timer.Interval(), 1000u);
  EXPECT_TRUE(timer.Enabled());
  EXPECT_FALSE(timer.OnTimer());
  timer.SetInterval(1);
  LetTickQueue();
  EXPECT_EQ(kvtest::PumpPendingMessages(), 0);
}

TEST_F(TimerComponentTest, TicksThroughTheMessageLoopWithItself) {
  kv::TTimer timer;
  timer.SetInterval(2);
  int ticks = 0;
  kv::TTimer* sender = nullptr;
  timer.SetOnTimer([&](kv::TTimer& t) {
    ++ticks;
    sender = &t;
  });
  EXPECT_EQ(PumpAfter(1ms), 0);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(PumpAfter(i == 1 ? 1ms : 2ms), 1);
    EXPECT_EQ(ticks, i);
  }
  EXPECT_EQ(sender, &timer);
}

TEST_F(TimerComponentTest, PeriodZeroAndDisabledNeverFire) {
  int ticks = 0;
  kv::TTimer timer;
  timer.SetOnTimer([&](kv::TTimer&) { ++ticks; });
  timer.SetInterval(0);
  PumpAfter(30ms);
  EXPECT_EQ(ticks, 0);

  timer.SetInterval(1);
  LetTickQueue();
  timer.SetEnabled(false);  // drops the queued tick
  PumpAfter(30ms);
  EXPECT_EQ(ticks, 0);

  timer.SetEnabled(true);
  PumpAfter(1ms);
  EXPECT_EQ(ticks, 1);
}

TEST_F(TimerComponentTest, OnlyADifferentValueRestartsTheCount) {
  int ticks = 0;
  kv::TTimer timer;
  timer.SetInterval(200);
  timer.SetOnTimer([&](kv::TTimer&) { ++ticks; });
  LetTickQueue(200ms);
  timer.SetInterval(200);  // same period: the running count and its tick stay
  timer.SetEnabled(true);
  EXPECT_EQ(kvtest::PumpPendingMessages(), 1);
  EXPECT_EQ(ticks, 1);

  LetTickQueue(200ms);
  timer.SetInterval(60000);  // new period: new count from now, tick dropped
  EXPECT_EQ(kvtest::PumpPendingMessages(), 0);
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(PumpAfter(59999ms), 0);
  EXPECT_EQ(PumpAfter(1ms), 1);
  EXPECT_EQ(ticks, 2);
}

TEST_F(TimerComponentTest, HandlerFailureGoesToTheFailureHandlerAndTimerStaysArmed) {
  std::vector<std::string> failures;
  kv::SetApplicationFailureHandler([&](const std::exception& e) { failures.push_back(e.what()); });
  kv::TTimer timer;
  timer.SetInterval(1);
  timer.SetOnTimer([](kv::TTimer&) -> void { throw kv::Exception("save failed"); });
  PumpAfter(1ms);
  PumpAfter(1ms);
  kv::SetApplicationFailureHandler(nullptr);
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0], "save failed");
}

TEST_F(TimerComponentTest, HandlerMayDisableItsOwnTimer) {
  int ticks = 0;
  kv::TTimer timer;
  timer.SetInterval(1);
  timer.SetOnTimer([&](kv::TTimer& t) {
    ++ticks;
    t.SetEnabled(false);
  });
  PumpAfter(1ms);
  EXPECT_EQ(ticks, 1);
  PumpAfter(20ms);
  EXPECT_EQ(ticks, 1);
}

TEST_F(TimerComponentTest, NoTimerFromAnotherThreadRaisesTheJapaneseText) {
  kv::TTimer timer;
  timer.SetOnTimer([](kv::TTimer&) {});
  std::string text;
  std::string className;
  std::thread([&] {
    try {
      timer.SetInterval(5);
    } catch (const kv::Exception& e) {
      text = e.Message();
      className = e.ClassName();
    }
  }).join();
  EXPECT_EQ(text, "タイマーを取得できません");
  EXPECT_EQ(className, "EOutOfResources");
}

}  // namespace
