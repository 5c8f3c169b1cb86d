// The program against folders that others may write to: symbolic links and
// FIFOs planted under the names the coming saves take, a folder link and a
// link loop below the log folder when the cleanup of the start runs, and a
// first start under umask 000.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "faults/fault_fixture.h"
#include "platform/service_control.h"

namespace kvtest {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

constexpr char kFlush[] = "2024/03/05 14.07.09:1:Ops:Console:0:0:$FLUSHLOG$";

// The names the saves of the next `count` seconds take (local time, as the
// program names them), each with its first `alternatives` other names.
std::vector<std::string> ComingNames(int count, int alternatives) {
  std::vector<std::string> names;
  const time_t now = time(nullptr);
  for (int s = -1; s <= count; ++s) {
    const time_t at = now + s;
    tm local{};
    localtime_r(&at, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "kvs%Y%m%d%H%M%S", &local);
    names.push_back(std::string(stamp) + ".log");
    for (int n = 1; n <= alternatives; ++n) names.push_back(std::string(stamp) + "-" + std::to_string(n) + ".log");
  }
  return names;
}

// Last written on 2020-01-01, long before any LogKeepDays.
void MakeOld(const std::string& path) {
  const timespec times[2] = {{0, UTIME_OMIT}, {1577880000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

class HostileFolderTest : public FaultTest {
 protected:
  std::size_t EntriesContaining(const std::string& text) const {
    std::size_t count = 0;
    for (const auto& entry : syslog_->Entries()) count += entry.message.find(text) != std::string::npos;
    return count;
  }

  // Two saves (a flush, the stop) of events 0..39; the stop is answered
  // within seconds, however the folder looks.
  void FlowFlushAndStop() {
    Flow(0, 20);
    SendRaw(kFlush);
    Flow(20, 40);
    ASSERT_TRUE(child_->Signal(SIGTERM));
    EXPECT_EQ(WaitForExit(seconds(10)), 0) << child_->Stderr();
    ASSERT_TRUE(syslog_->Flush());
  }
};

TEST_F(HostileFolderTest, LinksPlantedUnderTheNextSaveNamesAreNeverWrittenThrough) {
  const std::string victim = root_.Sub("victim");
  WriteFile(victim, "root only\n");
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  // Symbolic links, and hard links: a file of root's own with a second name.
  bool hard = false;
  for (const std::string& name : ComingNames(30, 0)) {
    if ((hard = !hard)) fs::create_hard_link(victim, LogFolder() + "/" + name);
    else fs::create_symlink(victim, LogFolder() + "/" + name);
  }
  FlowFlushAndStop();
  EXPECT_EQ(ReadFile(victim), "root only\n");
  ExpectEveryAcceptedEventOnce({LogFolder()});  // in the next free names
  EXPECT_EQ(EntriesContaining("link; the log lines went into " + LogFolder() + "/kvs"), 2u);
}

TEST_F(HostileFolderTest, FifosUnderEveryNameASaveMightTakeNeitherHoldNorLoseAnything) {
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  const std::vector<std::string> names = ComingNames(30, 9);
  for (const std::string& name : names) ASSERT_EQ(mkfifo((LogFolder() + "/" + name).c_str(), 0666), 0) << name;
  FlowFlushAndStop();
  EXPECT_EQ(EntriesContaining("is a FIFO; the 9 names after it are taken as well, so the log lines stay"), 2u);
  EXPECT_TRUE(SavedLines({LogFolder()}).empty());

  // Kept in the buffer file: the next start saves them, once.
  for (const std::string& name : names) fs::remove(LogFolder() + "/" + name);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0);
  ExpectEveryAcceptedEventOnce({LogFolder()});
}

TEST_F(HostileFolderTest, TheCleanupOfTheStartStaysInTheFolderThroughLinksAndLoops) {
  const std::string elsewhere = root_.Sub("elsewhere");
  fs::create_directories(elsewhere);
  fs::create_directories(LogFolder() + "/a/b/c");
  fs::create_directory_symlink(elsewhere, LogFolder() + "/link");
  fs::create_directory_symlink(".", LogFolder() + "/loop");
  fs::create_directory_symlink("..", LogFolder() + "/a/b/up");
  fs::create_symlink(elsewhere + "/kvs20190101000000.log", LogFolder() + "/kvs20190101000000.log");
  std::vector<std::string> outside, old;
  for (int i = 0; i < 45; ++i) {
    const std::string folder = i < 5 ? elsewhere : LogFolder() + (i % 2 ? "/a" : "") + (i % 4 == 1 ? "/b/c" : "");
    (i < 5 ? outside : old).push_back(folder + "/kvs201901" + std::to_string(10 + i) + "000000.log");
    WriteFile((i < 5 ? outside : old).back(), "x");
    MakeOld((i < 5 ? outside : old).back());
  }
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  EXPECT_TRUE(Eventually([&] {
    return std::none_of(old.begin(), old.end(), [](const std::string& path) { return fs::exists(path); });
  })) << "old log files left below the folder";
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0);
  for (const std::string& path : outside) EXPECT_TRUE(fs::exists(path)) << path;
  // Links are not taken for files: no line for one that could not go.
  for (const std::string& line : SavedLines({LogFolder()})) EXPECT_EQ(line.find("LogCleanup"), std::string::npos);
}

TEST_F(HostileFolderTest, AFirstStartUnderUmask000MakesNothingOthersMayWrite) {
  fs::remove_all(ConfigFolder());
  const mode_t saved = umask(0);
  // The first start writes the default settings (its default ports may be
  // in use here and refuse the start: the files are made before that).
  Start();
  const std::string buffer = ConfigFolder() + "/KVLogService.buf";
  EXPECT_TRUE(Eventually([&] { return fs::exists(buffer); })) << child_->Stderr();
  ASSERT_TRUE(child_->Signal(SIGTERM));
  WaitForExit();
  ASSERT_TRUE(notify_->Flush());
  nextReport_ = notify_->Reports().size();  // the next start's reports only
  EXPECT_EQ(ModeOf(ConfigFolder()), 0755u);
  EXPECT_EQ(ModeOf(ConfigFolder() + "/KVLogService.ini"), 0644u);
  EXPECT_EQ(ModeOf(LogFolder()), 0750u);
  EXPECT_EQ(ModeOf(buffer), 0640u);

  WriteIni(3600);  // free ports: the log files a save makes
  Start();
  AwaitState(win::SERVICE_RUNNING);
  FlowFlushAndStop();
  umask(saved);
  EXPECT_EQ(ModeOf(buffer), 0640u);
  ASSERT_FALSE(SavedLines({LogFolder()}).empty());
  for (const auto& entry : fs::directory_iterator(LogFolder())) EXPECT_EQ(ModeOf(entry.path()), 0640u) << entry.path();
}

}  // namespace
}  // namespace kvtest
