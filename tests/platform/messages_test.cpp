#include "platform/messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/monotonic_clock.h"
#include "support/message_pump.h"

namespace {

using namespace std::chrono_literals;

constexpr win::UINT kTestMsg = win::WM_USER + 7;

// A hidden window of the calling thread that records what reaches it.
class RecordingWindow {
 public:
  RecordingWindow() {
    hwnd_ = win::CreateHiddenWindow([this](win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
      seen.push_back(win::MSG{hwnd_, msg, wParam, lParam});
      return static_cast<win::LRESULT>(wParam + 1);
    });
  }
  ~RecordingWindow() {
    if (win::IsWindow(hwnd_)) win::DestroyWindow(hwnd_);
  }
  win::HWND hwnd() const { return hwnd_; }
  int Count(win::UINT msg) const {
    int n = 0;
    for (const auto& m : seen) n += m.message == msg ? 1 : 0;
    return n;
  }

  std::vector<win::MSG> seen;

 private:
  win::HWND hwnd_ = nullptr;
};

// A thread with a message queue that runs its loop until WM_QUIT.
class LoopThread {
 public:
  LoopThread() {
    std::promise<win::DWORD> ready;
    auto id = ready.get_future();
    thread_ = std::thread([&ready] {
      win::MSG msg;
      win::PeekMessage(&msg, nullptr, 0, 0, win::PM_NOREMOVE);  // makes the queue
      ready.set_value(win::GetCurrentThreadId());
      while (win::GetMessage(&msg, nullptr, 0, 0) > 0) win::DispatchMessage(&msg);
    });
    tid_ = id.get();
  }
  ~LoopThread() { Stop(); }
  void Stop() {
    if (!thread_.joinable()) return;
    win::PostThreadMessage(tid_, win::WM_QUIT, 0, 0);
    thread_.join();
  }
  win::DWORD tid() const { return tid_; }

 private:
  std::thread thread_;
  win::DWORD tid_ = 0;
};

TEST(ThreadIdTest, IsNonZeroAndDiffersBetweenThreads) {
  win::DWORD mine = win::GetCurrentThreadId();
  win::DWORD other = 0;
  std::thread([&] { other = win::GetCurrentThreadId(); }).join();
  EXPECT_NE(mine, 0u);
  EXPECT_NE(other, 0u);
  EXPECT_NE(mine, other);
  EXPECT_EQ(mine, win::GetCurrentThreadId());
}

TEST(ThreadMessageTest, PostToThreadWithoutQueueFailsAndIsDropped) {
  std::promise<win::DWORD> idPromise;
  std::promise<void> posted;
  std::atomic<int> taken{-1};
  std::thread worker([&] {
    idPromise.set_value(win::GetCurrentThreadId());
    posted.get_future().wait();
    win::MSG msg;
    taken = win::PeekMessage(&msg, nullptr, 0, 0, win::PM_REMOVE);
  });
  win::DWORD tid = idPromise.get_future().get();
  win::SetLastError(0);
  EXPECT_FALSE(win::PostThreadMessage(tid, kTestMsg, 1, 2));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_THREAD_ID);
  posted.set_value();
  worker.join();
  EXPECT_EQ(taken, win::FALSE_);  // the failed post left nothing behind
}

TEST(ThreadMessageTest, PostToEndedThreadFails) {
  win::DWORD tid = 0;
  {
    LoopThread loop;
    tid = loop.tid();
    EXPECT_TRUE(win::PostThreadMessage(tid, kTestMsg, 0, 0));
  }
  EXPECT_FALSE(win::PostThreadMessage(tid, kTestMsg, 0, 0));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_THREAD_ID);
}

