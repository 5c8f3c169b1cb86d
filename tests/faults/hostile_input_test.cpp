// What a careless operator or anyone who reaches the port can send, against
// the real program: settings that relay into the service itself or to no
// port, a value the settings reader would cut, control bytes in the
// fields, a relay that fails for every event, and a burst of flush commands
// followed by a stop.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "faults/fault_fixture.h"
#include "platform/service_control.h"

namespace kvtest {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

class HostileInputTest : public FaultTest {};

TEST_F(HostileInputTest, SettingsThatRelayIntoTheServiceOrNowhereOrWereCutRefuseTheStart) {
  const std::string longFolder = root_.Sub("logs-") + std::string(3000, 'x');
  struct Case {
    std::string repeatPort;
    std::string folder;
    std::string fact;
  };
  const Case cases[] = {
      {std::to_string(receivePort_), LogFolder(), "ReceivePort and RepeatPort"},
      {std::to_string(receivePort_ + 65536), LogFolder(), "names no UDP port"},
      {"0", LogFolder(), "Setting RepeatPort=0"},
      {"2057", longFolder, "Setting Folder in"},
  };
  for (const Case& c : cases) {
    WriteFile(ConfigFolder() + "/KVLogService.ini", "[KVLogService]\r\nReceivePort=" + std::to_string(receivePort_) +
                                                        "\r\nRepeatPort=" + c.repeatPort + "\r\nFolder=" + c.folder +
                                                        "\r\n");
    const std::size_t errors = EntriesContaining("KVLogService configuation error");
    Start();
    EXPECT_EQ(WaitForExit(), 1) << c.fact;
    ASSERT_TRUE(syslog_->Flush());
    EXPECT_EQ(EntriesContaining("KVLogService configuation error"), errors + 1) << c.fact;
    EXPECT_EQ(EntriesContaining(c.fact), 1u) << c.fact;
  }
  // The cut folder was neither made nor used.
  for (const auto& entry : fs::directory_iterator(root_.Path()))
    EXPECT_FALSE(entry.path().filename().string().starts_with("logs-")) << entry.path();
}

TEST_F(HostileInputTest, ControlBytesInTheFieldsStayInsideTheirLineAndTheRelayKeepsThem) {
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  const std::string forged =
      "2024/03/05 14.07.09:1:App\x1b[2J:Src\x07:1:2:fault event 7\r\n** saved file /x/kvs.log **\r\nfake\x7f";
  SendRaw(forged);
  const std::optional<std::string> relay = relay_.Receive(std::chrono::seconds(5));
  ASSERT_TRUE(relay);
  EXPECT_TRUE(relay->ends_with(":fault event 7\r\n** saved file /x/kvs.log **\r\nfake\x7f")) << *relay;
  EXPECT_NE(relay->find(":App\x1b[2J:Src\x07:"), std::string::npos) << *relay;
  Accept(*relay);
  StopCleanly();
  const std::vector<std::string> lines = SavedLines({LogFolder()});
  ASSERT_EQ(lines.size(), 3u);  // banner, the event, the saved-file line
  EXPECT_EQ(lines[1],
            "2024/03/05 14:07:09 App#033[2J Src#007              1 "
            "fault event 7#015#012** saved file /x/kvs.log **#015#012fake#177");
}

// Every relay fails ("Event text too long": the relay's own fields make it
// longer than a receiver takes). 5,000 failures give a few entries, and
// the counts of the rest at stop.
TEST_F(HostileInputTest, AFailingRelayRepeatedFiveThousandTimesKeepsTheEventLogReadable) {
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  // A long AppName and empty RandomTag, EventType and EventCode, which the
  // relay fills in.
  const std::string head = "2024/03/05 14.07.09::";
  const std::string tail = ":FaultSource:::too long";
  const std::string datagram = head + std::string(2048 - head.size() - tail.size(), 'A') + tail;
  for (int i = 0; i < 5000; ++i) {
    SendRaw(datagram);
    if (i % 20 == 19) std::this_thread::sleep_for(milliseconds(1));  // within the socket's buffer
  }
  Flow(0, 1);  // the relays work again for an ordinary event
  StopCleanly();
  std::size_t entries = 0;
  std::uint64_t counted = 0;
  // "… (N more times since its last entry)": the entry itself is one.
  const auto moreTimes = [](const std::string& text) -> std::uint64_t {
    const std::size_t tail = text.find(" more time");
    if (tail == std::string::npos) return 0;
    const std::size_t open = text.rfind('(', tail);
    return open == std::string::npos ? 0 : std::stoull(text.substr(open + 1, tail - open - 1)) - 1;
  };
  for (const auto& entry : syslog_->Entries()) {
    if (entry.message.find("Event text too long") == std::string::npos) continue;
    ++entries;
    counted += moreTimes(entry.message);
  }
  EXPECT_LE(entries, 24u);
  EXPECT_EQ(entries + counted, 5000u);
}

// 20,000 flush commands as fast as they can be sent, then a stop at once:
// the stop ends within seconds, every flush line is saved once and follows
// its banner.
TEST_F(HostileInputTest, ABurstOfFlushCommandsIsTakenInAndAStopAfterItEndsSoon) {
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 10);
  for (int n = 10; n < 20010; ++n) {
    SendRaw("2024/03/05 14.07.09:1:Ops:Console:0:0:$FLUSHLOG$ fault event " + std::to_string(n));
    if (n % 50 == 0) {
      while (std::optional<std::string> relay = relay_.Receive(milliseconds(0))) Accept(*relay);
    }
  }
  const auto stopAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(child_->Signal(SIGTERM));
  std::optional<int> code;
  while (!(code = child_->WaitForExit(milliseconds(10)))) {
    while (std::optional<std::string> relay = relay_.Receive(milliseconds(0))) Accept(*relay);
    ASSERT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(30)) << "the stop did not end";
  }
  EXPECT_EQ(*code, 0) << child_->Stderr();
  while (std::optional<std::string> relay = relay_.Receive(milliseconds(50))) Accept(*relay);
  // Relays the listener's socket had no room for are not accepted; every
  // accepted one is saved, and nothing twice.
  EXPECT_GT(accepted_.size(), 1000u);
  const std::vector<std::string> lines = SavedLines({LogFolder()});
  std::map<int, int> seen;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (const int n = EventNumber(lines[i]); n >= 0) ++seen[n];
    if (lines[i].find("$FLUSHLOG$") == std::string::npos) continue;
    ASSERT_GT(i, 0u);
    EXPECT_EQ(lines[i - 1], "** KVLogService 1.0 KVS-7000 **") << "before " << lines[i];
  }
  for (int n : accepted_) EXPECT_EQ(seen[n], 1) << "event " << n;
  for (const auto& [n, times] : seen) EXPECT_EQ(times, 1) << "event " << n;
}

}  // namespace
}  // namespace kvtest
