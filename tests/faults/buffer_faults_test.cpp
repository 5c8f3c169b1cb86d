// The buffer file under faults, with the real program and real files: a
// full disk under the buffer file and under the log folder (small tmpfs
// mounts in a mount namespace of this test process, so root only), the
// configuration folder gone at the moment of a save, and kill -9 at random
// moments of a stream with a save every second.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "faults/fault_fixture.h"
#include "platform/service_control.h"

namespace kvtest {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr char kFlush[] = "2024/03/05 14.07.09:1:Ops:Console:0:0:$FLUSHLOG$";

class BufferFaultTest : public FaultTest {
 protected:
  // A mount namespace of this process's own, so that the tmpfs mounts are
  // seen by this test and the program it starts, and vanish with them.
  // Threads started later share it; hence before any fixture exists.
  static void SetUpTestSuite() {
    mountsWork_ =
        geteuid() == 0 && unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }

  void SetUp() override {
    if (!mountsWork_) GTEST_SKIP() << "needs root and mount namespaces";
  }

  void TearDown() override {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
  }

  // A tmpfs of `kib` KiB at `folder` (made when missing).
  void MountSmall(const std::string& folder, int kib) {
    fs::create_directories(folder);
    ASSERT_EQ(mount("kvtmpfs", folder.c_str(), "tmpfs", 0, ("size=" + std::to_string(kib) + "k").c_str()), 0) << folder;
    mounts_.push_back(folder);
  }

  // Takes every free byte of the file system of `folder`.
  static void Fill(const std::string& folder) {
    int fd = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    // Partial pages: byte by byte until none fits.
    while (write(fd, "f", 1) == 1) {
    }
    close(fd);
  }
  static void Free(const std::string& folder) { fs::remove(folder + "/filler"); }

  // The configuration folder on a tmpfs of its own, with the INI file.
  void ConfigOnSmallDisk(int interval, const std::string& logs) {
    MountSmall(ConfigFolder(), 256);
    fs::create_directories(logs);
    WriteIni(interval, logs);
  }

  static inline bool mountsWork_ = false;
  std::vector<std::string> mounts_;
};

TEST_F(BufferFaultTest, AFullDiskUnderTheBufferFileLosesNothingAndWarnsOncePerEpisode) {
  const std::string logs = root_.Sub("logs");
  ConfigOnSmallDisk(3600, logs);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 50);
  const std::string cannot = "log buffer file " + ConfigFolder() + "/KVLogService.buf cannot be written";
  const std::string again = "KVLogService.buf works again";
  for (int episode = 1; episode <= 2; ++episode) {
    Fill(ConfigFolder());
    Flow(episode * 1000, episode * 1000 + 300);  // more than fits into the free bytes of a page
    ASSERT_TRUE(AwaitEntries(cannot, episode)) << child_->Stderr();
    std::this_thread::sleep_for(milliseconds(1200));  // retries while full stay silent
    EXPECT_EQ(EntriesContaining(cannot), static_cast<std::size_t>(episode));
    Free(ConfigFolder());
    ASSERT_TRUE(AwaitEntries(again, episode));
    Flow(episode * 1000 + 300, episode * 1000 + 350);
  }
  StopCleanly();
  EXPECT_EQ(EntriesContaining(cannot), 2u);
  ExpectEveryAcceptedEventOnce({logs});
}

TEST_F(BufferFaultTest, AFullDiskUnderTheLogFolderKeepsTheLinesAndReportsOncePerEpisode) {
  const std::string logs = root_.Sub("logs");
  MountSmall(logs, 1024);
  WriteIni(3600, logs);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 200);
  Fill(logs);
  // Each save is asked for and fails while the disk is full: the lines
  // stay in the buffer, the flush commands' own lines and relays too, and
  // the error and its reason are reported for the first only.
  for (int save = 1; save <= 3; ++save) {
    SendRaw(std::string(kFlush) + " fault event " + std::to_string(1000 * save - 1));
    Flow(1000 * save, 1000 * save + 100);
    std::this_thread::sleep_for(milliseconds(250));  // apart: each its own save
  }
  ASSERT_TRUE(AwaitEntries("I/O error 112", 1)) << child_->Stderr();
  Free(logs);
  SendRaw(kFlush);  // space is back: this save writes everything kept
  Flow(4000, 4100);
  ASSERT_TRUE(AwaitEntries("failed saves", 1));
  StopCleanly();
  EXPECT_EQ(EntriesContaining("I/O error 112"), 1u);
  EXPECT_EQ(EntriesContaining("could not save the log buffer (No space left on device)"), 1u);
  for (int flush : {999, 1999, 2999})  // relayed, so saved below
    EXPECT_NE(std::find(accepted_.begin(), accepted_.end(), flush), accepted_.end()) << flush;
  ExpectEveryAcceptedEventOnce({logs});
  for (const auto& entry : fs::directory_iterator(logs)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name.starts_with("kvs")) << name;
  }
}

