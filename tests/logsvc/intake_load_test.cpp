// The intake under load, on real sockets: what reaches the service is taken
// in while the main thread is busy, and what is lost anyway is reported.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "logsvc/module_fixture.h"
#include "net/app_event_msg.h"
#include "net/msg_recv.h"
#include "platform/winsock.h"

namespace kvtest {
namespace {

using namespace std::chrono_literals;

// A datagram of the event format whose message text is `text`.
std::string Event(const std::string& text) { return "2024/03/05 14.07.09:1:Load:Test:4:0:" + text; }

// Restores the default receive queue when the test ends.
struct QueueCapacity {
  explicit QueueCapacity(std::size_t bytes) { win::SetReceiveQueueCapacity(bytes); }
  ~QueueCapacity() { win::SetReceiveQueueCapacity(0); }
};

// Lines of the events that Event() makes.
std::size_t CountEventLines(const std::string& text) {
  std::size_t lines = 0;
  for (std::size_t at = text.find("Load       Test "); at != std::string::npos;
       at = text.find("Load       Test ", at + 1)) {
    ++lines;
  }
  return lines;
}

class IntakeLoadTest : public ModuleTest {};

TEST_F(IntakeLoadTest, OversizeDatagramInABatchIsReportedAndItsNeighboursLogged) {
  Start();
  // All three wait in the receive queue before the first is read.
  SendUdp(receivePort, Event("before"));
  SendUdp(receivePort, Event(std::string(3000, 'x')));
  SendUdp(receivePort, Event("after"));
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(PumpMessagesUntil([&] { return module->LogLines->Count() >= 3; }));
  PumpPendingMessages();
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[1].ends_with(" before"));
  EXPECT_TRUE(lines[2].ends_with(" after"));
  EXPECT_EQ(failures, std::vector<std::string>{"RecvFrom faild. stat = 10040"});
  // The facts behind the number: the refused size and the sender.
  auto entry = syslog.WaitForMessage("KVLogService refused a datagram of ");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->pri, 28);  // daemon.warning
  EXPECT_TRUE(entry->message.starts_with("KVLogService refused a datagram of " +
                                         std::to_string(Event(std::string(3000, 'x')).size()) +
                                         " bytes from 127.0.0.1:"))
      << entry->message;
  EXPECT_TRUE(entry->message.ends_with(": it reads at most 2048 bytes")) << entry->message;
}

TEST_F(IntakeLoadTest, EveryRelayOfABatchThatFailsIsReportedAndTheLinesStay) {
  WriteFile(IniPath(), "[KVLogService]\r\nReceivePort=" + std::to_string(receivePort) +
                           "\r\nRepeatPort=2057\r\nInterval=21600\r\nFolder=" + logs + "\r\nLogKeepDays=30\r\n");
  module = std::make_unique<kv::TKVLogService>();
  module->SetIntakeFailureHandler([this](const std::exception& e) { failures.push_back(e.what()); });
  bool started = true;
  module->ServiceStart(*module, started);
  ASSERT_TRUE(started);
  // A relay socket that is gone: every relay send fails. The events go
  // from a socket made before, so no new socket takes the closed one's
  // handle value.
  kvtest::UdpListener sender;
  module->Repeater->Close();
  for (int i = 0; i < 3; ++i) sender.SendTo(receivePort, Event("n" + std::to_string(i)));
  std::this_thread::sleep_for(50ms);  // all three wait together
  ASSERT_TRUE(PumpMessagesUntil([&] { return failures.size() >= 3; }));
  EXPECT_EQ(module->LogLines->Count(), 4u);
  EXPECT_EQ(failures, std::vector<std::string>(3, "SendTo failed. stat = 10038"));
}

TEST_F(IntakeLoadTest, QueueOverflowIsReportedWithItsCount) {
  QueueCapacity tiny(4096);  // room for a few dozen datagrams
  Start();
  constexpr int kSent = 300;
  // The main thread takes nothing while they come.
  for (int i = 0; i < kSent; ++i) SendUdp(receivePort, Event("n" + std::to_string(i)));
  std::this_thread::sleep_for(200ms);
  PumpMessagesUntil([] { return false; }, 300ms);
  const std::size_t logged = module->LogLines->Count() - 1;  // the banner
  ASSERT_LT(logged, static_cast<std::size_t>(kSent));
  const std::string expected = "KVLogService lost " + std::to_string(kSent - logged) +
                               " datagrams: they arrived faster than they could be taken in";
  auto entry = syslog.WaitForMessage("KVLogService lost ");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->message, expected);
  EXPECT_EQ(entry->pri, 3 * 8 + 4);  // daemon, warning
  // Nothing further was lost, so the stop reports nothing more.
  Stop();
  syslog.Flush();
  int warnings = 0;
  for (const auto& e : syslog.Entries()) warnings += e.message.starts_with("KVLogService lost ");
  EXPECT_EQ(warnings, 1);
}

TEST_F(IntakeLoadTest, StopSavesEveryDatagramThatArrivedBeforeIt) {
  Start();
  constexpr int kSent = 5000;
  UdpListener sender;
  for (int i = 0; i < kSent; ++i) sender.SendTo(receivePort, Event("n" + std::to_string(i)));
  // No message is handled before the stop: the stop takes them all in.
  Stop();
  const auto files = LogFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::string text = ReadFile(files[0]);
  EXPECT_EQ(CountEventLines(text), static_cast<std::size_t>(kSent));
  EXPECT_NE(text.find(" n0\r\n"), std::string::npos);
  EXPECT_NE(text.find(" n4999\r\n"), std::string::npos);
  EXPECT_TRUE(failures.empty());
}

}  // namespace
}  // namespace kvtest
