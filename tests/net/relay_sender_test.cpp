// The relay thread: what is handed over goes out whole and in order, also
// when the sender is destroyed right after; failures come back in order,
// with one notification per run of them.
#include "net/relay_sender.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/udp_listener.h"

namespace {

using namespace std::chrono_literals;

class RelaySenderTest : public testing::Test {
 protected:
  void Open(std::int32_t port) {
    events_ = std::make_unique<kv::TAppEventMsg>(port, "127.0.0.1");
    events_->Startup();
    events_->Open();
  }
  void TearDown() override {
    if (!events_) return;
    events_->Close();
    events_->Cleanup();
  }
  // Queues events first..last-1 and hands them over, `per` at a time.
  void HandNumbered(kv::TRelaySender& sender, int first, int last, int per) {
    for (int n = first; n < last; ++n) {
      events_->QueueEvent("App", "relay " + std::to_string(n), "Src", 1, 0);
      if ((n - first + 1) % per == 0 || n + 1 == last) sender.Hand();
    }
  }
  // The numbers in the next `count` datagrams, in arrival order. Each must
  // be one whole event: the strings of sent events are built in again.
  std::vector<int> ReceiveNumbers(int count) {
    std::vector<int> numbers;
    for (int i = 0; i < count; ++i) {
      std::optional<std::string> relay = listener_.Receive(10s);
      if (!relay) break;
      EXPECT_TRUE(IsOneEvent(*relay)) << *relay;
      numbers.push_back(std::stoi(relay->substr(relay->rfind("relay ") + 6)));
    }
    return numbers;
  }
  // "yyyy/mm/dd hh.nn.ss:TAG:App:Src:1:0:relay N" and nothing more.
  static bool IsOneEvent(const std::string& relay) {
    const auto digits = [](std::string_view text) {
      return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(c) != 0; });
    };
    const std::size_t tagEnd = relay.find(':', 20);
    if (relay.size() < 20 || relay[19] != ':' || tagEnd == std::string::npos) return false;
    const std::string_view rest = std::string_view(relay).substr(tagEnd);
    return digits(std::string_view(relay).substr(20, tagEnd - 20)) && rest.starts_with(":App:Src:1:0:relay ") &&
           digits(rest.substr(19));
  }
  static std::vector<int> Range(int first, int last) {
    std::vector<int> numbers;
    for (int n = first; n < last; ++n) numbers.push_back(n);
    return numbers;
  }

  kvtest::UdpListener listener_;
  std::unique_ptr<kv::TAppEventMsg> events_;
};

TEST_F(RelaySenderTest, HandedOverEventsGoOutInOrderAndFinishWaitsForThem) {
  Open(listener_.Port());
  kv::TRelaySender sender(*events_, nullptr);
  HandNumbered(sender, 0, 150, 7);
  sender.Finish();
  EXPECT_EQ(ReceiveNumbers(150), Range(0, 150));
  // Too long: refused, and the string it was built in holds nothing after.
  EXPECT_THROW(events_->QueueEvent("App", "x", std::string(2100, 's'), 1, 0), kv::EAppEventMsg);
  HandNumbered(sender, 150, 300, 64);
  sender.Finish();
  EXPECT_EQ(ReceiveNumbers(150), Range(150, 300));
  EXPECT_TRUE(sender.TakeFailures().empty());
  EXPECT_FALSE(listener_.Receive(50ms));
}

TEST_F(RelaySenderTest, ASenderDestroyedRightAfterAHandOverSendsItAll) {
  Open(listener_.Port());
  auto sender = std::make_unique<kv::TRelaySender>(*events_, nullptr);
  HandNumbered(*sender, 0, 200, 64);
  sender.reset();
  EXPECT_EQ(ReceiveNumbers(200), Range(0, 200));
}

TEST_F(RelaySenderTest, FailuresComeBackInOrderWithOneNotificationUntilTaken) {
  Open(0);  // port 0 is no destination: every send fails
  std::atomic<int> notes{0};
  kv::TRelaySender sender(*events_, [&] { ++notes; });
  HandNumbered(sender, 0, 3, 3);
  HandNumbered(sender, 3, 5, 2);
  sender.Finish();
  EXPECT_EQ(notes.load(), 1);
  EXPECT_EQ(sender.TakeFailures(), std::vector<std::string>(5, "SendTo failed. stat = 10022"));
  HandNumbered(sender, 5, 6, 1);
  sender.Finish();
  EXPECT_EQ(notes.load(), 2);
  EXPECT_EQ(sender.TakeFailures().size(), 1u);
}

}  // namespace