// The stop's save fails: the stop still ends (a service that reported
// itself running again would have closed its socket already), the lines
// wait in the buffer file, and the next start saves them.
TEST_F(BufferFaultTest, AStopWhoseSaveFailsEndsAndTheNextStartSavesTheLines) {
  const std::string logs = root_.Sub("logs");
  MountSmall(logs, 512);
  WriteIni(3600, logs);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 100);
  Fill(logs);
  StopCleanly();
  EXPECT_EQ(EntriesContaining("I/O error 112"), 1u);
  EXPECT_EQ(EntriesContaining("log lines wait in " + ConfigFolder() + "/KVLogService.buf, where the next start"), 1u);
  EXPECT_EQ(EntriesContaining("KVLogService stopped"), 1u);
  Free(logs);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  ASSERT_TRUE(AwaitEntries("KVLogService recovered", 1));
  Flow(100, 150);
  StopCleanly();
  ExpectEveryAcceptedEventOnce({logs});
}

TEST_F(BufferFaultTest, TheConfigurationFolderGoneAtSaveTimeLosesNothing) {
  const std::string logs = root_.Sub("logs");
  fs::create_directories(logs);
  WriteIni(3600, logs);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 100);
  // Gone, and the save asked for before the buffer's next tick notices.
  const std::string ini = ReadFile(ConfigFolder() + "/KVLogService.ini");
  fs::remove_all(ConfigFolder());
  SendRaw(kFlush);
  Flow(100, 200);
  ASSERT_TRUE(AwaitEntries("KVLogService.buf was removed", 1));
  SendRaw(kFlush);
  Flow(200, 300);
  fs::create_directories(ConfigFolder());
  WriteFile(ConfigFolder() + "/KVLogService.ini", ini);
  ASSERT_TRUE(AwaitEntries("KVLogService.buf works again", 1));
  Flow(300, 400);
  StopCleanly();
  EXPECT_EQ(EntriesContaining("KVLogService.buf was removed"), 1u);
  ExpectEveryAcceptedEventOnce({logs});
}

class KillTest : public FaultTest {};

// 50 runs, each killed at a random moment of a stream of events (some in
// flight) with saves every second, then a normal start and stop: every
// event whose relay came back is in the log files exactly once; an event
// killed before its relay went out is there at most once.
TEST_F(KillTest, KillsAtRandomMomentsOfAStreamWithSavesEverySecond) {
  WriteIni(1);
  std::mt19937 random(std::random_device{}());
  int next = 0;
  for (int round = 0; round < 50; ++round) {
    Start();
    AwaitState(win::SERVICE_RUNNING);
    const auto killAt = std::chrono::steady_clock::now() +
                        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 1200000)(random));
    int inFlight = 0;
    while (std::chrono::steady_clock::now() < killAt) {
      if (inFlight < 8) {
        SendRaw(EventDatagram(next++));
        ++inFlight;
      }
      if (std::optional<std::string> relay = relay_.Receive(milliseconds(inFlight < 8 ? 0 : 2))) {
        Accept(*relay);
        --inFlight;
      }
    }
    ASSERT_TRUE(child_->Signal(SIGKILL));
    ASSERT_TRUE(child_->WaitForExit(std::chrono::seconds(20)));
    // A relay that went out is an event written; late ones count as well.
    while (std::optional<std::string> relay = relay_.Receive(milliseconds(50))) Accept(*relay);
  }
  Start();
  AwaitState(win::SERVICE_RUNNING);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0) << child_->Stderr();

  std::map<int, int> seen;
  for (const std::string& line : SavedLines({LogFolder()})) {
    if (const int number = EventNumber(line); number >= 0) ++seen[number];
  }
  ASSERT_GT(accepted_.size(), 50u);
  std::vector<int> missing, doubled;
  for (int n : accepted_) {
    if (seen.count(n) == 0) missing.push_back(n);
  }
  for (const auto& [n, times] : seen) {
    if (times != 1) doubled.push_back(n);
  }
  EXPECT_TRUE(missing.empty()) << missing.size() << " of " << accepted_.size() << " accepted events lost, first "
                               << missing.front();
  EXPECT_TRUE(doubled.empty()) << doubled.size() << " events saved twice, first " << doubled.front();
}

}  // namespace
}  // namespace kvtest
