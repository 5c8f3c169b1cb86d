// The log buffer file with the real executable: what a kill -9 leaves
// behind is saved at the next start, a save cut short loses nothing, an
// unusable buffer file keeps the lines and warns once, a same-second save
// appends, and a second process cannot share the buffer file.
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/service_control.h"
#include "support/child_process.h"
#include "support/notify_listener.h"
#include "support/settings_file.h"
#include "support/syslog_listener.h"
#include "support/temp_dir.h"
#include "support/udp_listener.h"

namespace {

using kvtest::ReadFile;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kBanner = "** KVLogService 1.0 KVS-7000 **";

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "text does not end in CR LF";
  return lines;
}

// The message text of event number `n`.
std::string Event(int n) { return "event #" + std::to_string(n) + " end"; }

// The event numbers found in `lines`, in order.
std::vector<int> EventNumbers(const std::vector<std::string>& lines) {
  std::vector<int> numbers;
  for (const std::string& line : lines) {
    std::size_t at = line.find("event #");
    if (at != std::string::npos) numbers.push_back(std::stoi(line.substr(at + 7)));
  }
  return numbers;
}

class BufferFile : public ::testing::Test {
 protected:
  std::string ConfigFolder() const { return root_.Sub("opt/KelvaneSystem"); }
  std::string BufferPath() const { return ConfigFolder() + "/KVLogService.buf"; }

  void WriteIni(const std::string& folder) {
    std::filesystem::create_directories(ConfigFolder());
    kvtest::WriteSettingsFile(ConfigFolder() + "/KVLogService.ini", {receivePort_, repeat_.Port(), 3600, folder, 30});
  }

  std::unique_ptr<kvtest::ChildProcess> Launch() {
    return std::make_unique<kvtest::ChildProcess>(
        KVLOGSERVER, std::vector<std::string>{},
        std::vector<std::pair<std::string, std::optional<std::string>>>{{"NOTIFY_SOCKET", notify_.Address()},
                                                                        {"LC_ALL", std::string("C")}});
  }

  // Starts the program and waits until it reports running.
  void Start() {
    child_ = Launch();
    std::optional<std::size_t> index = notify_.WaitForState(win::SERVICE_RUNNING, nextReport_);
    ASSERT_TRUE(index) << child_->Stderr();
    nextReport_ = *index + 1;
  }

  void Kill() {
    ASSERT_TRUE(child_->Signal(SIGKILL));
    ASSERT_TRUE(child_->WaitForExit(seconds(20)));
  }

  void Stop() {
    ASSERT_TRUE(child_->Signal(SIGTERM));
    ASSERT_TRUE(child_->WaitForExit(seconds(20))) << "no end after SIGTERM";
    ASSERT_TRUE(syslog_.Flush());
  }

  // Sends events first..last one at a time, each once it has been relayed.
  void Stream(int first, int last) {
    for (int n = first; n <= last; ++n) {
      kvtest::SendUdp(receivePort_, "2024/03/05 14.07.09:1:App:Src:1:0:" + Event(n));
      // A relay of an earlier run's last datagram may still wait.
      std::optional<std::string> relayed;
      for (int skip = 0; skip < 3; ++skip) {
        relayed = repeat_.Receive(seconds(10));
        if (!relayed || relayed->find(Event(n)) != std::string::npos) break;
      }
      ASSERT_TRUE(relayed) << "event " << n << " was not relayed; " << child_->Stderr();
      ASSERT_NE(relayed->find(Event(n)), std::string::npos);
    }
  }

  // Every line of every log file in `folder`, files in name order.
  static std::vector<std::string> AllLines(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    std::vector<std::string> lines;
    for (const std::string& file : files) {
      std::vector<std::string> more = SplitLines(ReadFile(file));
      lines.insert(lines.end(), more.begin(), more.end());
    }
    return lines;
  }

  std::size_t MessagesContaining(const std::string& text) const {
    std::size_t count = 0;
    for (const auto& entry : syslog_.EntriesOf("KVLogService")) count += entry.message.find(text) != std::string::npos;
    return count;
  }

  kvtest::ScopedPlatformRoot root_;
  kvtest::SyslogListener syslog_{root_};
  kvtest::NotifyListener notify_;
  kvtest::UdpListener repeat_;
  std::uint16_t receivePort_ = kvtest::FreeUdpPort();
  std::string logs_ = root_.Sub("logs");
  std::unique_ptr<kvtest::ChildProcess> child_;
  std::size_t nextReport_ = 0;
};

TEST_F(BufferFile, AKillAfterTheRelayLosesNoEventAndTheNextStartSavesThem) {
  std::filesystem::create_directories(logs_);
  WriteIni(logs_);
  Start();
  Stream(1, 500);
  std::this_thread::sleep_for(milliseconds(200));
  Kill();
  EXPECT_TRUE(std::filesystem::is_empty(logs_));

  Start();
  auto recovered = syslog_.WaitForMessage("KVLogService recovered 501 log lines left unsaved in " + BufferPath());
  ASSERT_TRUE(recovered);
  EXPECT_EQ(recovered->pri, 30);
  Stop();

  std::vector<std::string> lines = AllLines(logs_);
  std::vector<int> expected(500);
  for (int n = 0; n < 500; ++n) expected[n] = n + 1;
  EXPECT_EQ(EventNumbers(lines), expected);
  EXPECT_EQ(lines.front(), kBanner);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("** saved"); }),
            2);
}