TEST(ThreadMessageTest, CrossThreadPostsArriveInOrder) {
  constexpr int kCount = 2000;
  win::MSG msg;
  win::PeekMessage(&msg, nullptr, 0, 0, win::PM_NOREMOVE);
  const win::DWORD me = win::GetCurrentThreadId();
  std::thread a([&] {
    for (int i = 0; i < kCount; ++i) win::PostThreadMessage(me, kTestMsg, 0, i);
  });
  std::thread b([&] {
    for (int i = 0; i < kCount; ++i) win::PostThreadMessage(me, kTestMsg + 1, 0, i);
  });
  int nextA = 0;
  int nextB = 0;
  bool inOrder = true;
  while (nextA < kCount || nextB < kCount) {
    ASSERT_GT(win::GetMessage(&msg, nullptr, 0, 0), 0);
    int& next = msg.message == kTestMsg ? nextA : nextB;
    inOrder = inOrder && msg.lParam == next && msg.hwnd == nullptr;
    ++next;
  }
  a.join();
  b.join();
  EXPECT_TRUE(inOrder);
  EXPECT_FALSE(win::PeekMessage(&msg, nullptr, 0, 0, win::PM_REMOVE));
}

TEST(ThreadMessageTest, PostingWakesAWaitingThread) {
  std::promise<win::DWORD> idle;
  std::atomic<win::LPARAM> got{0};
  std::thread worker([&] {
    win::MSG msg;
    bool told = false;
    // Runs when GetMessage has found nothing and is about to sleep.
    win::SetIdleHandler([&] {
      if (!std::exchange(told, true)) idle.set_value(win::GetCurrentThreadId());
    });
    if (win::GetMessage(&msg, nullptr, 0, 0) > 0) got = msg.lParam;
  });
  win::DWORD tid = idle.get_future().get();
  EXPECT_TRUE(win::PostThreadMessage(tid, kTestMsg, 0, 42));
  worker.join();
  EXPECT_EQ(got, 42);
}

TEST(ThreadMessageTest, QueueRefusesPostsBeyondItsLimit) {
  // The thread fills its own queue, which nothing drains meanwhile.
  win::MSG msg;
  win::PeekMessage(&msg, nullptr, 0, 0, win::PM_NOREMOVE);
  int accepted = 0;
  while (accepted < 20000 && win::PostThreadMessage(win::GetCurrentThreadId(), kTestMsg, 0, 0)) ++accepted;
  EXPECT_EQ(accepted, 10000);
  EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_ENOUGH_QUOTA);
  int drained = 0;
  while (win::PeekMessage(&msg, nullptr, 0, 0, win::PM_REMOVE)) ++drained;
  EXPECT_EQ(drained, 10000);
}

