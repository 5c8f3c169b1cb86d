// The program against folders that others may write to: symbolic links and
// FIFOs planted under the names the coming saves take, a folder link and a
// link loop below the log folder when the cleanup of the start runs, and a
// first start under umask 000.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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

mode_t ModeOf(const std::string& path) {
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

  // A stop is answered within seconds, however the folder looks.
  void StopPromptly() {
    ASSERT_TRUE(child_->Signal(SIGTERM));
    EXPECT_EQ(WaitForExit(std::chrono::seconds(10)), 0) << child_->Stderr();
    ASSERT_TRUE(syslog_->Flush());
  }
};

TEST_F(HostileFolderTest, LinksPlantedUnderTheNextSaveNamesAreNeverWrittenThrough) {
  const std::string victim = root_.Sub("victim");
  WriteFile(victim, "root only\n");
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  // Symbolic links, and hard links to the file: one of root's own with a
  // second name.
  bool hard = false;
  for (const std::string& name : ComingNames(30, 0)) {
    if ((hard = !hard)) fs::create_hard_link(victim, LogFolder() + "/" + name);
    else fs::create_symlink(victim, LogFolder() + "/" + name);
  }

  Flow(0, 20);
  SendRaw(kFlush);
  Flow(20, 40);
  StopPromptly();

  EXPECT_EQ(ReadFile(victim), "root only\n");
  ExpectEveryAcceptedEventOnce({LogFolder()});
  // The flush and the stop: each went to the next free name, with one
  // warning naming the link.
  EXPECT_EQ(EntriesContaining("link; the log lines went into " + LogFolder() + "/kvs"), 2u);
  bool alternative = false;
  for (const auto& entry : fs::directory_iterator(LogFolder()))
    alternative |= entry.is_regular_file() && entry.path().filename().string().ends_with("-1.log");
  EXPECT_TRUE(alternative);
}

TEST_F(HostileFolderTest, FifosUnderEveryNameASaveMightTakeNeitherHoldNorLoseAnything) {
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  const std::vector<std::string> names = ComingNames(30, 9);
  for (const std::string& name : names) ASSERT_EQ(mkfifo((LogFolder() + "/" + name).c_str(), 0666), 0) << name;

  Flow(0, 20);
  SendRaw(kFlush);
  Flow(20, 40);
  StopPromptly();
  EXPECT_GE(EntriesContaining("is a FIFO; the 9 names after it are taken as well, so the log lines stay"), 2u);
  EXPECT_TRUE(SavedLines({LogFolder()}).empty());

  // Kept in the buffer file: the next start saves them, once.
  for (const std::string& name : names) fs::remove(LogFolder() + "/" + name);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  StopPromptly();
  ExpectEveryAcceptedEventOnce({LogFolder()});
}

TEST_F(HostileFolderTest, TheCleanupOfTheStartStaysInTheFolderThroughLinksAndLoops) {
  const std::string elsewhere = root_.Sub("elsewhere");
  fs::create_directories(elsewhere);
  std::vector<std::string> outside;
  for (int i = 0; i < 5; ++i) {
    outside.push_back(elsewhere + "/kvs2019010100000" + std::to_string(i) + ".log");
    WriteFile(outside.back(), "x");
    MakeOld(outside.back());
  }
  fs::create_directory_symlink(elsewhere, LogFolder() + "/link");
  fs::create_directory_symlink(".", LogFolder() + "/loop");
  fs::create_symlink(outside.front(), LogFolder() + "/kvs20190101000000.log");
  MakeOld(LogFolder() + "/kvs20190101000000.log");
  std::vector<std::string> old;
  for (int i = 0; i < 40; ++i) {
    const std::string folder = LogFolder() + (i % 2 ? "/a" : "") + (i % 4 == 1 ? "/b/c" : "");
    fs::create_directories(folder);
    old.push_back(folder + "/kvs201901" + std::to_string(10 + i) + "000000.log");
    WriteFile(old.back(), "x");
    MakeOld(old.back());
  }
  fs::create_directory_symlink("..", LogFolder() + "/a/b/up");

  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  EXPECT_TRUE(Eventually([&] {
    for (const std::string& path : old)
      if (fs::exists(fs::symlink_status(path))) return false;
    return true;
  })) << "old log files left below the folder";
  StopPromptly();
  for (const std::string& path : outside) EXPECT_TRUE(fs::exists(path)) << path;
  // Nothing it could not delete either: links are not taken for files.
  for (const std::string& line : SavedLines({LogFolder()}))
    EXPECT_EQ(line.find("LogCleanup"), std::string::npos) << line;
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

  // A log folder of its own making and the files a save makes.
  const std::string logs = root_.Sub("opt/KelvaneSystem/made");
  WriteIni(3600, logs);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 5);
  SendRaw(kFlush);
  Flow(5, 10);
  StopPromptly();
  umask(saved);
  EXPECT_EQ(ModeOf(logs), 0750u);
  EXPECT_EQ(ModeOf(buffer), 0640u);
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(logs)) {
    EXPECT_EQ(ModeOf(entry.path().string()), 0640u) << entry.path();
    ++files;
  }
  EXPECT_GE(files, 1u);
  ExpectEveryAcceptedEventOnce({logs});
}

}  // namespace
}  // namespace kvtest
