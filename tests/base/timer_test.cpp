#include "base/timer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/app_failure.h"
#include "platform/messages.h"
#include "support/message_pump.h"

namespace {

using namespace std::chrono_literals;

// Lets a timer's tick become due and queued without dispatching it.
void LetTickQueue(std::chrono::milliseconds period = 1ms) {
  std::this_thread::sleep_for(period + 5ms);
  win::MSG msg;
  win::PeekMessage(&msg, nullptr, 0, 0, win::PM_NOREMOVE);
}

TEST(TimerComponentTest, DefaultsAndNoTickWithoutHandler) {
  kv::TTimer timer;
  EXPECT_EQ(timer.Interval(), 1000u);
  EXPECT_TRUE(timer.Enabled());
  EXPECT_FALSE(timer.OnTimer());
  timer.SetInterval(1);
  LetTickQueue();
  EXPECT_EQ(kvtest::PumpPendingMessages(), 0);
}

TEST(TimerComponentTest, TicksThroughTheMessageLoopWithItself) {
  kv::TTimer timer;
  timer.SetInterval(2);
  int ticks = 0;
  kv::TTimer* sender = nullptr;
  timer.SetOnTimer([&](kv::TTimer& t) {
    ++ticks;
    sender = &t;
  });
  EXPECT_TRUE(kvtest::PumpMessagesUntil([&] { return ticks >= 3; }));
  EXPECT_EQ(sender, &timer);
}

TEST(TimerComponentTest, PeriodZeroAndDisabledNeverFire) {
  int ticks = 0;
  kv::TTimer timer;
  timer.SetOnTimer([&](kv::TTimer&) { ++ticks; });
  timer.SetInterval(0);
  kvtest::PumpMessagesUntil([] { return false; }, 30ms);
  EXPECT_EQ(ticks, 0);

  timer.SetInterval(1);
  LetTickQueue();
  timer.SetEnabled(false);  // drops the queued tick
  kvtest::PumpMessagesUntil([] { return false; }, 30ms);
  EXPECT_EQ(ticks, 0);

  timer.SetEnabled(true);
  EXPECT_TRUE(kvtest::PumpMessagesUntil([&] { return ticks >= 1; }));
}

TEST(TimerComponentTest, OnlyADifferentValueRestartsTheCount) {
  int ticks = 0;
  kv::TTimer timer;
  // Long enough that no second tick comes due while the first is drained.
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
}

TEST(TimerComponentTest, HandlerFailureGoesToTheFailureHandlerAndTimerStaysArmed) {
  std::vector<std::string> failures;
  kv::SetApplicationFailureHandler([&](const std::exception& e) { failures.push_back(e.what()); });
  kv::TTimer timer;
  timer.SetInterval(1);
  timer.SetOnTimer([](kv::TTimer&) -> void { throw kv::Exception("save failed"); });
  EXPECT_TRUE(kvtest::PumpMessagesUntil([&] { return failures.size() >= 2; }));
  kv::SetApplicationFailureHandler(nullptr);
  EXPECT_EQ(failures[0], "save failed");
}

TEST(TimerComponentTest, HandlerMayDisableItsOwnTimer) {
  int ticks = 0;
  kv::TTimer timer;
  timer.SetInterval(1);
  timer.SetOnTimer([&](kv::TTimer& t) {
    ++ticks;
    t.SetEnabled(false);
  });
  EXPECT_TRUE(kvtest::PumpMessagesUntil([&] { return ticks == 1; }));
  kvtest::PumpMessagesUntil([] { return false; }, 20ms);
  EXPECT_EQ(ticks, 1);
}

TEST(TimerComponentTest, NoTimerFromAnotherThreadRaisesTheJapaneseText) {
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