TEST_F(BufferFile, KillsInTheMiddleOfSavesLoseNothing) {
  std::filesystem::create_directories(logs_);
  WriteIni(logs_);
  int next = 1;
  for (int round = 0; round < 6; ++round) {
    Start();
    Stream(next, next + 199);
    next += 200;
    // The flush command's save starts as soon as the datagram is read;
    // the kill comes at a different moment of it in every round.
    kvtest::SendUdp(receivePort_, "2024/03/05 14.07.09:1:Ops:Console:0:0:$FLUSHLOG$");
    std::this_thread::sleep_for(std::chrono::microseconds(300 * round));
    Kill();
  }
  Start();
  Stop();

  // Every event at least once, and where one stands twice the save that
  // was cut short is to blame: never out of order within its own run.
  std::vector<int> numbers = EventNumbers(AllLines(logs_));
  for (int n = 1; n < next; ++n)
    EXPECT_NE(std::find(numbers.begin(), numbers.end(), n), numbers.end()) << "event " << n << " is lost";
  EXPECT_TRUE(std::filesystem::is_regular_file(BufferPath()));
}

TEST_F(BufferFile, ABufferFileThatCannotBeOpenedKeepsTheLinesAndWarnsOnce) {
  std::filesystem::create_directories(logs_);
  WriteIni(logs_);
  std::filesystem::create_directories(BufferPath());  // a folder where the file should be
  Start();
  Stream(1, 20);
  std::this_thread::sleep_for(milliseconds(1500));  // retries in the meantime stay silent
  Stop();
  EXPECT_EQ(MessagesContaining("log buffer file " + BufferPath() + " cannot be opened"), 1u);
  std::vector<std::string> lines = AllLines(logs_);
  EXPECT_EQ(EventNumbers(lines).size(), 20u);
  EXPECT_EQ(lines.front(), kBanner);
}

TEST_F(BufferFile, ARemovedConfigurationFolderKeepsTheLinesAndWarnsOnce) {
  std::filesystem::create_directories(logs_);
  WriteIni(logs_);
  Start();
  Stream(1, 10);
  std::filesystem::remove_all(ConfigFolder());
  Stream(11, 20);
  std::this_thread::sleep_for(milliseconds(1500));
  Stream(21, 30);
  ASSERT_TRUE(syslog_.WaitForMessage("was removed"));
  Stop();
  EXPECT_EQ(MessagesContaining("log buffer file " + BufferPath() + " was removed"), 1u);
  std::vector<int> expected(30);
  for (int n = 0; n < 30; ++n) expected[n] = n + 1;
  EXPECT_EQ(EventNumbers(AllLines(logs_)), expected);
}

TEST_F(BufferFile, ASaveOntoAnExistingFileOfTheSameSecondAppends) {
  std::filesystem::create_directories(logs_);
  WriteIni(logs_);
  Start();
  Stream(1, 3);
  // Files for the next seconds are there already; the save lands in one.
  const time_t now = ::time(nullptr);
  for (int s = 0; s < 8; ++s) {
    time_t at = now + s;
    struct tm local {};
    ::localtime_r(&at, &local);
    char name[64];
    std::strftime(name, sizeof name, "kvs%Y%m%d%H%M%S.log", &local);
    kvtest::WriteFile(logs_ + "/" + name, "earlier line\r\n");
  }
  kvtest::SendUdp(receivePort_, "2024/03/05 14.07.09:1:Ops:Console:0:0:$FLUSHLOG$");
  ASSERT_TRUE(repeat_.Receive(seconds(10)));
  Stop();
  std::vector<std::string> lines = AllLines(logs_);
  auto first = std::find(lines.begin(), lines.end(), kBanner);
  ASSERT_NE(first, lines.end());
  ASSERT_NE(first, lines.begin());
  EXPECT_EQ(*(first - 1), "earlier line");
  EXPECT_EQ(EventNumbers(lines), (std::vector<int>{1, 2, 3}));
}

TEST_F(BufferFile, ALeftBufferWaitsWhileTheLogFolderIsMissing) {
  const std::string folder = root_.Sub("missing/logs");
  WriteIni(folder);
  kvtest::WriteFile(BufferPath(), kBanner + "\r\nleft behind 1\r\nleft behind 2\r\n");
  child_ = Launch();  // the folder's parent is missing: the start is refused
  ASSERT_TRUE(child_->WaitForExit(seconds(20)));
  EXPECT_EQ(ReadFile(BufferPath()), kBanner + "\r\nleft behind 1\r\nleft behind 2\r\n");

  std::filesystem::create_directories(root_.Sub("missing"));
  nextReport_ = notify_.Reports().size();
  Start();
  ASSERT_TRUE(syslog_.WaitForMessage("KVLogService recovered 3 log lines"));
  Stop();
  std::vector<std::string> lines = AllLines(folder);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[1], "left behind 1");
  EXPECT_EQ(lines[2], "left behind 2");
  EXPECT_TRUE(lines[3].starts_with("** saved file " + folder + "/kvs"));
}

TEST_F(BufferFile, ASecondProcessCannotShareTheBufferFile) {
  std::filesystem::create_directories(logs_);
  WriteIni(logs_);
  Start();
  std::unique_ptr<kvtest::ChildProcess> second = Launch();
  ASSERT_TRUE(second->WaitForExit(seconds(20)));
  ASSERT_TRUE(syslog_.WaitForMessage("The log buffer file " + BufferPath() + " is in use by another process"));
  Stream(1, 2);  // the first goes on
  Stop();
  EXPECT_EQ(EventNumbers(AllLines(logs_)), (std::vector<int>{1, 2}));
}

}  // namespace
