#include "net/app_event_msg.h"

#include <gtest/gtest.h>

#include <string>

#include "base/clock.h"
#include "net/event_datagram.h"
#include "net/random_tag.h"
#include "platform/error.h"
#include "support/udp_listener.h"

namespace {

using namespace std::chrono_literals;

constexpr kv::DateTimeParts kExampleTime{2024, 3, 5, 14, 7, 9, 250};

// A started and opened sender for 127.0.0.1 and the listener's port, with
// the clock and the tag fixed.
class SenderTest : public testing::Test {
 protected:
  SenderTest() : clock_(kExampleTime), clockOverride_(clock_), tags_([] { return 4711; }) {}

  void SetUp() override {
    sender_.Startup();
    sender_.Open();
  }
  void TearDown() override {
    sender_.Close();
    sender_.Cleanup();
  }

  std::string SendAndReceive(std::string_view app, std::string_view msg, std::string_view source, int type, int code) {
    sender_.SendEvent(app, msg, source, type, code);
    return listener_.Receive(10s).value_or("<nothing>");
  }

  kvtest::UdpListener listener_;
  kv::FixedClock clock_;
  kv::ScopedClockOverride clockOverride_;
  kv::ScopedRandomTagOverride tags_;
  kv::TAppEventMsg sender_{listener_.Port(), "127.0.0.1"};
};

TEST_F(SenderTest, WorkedExampleByteForByte) {
  std::string got = SendAndReceive("Backup", "Copy finished: 12 files", "JobRunner", 2, 1007);
  EXPECT_EQ(got, "2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files");
  EXPECT_EQ(got.size(), 72u);
}

TEST_F(SenderTest, MessageTextCutAt200Bytes) {
  const std::string head = "2024/03/05 14.07.09:4711:A:S:1:2:";
  const std::string m199(199, 'x');
  EXPECT_EQ(SendAndReceive("A", m199, "S", 1, 2), head + m199);
  std::string m200(200, 'y');
  EXPECT_EQ(SendAndReceive("A", m200, "S", 1, 2), head + std::string(197, 'y') + "...");
  std::string m500 = std::string(196, 'a') + "\x93\xfa" + std::string(302, 'b');  // double-byte char across 197
  std::string got = SendAndReceive("A", m500, "S", 1, 2);
  EXPECT_EQ(got, head + m500.substr(0, 197) + "...");
  EXPECT_EQ(got.size(), head.size() + 200);
}

TEST_F(SenderTest, TypeAndCodeInDecimal) {
  EXPECT_EQ(SendAndReceive("A", "m", "S", -1, -1), "2024/03/05 14.07.09:4711:A:S:-1:-1:m");
  EXPECT_EQ(SendAndReceive("A", "m", "S", 0, 0), "2024/03/05 14.07.09:4711:A:S:0:0:m");
  EXPECT_EQ(SendAndReceive("A", "", "S", INT32_MIN, INT32_MAX), "2024/03/05 14.07.09:4711:A:S:-2147483648:2147483647:");
}

TEST_F(SenderTest, EventTextsUpToTheReceiversLimitGoOthersAreRefused) {
  // Fixed part: 19 + 4 (tag) + 1 + 1 + 1 + 1 + 6 separators = 33 bytes with
  // one-byte type and code and an empty message.
  const std::size_t fixed = std::string("2024/03/05 14.07.09:4711:::1:2:").size();
  std::string app(kv::kMaxDatagramText - fixed, 'n');
  std::string got = SendAndReceive(app, "", "", 1, 2);
  EXPECT_EQ(got.size(), kv::kMaxDatagramText);

  app += 'n';
  try {
    sender_.SendEvent(app, "", "", 1, 2);
    FAIL() << "no failure";
  } catch (const kv::EAppEventMsg& e) {
    EXPECT_EQ(e.Message(), "Event text too long. length = 2049");
  }
  EXPECT_FALSE(listener_.Receive(50ms).has_value());
  // Still ready for the next one.
  EXPECT_EQ(SendAndReceive("A", "m", "S", 1, 2), "2024/03/05 14.07.09:4711:A:S:1:2:m");
}

TEST_F(SenderTest, TimeComesFromTheLocalClockWithFixedSeparators) {
  clock_.Set({987, 12, 31, 0, 0, 5, 999});
  EXPECT_EQ(SendAndReceive("A", "m", "S", 1, 2), "0987/12/31 00.00.05:4711:A:S:1:2:m");
}

TEST(SenderLifecycleTest, PortAbove65535IsTakenModulo65536) {
  std::optional<kvtest::UdpListener> listener;
  try {
    listener.emplace(4464);
  } catch (const std::exception&) {
    GTEST_SKIP() << "port 4464 is taken";
  }
  kv::TAppEventMsg sender(70000, "127.0.0.1");
  sender.Startup();
  sender.Open();
  EXPECT_EQ(sender.DestAddr().sin_port, win::htons(4464));
  sender.SendEvent("A", "m", "S", 1, 2);
  EXPECT_TRUE(listener->Receive(10s).has_value());
  sender.Close();
  sender.Cleanup();
}

TEST(SenderLifecycleTest, NameAsHostFailsAtTheSend) {
  kv::TAppEventMsg sender(9, "localhost");
  sender.Startup();
  sender.Open();
  EXPECT_EQ(sender.DestAddr().sin_addr.S_addr, win::WS_INADDR_NONE);
  try {
    sender.SendEvent("A", "m", "S", 1, 2);
    FAIL() << "no failure";
  } catch (const kv::EAppEventMsg& e) {
    EXPECT_EQ(e.Message(), "SendTo failed. stat = 10013");
    EXPECT_STREQ(e.ClassName(), "EAppEventMsg");
  }
  sender.Close();
  sender.Cleanup();
}

TEST(SenderLifecycleTest, CloseBeforeOpenAndTwice) {
  kv::TAppEventMsg sender(9, "127.0.0.1");
  sender.Startup();
  try {
    sender.Close();
    FAIL() << "no failure";
  } catch (const kv::EAppEventMsg& e) {
    EXPECT_EQ(e.Message(), "CloseSocket call failed. stat = 10038");
  }
  sender.Open();
  sender.Close();
  EXPECT_THROW(sender.Close(), kv::EAppEventMsg);
  sender.Cleanup();
}

TEST(SenderLifecycleTest, SendBeforeOpenOrStartupFailsWithTheLibrarysNumber) {
  kv::TAppEventMsg sender(9, "127.0.0.1");
  try {
    sender.SendEvent("A", "m", "S", 1, 2);
    FAIL() << "no failure";
  } catch (const kv::EAppEventMsg& e) {
    EXPECT_EQ(e.Message(), "SendTo failed. stat = 10093");
  }
  sender.Startup();
  try {
    sender.SendEvent("A", "m", "S", 1, 2);
    FAIL() << "no failure";
  } catch (const kv::EAppEventMsg& e) {
    EXPECT_EQ(e.Message(), "SendTo failed. stat = 10038");
  }
  sender.Cleanup();
}

TEST(SenderLifecycleTest, TwoSendersHoldTheirOwnRegistrations) {
  kvtest::UdpListener listener;
  kv::TAppEventMsg first(listener.Port(), "127.0.0.1");
  kv::TAppEventMsg second(listener.Port(), "127.0.0.1");
  first.Startup();
  second.Startup();
  first.Open();
  second.Open();
  first.Close();
  first.Cleanup();
  second.SendEvent("A", "still here", "S", 1, 2);
  std::string got = listener.Receive(10s).value_or("");
  EXPECT_NE(got.find(":A:S:1:2:still here"), std::string::npos) << got;
  second.Close();
  second.Cleanup();
}

TEST(RandomTagTest, DrawsStayBelowTheBoundAndSeedingRestartsTheSequence) {
  kv::SeedRandomTags(12345);
  std::vector<int> first;
  for (int i = 0; i < 1000; ++i) {
    int tag = kv::DrawRandomTag();
    ASSERT_GE(tag, 0);
    ASSERT_LT(tag, kv::kRandomTagBound);
    first.push_back(tag);
  }
  kv::SeedRandomTags(12345);
  for (int expected : first) ASSERT_EQ(kv::DrawRandomTag(), expected);
}

TEST(RandomTagTest, SenderSeedsFromUtcMillisecondsSinceMidnight) {
  kv::FixedClock clock({2024, 3, 5, 14, 7, 9, 250});
  clock.SetUtc({2024, 3, 5, 5, 7, 9, 250});
  kv::ScopedClockOverride use(clock);
  kv::SeedRandomTags(((5 * 60 + 7) * 60 + 9) * 1000 + 250);
  int expected = kv::DrawRandomTag();
  kv::TAppEventMsg sender(9, "127.0.0.1");  // reseeds
  EXPECT_EQ(kv::DrawRandomTag(), expected);
}

}  // namespace
