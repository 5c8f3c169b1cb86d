#include "faults/fault_fixture.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <thread>

namespace kvtest {
namespace {

constexpr char kEventPrefix[] = "fault event ";
constexpr int kNobody = 65534;

// Lets user `nobody` reach and use the platform root: folders 0755 (the log
// folder its own), files 0644, sockets 0666.
void OpenUpFor(const std::string& root, const std::string& logFolder) {
  namespace fs = std::filesystem;
  chmod(root.c_str(), 0755);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string path = entry.path().string();
    if (entry.is_directory()) chmod(path.c_str(), 0755);
    else if (entry.is_socket()) chmod(path.c_str(), 0666);
    else chmod(path.c_str(), 0644);
  }
  fs::create_directories(logFolder);
  EXPECT_EQ(chown(logFolder.c_str(), kNobody, kNobody), 0);
}

}  // namespace

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

FaultTest::FaultTest() {
  syslog_.emplace(root_);
  notify_.emplace(NotifyListener::Kind::Abstract);
  std::filesystem::create_directories(LogFolder());
}

void FaultTest::WriteIni(int interval) { WriteIni(interval, LogFolder()); }

void FaultTest::WriteIni(int interval, const std::string& folder) {
  kvtest::WriteSettingsFile(ConfigFolder() + "/KVLogService.ini", {receivePort_, relay_.Port(), interval, folder, 30});
}

void FaultTest::Start(bool asNobody) {
  if (asNobody && geteuid() == 0) {
    OpenUpFor(root_.Path(), LogFolder());
    StartUnder("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", KVLOGSERVER});
  } else {
    StartUnder(KVLOGSERVER, {});
  }
}

void FaultTest::StartUnder(const std::string& program, const std::vector<std::string>& args) {
  child_ = std::make_unique<ChildProcess>(
      program, args,
      std::vector<std::pair<std::string, std::optional<std::string>>>{
          {"NOTIFY_SOCKET", notify_ ? std::optional<std::string>(notify_->Address()) : std::nullopt},
          {"LC_ALL", std::string("C")}});
}

void FaultTest::AwaitState(std::uint32_t state) {
  ASSERT_TRUE(notify_);
  std::optional<std::size_t> index = notify_->WaitForState(state, nextReport_);
  ASSERT_TRUE(index) << "no report of state " << state << "; stderr: " << child_->Stderr();
  nextReport_ = *index + 1;
}

std::string FaultTest::EventDatagram(int number) {
  return "2024/03/05 14.07.09:1:FaultApp:FaultSource:1:2:" + std::string(kEventPrefix) + std::to_string(number);
}

void FaultTest::Flow(int from, int to) {
  for (int n = from; n < to; ++n) {
    SendUdp(receivePort_, EventDatagram(n));
    const std::string wanted = kEventPrefix + std::to_string(n);
    // Relays of earlier events that were late are taken on the way.
    for (;;) {
      std::optional<std::string> relay = relay_.Receive(std::chrono::seconds(5));
      ASSERT_TRUE(relay) << "no relay for event " << n;
      const std::size_t at = relay->find(kEventPrefix);
      if (at == std::string::npos) continue;
      accepted_.push_back(std::stoi(relay->substr(at + sizeof kEventPrefix - 1)));
      if (relay->ends_with(wanted)) break;
    }
  }
}

void FaultTest::SendRaw(const std::string& text) { SendUdp(receivePort_, text); }

int FaultTest::EventNumber(const std::string& text) {
  const std::size_t at = text.find(kEventPrefix);
  return at == std::string::npos ? -1 : std::stoi(text.substr(at + sizeof kEventPrefix - 1));
}

void FaultTest::Accept(const std::string& relay) {
  if (const int number = EventNumber(relay); number >= 0) accepted_.push_back(number);
}

std::size_t FaultTest::EntriesContaining(const std::string& text) const {
  std::size_t count = 0;
  for (const auto& entry : syslog_->Entries()) count += entry.message.find(text) != std::string::npos;
  return count;
}

bool FaultTest::AwaitEntries(const std::string& text, std::size_t count) {
  return Eventually([&] { return EntriesContaining(text) >= count; });
}

void FaultTest::StopCleanly() {
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0) << child_->Stderr();
  ASSERT_TRUE(syslog_->Flush());
}

int FaultTest::WaitForExit(std::chrono::milliseconds timeout) {
  std::optional<int> code = child_->WaitForExit(timeout);
  EXPECT_TRUE(code) << "the process did not end";
  return code.value_or(-1);
}

std::vector<std::string> FaultTest::SavedLines(const std::vector<std::string>& folders) const {
  std::vector<std::string> lines;
  for (const std::string& folder : folders) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
      const std::string name = entry.path().filename().string();
      // Only regular files with one name: a link or FIFO planted under a
      // log name holds no saved line.
      if (!name.starts_with("kvs") || !name.ends_with(".log") || !entry.is_regular_file() || entry.is_symlink() ||
          entry.hard_link_count() > 1)
        continue;
      const std::string text = ReadFile(entry.path().string());
      std::size_t start = 0;
      for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
      EXPECT_EQ(start, text.size()) << "not ended by CR LF: " << entry.path();
    }
  }
  return lines;
}

void FaultTest::ExpectEveryAcceptedEventOnce(const std::vector<std::string>& folders) const {
  std::map<int, int> seen;
  for (const std::string& line : SavedLines(folders)) {
    const std::size_t at = line.find(kEventPrefix);
    if (at != std::string::npos) ++seen[std::stoi(line.substr(at + sizeof kEventPrefix - 1))];
  }
  ASSERT_FALSE(accepted_.empty());
  std::size_t missing = 0, doubled = 0;
  for (int n : accepted_) {
    auto it = seen.find(n);
    if (it == seen.end()) ++missing;
    else if (it->second != 1) ++doubled;
  }
  EXPECT_EQ(missing, 0u) << "of " << accepted_.size() << " accepted events";
  EXPECT_EQ(doubled, 0u) << "of " << accepted_.size() << " accepted events";
  EXPECT_EQ(seen.size(), accepted_.size());
}

}  // namespace kvtest