TEST(FilterTest, RangeAndWindowFiltersAndNoRemove) {
  RecordingWindow w1;
  RecordingWindow w2;
  ASSERT_TRUE(win::PostMessage(w1.hwnd(), kTestMsg, 1, 0));
  ASSERT_TRUE(win::PostMessage(w2.hwnd(), kTestMsg + 5, 2, 0));
  ASSERT_TRUE(win::PostThreadMessage(win::GetCurrentThreadId(), kTestMsg + 10, 3, 0));
  win::MSG msg;

  // Range that matches only the second message.
  ASSERT_TRUE(win::PeekMessage(&msg, nullptr, kTestMsg + 1, kTestMsg + 9, win::PM_NOREMOVE));
  EXPECT_EQ(msg.wParam, 2u);
  EXPECT_EQ(msg.hwnd, w2.hwnd());
  // PM_NOREMOVE left it there.
  ASSERT_TRUE(win::PeekMessage(&msg, w2.hwnd(), 0, 0, win::PM_REMOVE));
  EXPECT_EQ(msg.wParam, 2u);
  EXPECT_FALSE(win::PeekMessage(&msg, w2.hwnd(), 0, 0, win::PM_REMOVE));
  // Window-less only.
  ASSERT_TRUE(win::PeekMessage(&msg, win::HWND_THREAD_MESSAGES, 0, 0, win::PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_EQ(msg.hwnd, nullptr);
  // No match in range.
  EXPECT_FALSE(win::PeekMessage(&msg, nullptr, kTestMsg + 100, kTestMsg + 200, win::PM_REMOVE));
  // What is left is the first one.
  ASSERT_TRUE(win::GetMessage(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_EQ(win::DispatchMessage(&msg), 2);  // the procedure's answer
  EXPECT_EQ(w1.Count(kTestMsg), 1);
}

TEST(FilterTest, ForeignWindowAsFilterIsAnError) {
  win::HWND foreign = nullptr;
  std::thread([&] { foreign = win::CreateHiddenWindow([](auto...) { return win::LRESULT{0}; }); }).join();
  win::MSG msg;
  // The thread ended, so its window is gone too.
  EXPECT_FALSE(win::IsWindow(foreign));
  EXPECT_EQ(win::GetMessage(&msg, foreign, 0, 0), -1);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_WINDOW_HANDLE);
}

TEST(QuitTest, GetMessageReturnsZeroAfterEarlierPosts) {
  win::MSG msg;
  win::PeekMessage(&msg, nullptr, 0, 0, win::PM_NOREMOVE);  // makes the queue
  ASSERT_TRUE(win::PostThreadMessage(win::GetCurrentThreadId(), kTestMsg, 0, 0));
  win::PostQuitMessage(7);
  EXPECT_GT(win::GetMessage(&msg, nullptr, 0, 0), 0);
  EXPECT_EQ(msg.message, kTestMsg);
  // A range filter does not hide the quit.
  EXPECT_TRUE(win::PeekMessage(&msg, nullptr, kTestMsg, kTestMsg, win::PM_NOREMOVE));
  EXPECT_EQ(msg.message, win::WM_QUIT);
  EXPECT_EQ(win::GetMessage(&msg, nullptr, 0, 0), 0);
  EXPECT_EQ(msg.message, win::WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_FALSE(win::PeekMessage(&msg, nullptr, 0, 0, win::PM_REMOVE));
}

TEST(QuitTest, PostedQuitEndsAnotherThreadsLoop) {
  // Shared with the loop thread, which outlives the test if it never ends.
  struct Outcome {
    std::promise<win::DWORD> ready;
    std::promise<std::pair<win::BOOL, win::MSG>> ended;
    std::atomic<int> taken{0};
  };
  auto outcome = std::make_shared<Outcome>();
  auto ready = outcome->ready.get_future();
  auto ended = outcome->ended.get_future();
  std::thread loop([outcome] {
    win::MSG msg;
    win::PeekMessage(&msg, nullptr, 0, 0, win::PM_NOREMOVE);  // makes the queue
    outcome->ready.set_value(win::GetCurrentThreadId());
    win::BOOL got;
    while ((got = win::GetMessage(&msg, nullptr, 0, 0)) > 0) ++outcome->taken;
    outcome->ended.set_value({got, msg});
  });
  const win::DWORD tid = ready.get();
  EXPECT_TRUE(win::PostThreadMessage(tid, kTestMsg, 0, 0));
  EXPECT_TRUE(win::PostThreadMessage(tid, win::WM_QUIT, 3, 0));
  if (ended.wait_for(10s) != std::future_status::ready) {
    loop.detach();  // a loop that does not end fails the test instead of hanging it
    FAIL() << "the posted WM_QUIT did not end the loop";
  }
  loop.join();
  const auto [got, msg] = ended.get();
  EXPECT_EQ(got, 0);
  EXPECT_EQ(msg.message, win::WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_EQ(outcome->taken, 1);  // the message posted before it came first
}

TEST(WindowTest, DestroyedWindowRefusesPostsAndDropsQueuedMessages) {
  win::ManualMonotonicClock clock;
  std::vector<win::UINT> seen;
  win::HWND hwnd = win::CreateHiddenWindow([&](win::HWND, win::UINT msg, win::WPARAM, win::LPARAM) {
    seen.push_back(msg);
    return win::LRESULT{0};
  });
  ASSERT_NE(hwnd, nullptr);
  EXPECT_TRUE(win::IsWindow(hwnd));
  ASSERT_TRUE(win::PostMessage(hwnd, kTestMsg, 0, 0));
  ASSERT_TRUE(win::SetTimer(hwnd, 5, 1));
  EXPECT_TRUE(win::DestroyWindow(hwnd));
  EXPECT_EQ(seen, std::vector<win::UINT>{win::WM_DESTROY});
  EXPECT_FALSE(win::IsWindow(hwnd));
  EXPECT_FALSE(win::PostMessage(hwnd, kTestMsg, 0, 0));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(win::DestroyWindow(hwnd));
  clock.Advance(5ms);
  win::MSG msg;
  EXPECT_FALSE(win::PeekMessage(&msg, nullptr, 0, 0, win::PM_REMOVE));  // neither post nor tick
  win::MSG stale{hwnd, kTestMsg, 0, 0};
  EXPECT_EQ(win::DispatchMessage(&stale), 0);
  EXPECT_EQ(win::DefWindowProc(nullptr, kTestMsg, 1, 2), 0);
}

TEST(WindowTest, OnlyTheOwningThreadDestroysOrTimesIt) {
  RecordingWindow w;
  win::BOOL destroyed = win::TRUE_;
  win::UINT_PTR timer = 1;
  win::DWORD error = 0;
  std::thread([&] {
    destroyed = win::DestroyWindow(w.hwnd());
    timer = win::SetTimer(w.hwnd(), 1, 10);
    error = win::GetLastError();
  }).join();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(timer, 0u);
  EXPECT_EQ(error, win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(win::IsWindow(w.hwnd()));
}

// Timers on a manual clock: each tick comes exactly when the test moves time
// past its deadline.
class TimerTest : public ::testing::Test {
 protected:
  win::ManualMonotonicClock clock;
};

TEST_F(TimerTest, FiresAsWmTimerWithItsIdThroughDispatch) {
  RecordingWindow w;
  ASSERT_EQ(win::SetTimer(w.hwnd(), 3, 5), 3u);
  clock.Advance(4ms);
  EXPECT_EQ(kvtest::PumpPendingMessages(), 0);  // not due yet
  clock.Advance(1ms);
  EXPECT_EQ(kvtest::PumpPendingMessages(), 1);
  for (int i = 0; i < 2; ++i) {
    clock.Advance(5ms);
    EXPECT_EQ(kvtest::PumpPendingMessages(), 1);
  }
  ASSERT_EQ(w.Count(win::WM_TIMER), 3);
  for (const auto& m : w.seen) {
    EXPECT_EQ(m.message, win::WM_TIMER);
    EXPECT_EQ(m.wParam, 3u);
  }
  EXPECT_TRUE(win::KillTimer(w.hwnd(), 3));
  EXPECT_FALSE(win::KillTimer(w.hwnd(), 3));
}

TEST_F(TimerTest, KilledTimerStopsAndDropsItsWaitingTick) {
  RecordingWindow w;
  ASSERT_TRUE(win::SetTimer(w.hwnd(), 1, 1));
  clock.Advance(10ms);
  win::MSG msg;
  ASSERT_TRUE(win::PeekMessage(&msg, nullptr, 0, 0, win::PM_NOREMOVE));  // tick is queued
  EXPECT_EQ(msg.message, win::WM_TIMER);
  ASSERT_TRUE(win::KillTimer(w.hwnd(), 1));
  clock.Advance(10ms);
  EXPECT_FALSE(win::PeekMessage(&msg, nullptr, 0, 0, win::PM_REMOVE));
}

TEST_F(TimerTest, NoBacklogWhileTheThreadIsBusy) {
  RecordingWindow w;
  ASSERT_TRUE(win::SetTimer(w.hwnd(), 1, 100));
  clock.Advance(350ms);  // three periods pass unserved
  EXPECT_EQ(kvtest::PumpPendingMessages(), 1);
  EXPECT_EQ(w.Count(win::WM_TIMER), 1);
  // The next count started with that tick.
  clock.Advance(99ms);
  EXPECT_EQ(kvtest::PumpPendingMessages(), 0);
  clock.Advance(1ms);
  EXPECT_EQ(kvtest::PumpPendingMessages(), 1);
}

TEST_F(TimerTest, RestartingWithLongerPeriodDelaysTheTick) {
  RecordingWindow w;
  ASSERT_TRUE(win::SetTimer(w.hwnd(), 1, 1));
  clock.Advance(5ms);
  win::MSG msg;
  ASSERT_TRUE(win::PeekMessage(&msg, nullptr, 0, 0, win::PM_NOREMOVE));  // tick is queued
  ASSERT_TRUE(win::SetTimer(w.hwnd(), 1, 60000));                        // restart: waiting tick dropped
  EXPECT_EQ(kvtest::PumpPendingMessages(), 0);
  clock.Advance(59999ms);
  EXPECT_EQ(kvtest::PumpPendingMessages(), 0);
  clock.Advance(1ms);
  EXPECT_EQ(kvtest::PumpPendingMessages(), 1);
  EXPECT_EQ(w.Count(win::WM_TIMER), 1);
}

TEST_F(TimerTest, RefusesIdZeroAndForeignOrDeadWindows) {
  RecordingWindow w;
  EXPECT_EQ(win::SetTimer(w.hwnd(), 0, 10), 0u);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(win::SetTimer(nullptr, 1, 10), 0u);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(TimerTest, TimersOfTwoWindowsBothFire) {
  RecordingWindow a;
  RecordingWindow b;
  ASSERT_TRUE(win::SetTimer(a.hwnd(), 1, 2));
  ASSERT_TRUE(win::SetTimer(b.hwnd(), 1, 3));
  for (int ms = 1; ms <= 6; ++ms) {
    clock.Advance(1ms);
    kvtest::PumpPendingMessages();
  }
  EXPECT_EQ(a.Count(win::WM_TIMER), 3);  // at 2, 4 and 6 ms
  EXPECT_EQ(b.Count(win::WM_TIMER), 2);  // at 3 and 6 ms
}

TEST_F(TimerTest, AdvancingTheClockWakesAThreadWaitingForItsTimer) {
  std::promise<win::DWORD> idle;
  std::promise<void> done;
  std::atomic<bool> ticked{false};
  std::thread waiter([&] {
    RecordingWindow w;
    win::SetTimer(w.hwnd(), 1, 1000);
    bool told = false;
    win::SetIdleHandler([&] {
      if (!std::exchange(told, true)) idle.set_value(win::GetCurrentThreadId());
    });
    win::MSG msg;
    ticked = win::GetMessage(&msg, nullptr, 0, 0) > 0 && msg.message == win::WM_TIMER;
    done.set_value();
  });
  const win::DWORD tid = idle.get_future().get();  // about to sleep, with no timeout of its own
  clock.Advance(999ms);
  clock.Advance(1ms);
  auto finished = done.get_future();
  // A wait the tick did not end is ended by a post, and the test fails.
  if (finished.wait_for(10s) != std::future_status::ready) win::PostThreadMessage(tid, kTestMsg, 0, 0);
  waiter.join();
  EXPECT_TRUE(ticked);
}

TEST(SendMessageTest, SameThreadCallsDirectly) {
  RecordingWindow w;
  EXPECT_EQ(win::SendMessage(w.hwnd(), kTestMsg, 41, 0), 42);
  EXPECT_EQ(w.Count(kTestMsg), 1);
}

TEST(SendMessageTest, OtherThreadRunsOnOwnerInsideItsLoop) {
  std::thread::id ranOn;
  win::HWND hwnd = win::CreateHiddenWindow([&](win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM) {
    if (msg != kTestMsg) return win::LRESULT{0};
    ranOn = std::this_thread::get_id();
    return static_cast<win::LRESULT>(wParam * 2);
  });
  std::atomic<win::LRESULT> result{0};
  std::atomic<bool> done{false};
  std::thread sender([&] {
    result = win::SendMessage(hwnd, kTestMsg, 21, 0);
    done = true;
  });
  EXPECT_TRUE(kvtest::PumpMessagesUntil([&] { return done.load(); }));
  sender.join();
  EXPECT_EQ(result, 42);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  win::DestroyWindow(hwnd);
}

TEST(SendMessageTest, ExceptionTravelsBackToTheSender) {
  win::HWND hwnd = win::CreateHiddenWindow([](win::HWND, win::UINT msg, win::WPARAM, win::LPARAM) -> win::LRESULT {
    if (msg == kTestMsg) throw std::runtime_error("start failed");
    return 0;
  });
  std::atomic<bool> done{false};
  std::string caught;
  std::thread sender([&] {
    try {
      win::SendMessage(hwnd, kTestMsg, 0, 0);
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    done = true;
  });
  EXPECT_TRUE(kvtest::PumpMessagesUntil([&] { return done.load(); }));
  sender.join();
  EXPECT_EQ(caught, "start failed");
  // The owner's loop was not disturbed by the failure.
  EXPECT_TRUE(win::PostMessage(hwnd, kTestMsg + 1, 0, 0));
  EXPECT_EQ(kvtest::PumpPendingMessages(), 1);
  win::DestroyWindow(hwnd);
}

TEST(SendMessageTest, PeekMessageAlsoHandlesSentCalls) {
  RecordingWindow w;
  std::atomic<bool> done{false};
  std::thread sender([&] {
    win::SendMessage(w.hwnd(), kTestMsg, 1, 0);
    done = true;
  });
  win::MSG msg;
  for (int i = 0; i < 10000 && !done; ++i) {
    win::PeekMessage(&msg, nullptr, 0, 0, win::PM_NOREMOVE);
    std::this_thread::sleep_for(1ms);
  }
  sender.join();
  EXPECT_EQ(w.Count(kTestMsg), 1);
}

TEST(SendMessageTest, ReleasedWithFailureWhenOwnerThreadEnds) {
  std::promise<win::HWND> made;
  std::promise<void> finish;
  std::thread owner([&] {
    made.set_value(win::CreateHiddenWindow([](auto...) { return win::LRESULT{1}; }));
    finish.get_future().wait();  // never takes a message
  });
  win::HWND hwnd = made.get_future().get();
  std::atomic<win::LRESULT> result{-1};
  std::atomic<win::DWORD> error{0};
  std::thread sender([&] {
    result = win::SendMessage(hwnd, kTestMsg, 0, 0);
    error = win::GetLastError();
  });
  std::this_thread::sleep_for(20ms);
  finish.set_value();
  owner.join();
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(error, win::ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(win::SendMessage(hwnd, kTestMsg, 0, 0), 0);
}

TEST(SendMessageTest, TwoThreadsSendingToEachOtherDoNotLockUp) {
  RecordingWindow mine;
  std::promise<win::HWND> made;
  std::promise<void> finish;
  win::HWND mineHwnd = mine.hwnd();
  std::atomic<win::LRESULT> nested{0};
  std::thread other([&] {
    win::HWND theirs = win::CreateHiddenWindow([&](win::HWND, win::UINT msg, win::WPARAM, win::LPARAM) {
      // While the main thread waits for this answer, call back into it.
      if (msg == kTestMsg) nested = win::SendMessage(mineHwnd, kTestMsg, 9, 0);
      return win::LRESULT{5};
    });
    made.set_value(theirs);
    win::MSG msg;
    while (win::GetMessage(&msg, nullptr, 0, 0) > 0) win::DispatchMessage(&msg);
    win::DestroyWindow(theirs);
  });
  win::HWND theirs = made.get_future().get();
  EXPECT_EQ(win::SendMessage(theirs, kTestMsg, 0, 0), 5);
  EXPECT_EQ(nested, 10);
  EXPECT_EQ(mine.Count(kTestMsg), 1);
  win::PostMessage(theirs, win::WM_QUIT, 0, 0);
  other.join();
}

}  // namespace
