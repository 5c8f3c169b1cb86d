#include <gtest/gtest.h>

#include <string>

#include "logsvc/event_line.h"
#include "logsvc/module_fixture.h"
#include "net/msg_recv.h"
#include "platform/messages.h"

namespace kvtest {
namespace {

constexpr char kWorked[] = "2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files";
constexpr char kWorkedLine[] = "2024/03/05 14:07:09 Backup     JobRunner            2 Copy finished: 12 files";

// "time:tag:rest" -> rest
std::string AfterTag(const std::string& datagram) {
  std::size_t first = datagram.find(':');
  return datagram.substr(datagram.find(':', first + 1) + 1);
}

class IntakeTest : public ModuleTest {};

TEST_F(IntakeTest, WorkedExampleBecomesLineAndRelay) {
  Start();
  ASSERT_EQ(Lines(), std::vector<std::string>{std::string(kv::kBanner)});
  clock.Set({2024, 3, 5, 14, 7, 10, 0});
  ASSERT_TRUE(SendAndWait(kWorked, 2));
  EXPECT_EQ(Lines()[1], kWorkedLine);
  auto relayed = relay.Receive(std::chrono::seconds(10));
  ASSERT_TRUE(relayed);
  EXPECT_TRUE(relayed->starts_with("2024/03/05 14.07.10:")) << *relayed;
  EXPECT_EQ(AfterTag(*relayed), "Backup:JobRunner:2:0:Copy finished: 12 files");
  EXPECT_TRUE(failures.empty());
}

TEST_F(IntakeTest, SizeAndNulRules) {
  Start();
  std::string full = "2024/03/05 14.07.09:1:App:Src:1:2:" + std::string(2048 - 34, 'm');
  ASSERT_EQ(full.size(), 2048u);
  ASSERT_TRUE(SendAndWait(full, 2));
  EXPECT_EQ(Lines()[1].size(), 54u + (2048 - 34));

  std::string withNul = std::string(kWorked) + std::string(40, 'x');
  withNul[99] = '\0';  // byte 100
  ASSERT_TRUE(SendAndWait(withNul, 3));
  EXPECT_EQ(Lines()[2], std::string(kWorkedLine) + std::string(99 - 72, 'x'));

  SendUdp(receivePort, std::string(2049, 'z'));
  ASSERT_TRUE(PumpMessagesUntil([&] { return !failures.empty(); }));
  EXPECT_EQ(failures[0], "RecvFrom faild. stat = 10040");
  EXPECT_EQ(module->LogLines->Count(), 3u);
  auto relayCount = 0;
  while (relay.Receive(std::chrono::milliseconds(200))) ++relayCount;
  EXPECT_EQ(relayCount, 2);

  ASSERT_TRUE(SendAndWait(kWorked, 4));  // the intake goes on
}

TEST_F(IntakeTest, ShortAndSeparatorPoorDatagramsAreLoggedNotDropped) {
  Start();
  ASSERT_TRUE(SendAndWait("", 2));
  EXPECT_EQ(Lines()[1], std::string(35, ' '));
  ASSERT_TRUE(SendAndWait("hello", 3));
  EXPECT_EQ(Lines()[2], "hello" + std::string(35, ' '));
  ASSERT_TRUE(SendAndWait("2024/03/05 14.07.09:just a message", 4));
  EXPECT_EQ(Lines()[3], "2024/03/05 14:07:09" + std::string(35, ' ') + "just a message");
  EXPECT_TRUE(failures.empty());
}

TEST_F(IntakeTest, EventTypeColumnAndRelayedValue) {
  Start();
  struct Case {
    const char* type;
    char column;
    const char* relayed;
  } cases[] = {{"12", '1', "12"}, {"-3", '-', "-3"}, {"$1F", '$', "31"}, {"abc", 'a', "0"}, {"", ' ', "0"}};
  std::size_t lines = 1;
  for (const Case& c : cases) {
    ASSERT_TRUE(SendAndWait(std::string("2024/03/05 14.07.09:1:ApplicationX:Src:") + c.type + ":5:text", ++lines));
    std::string line = Lines().back();
    EXPECT_EQ(line.substr(20, 10), "Applicatio");
    EXPECT_EQ(line.substr(31, 20), "Src" + std::string(17, ' '));
    EXPECT_EQ(line[52], c.column) << c.type;
    auto relayed = relay.Receive(std::chrono::seconds(10));
    ASSERT_TRUE(relayed);
    EXPECT_EQ(AfterTag(*relayed), std::string("ApplicationX:Src:") + c.relayed + ":0:text") << c.type;
  }
}

TEST_F(IntakeTest, Utf8VariantUsesReceiverTimeAndConvertsText) {
  Start();
  clock.Set({2025, 12, 31, 23, 59, 58, 0});
  ASSERT_TRUE(
      SendAndWait("1999/01/01 00.00.00:7:$A$Backup:\xE3\x82\xB8\xE3\x83\xA7\xE3\x83\x96:4:0:"
                  "\xE5\xAE\x8C\xE4\xBA\x86",
                  2));
  // The test runs in a UTF-8 (or C) locale, where the ANSI text is UTF-8.
  EXPECT_EQ(Lines()[1],
            "2025/12/31 23:59:58 Backup     \xE3\x82\xB8\xE3\x83\xA7\xE3\x83\x96            4 "
            "\xE5\xAE\x8C\xE4\xBA\x86");
  auto relayed = relay.Receive(std::chrono::seconds(10));
  ASSERT_TRUE(relayed);
  EXPECT_EQ(AfterTag(*relayed), "Backup:\xE3\x82\xB8\xE3\x83\xA7\xE3\x83\x96:4:0:\xE5\xAE\x8C\xE4\xBA\x86");

  // A message cut in the middle of a three-byte sequence becomes empty.
  ASSERT_TRUE(SendAndWait("1999/01/01 00.00.00:7:$A$App:Src:1:0:ok \xE5\xAE", 3));
  EXPECT_EQ(Lines()[2], "2025/12/31 23:59:58 App        Src                  1 ");
  relayed = relay.Receive(std::chrono::seconds(10));
  ASSERT_TRUE(relayed);
  EXPECT_EQ(AfterTag(*relayed), "App:Src:1:0:");
}

TEST_F(IntakeTest, StaleOrFailedNotificationsReadNothing) {
  Start();
  // An error word in the notification: nothing is read.
  win::PostMessage(module->WindowHandle, kv::WM_SOCKET_READ, module->Receiver->SocketHandle,
                   win::WSAMAKESELECTREPLY(1, 10050));
  // Another message number goes to the default procedure.
  EXPECT_EQ(module->SocketWndProc(module->WindowHandle, win::WM_USER + 7, 0, 0), 0);
  PumpPendingMessages();
  EXPECT_EQ(module->LogLines->Count(), 1u);
  EXPECT_TRUE(failures.empty());

  Stop();
  // A notification still queued after the stop touches nothing.
  win::PostMessage(module->WindowHandle, kv::WM_SOCKET_READ, 1, win::WSAMAKESELECTREPLY(1, 0));
  PumpPendingMessages();
  EXPECT_EQ(module->LogLines->Count(), 0u);
  EXPECT_TRUE(failures.empty());
}

}  // namespace
}  // namespace kvtest
