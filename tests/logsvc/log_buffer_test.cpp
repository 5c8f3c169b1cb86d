#include "logsvc/log_buffer.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "platform/monotonic_clock.h"
#include "support/temp_dir.h"

namespace kvtest {
namespace {

struct Report {
  std::string text;
  std::uint16_t type;
};

class LogBufferTest : public ::testing::Test {
 protected:
  LogBufferTest() {
    buffer.SetReportSink([this](const std::string& text, std::uint16_t type) { reports.push_back({text, type}); });
  }
  std::string BufferPath() const { return dir.Sub("KVLogService.buf"); }

  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    for (const std::string& line : buffer) out.push_back(line);
    return out;
  }

  TempDir dir;
  std::vector<Report> reports;
  kv::TLogBuffer buffer;
};

// A file-size limit makes writes fail as a full disk does.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { Lift(); }
  void Lift() { ::setrlimit(RLIMIT_FSIZE, &old_); }

 private:
  rlimit old_{};
};

std::string Numbered(std::size_t n) {
  std::string line = "line " + std::to_string(n);
  line.resize(98, '.');
  return line;  // 100 bytes with CR LF
}

TEST_F(LogBufferTest, AFullDiskKeepsLinesUpToTheBoundAndWritesThemFirstWhenItWorksAgain) {
  win::ManualMonotonicClock monotonic;
  buffer.Attach(BufferPath());
  FileSizeLimit limit(256 * 1024);
  const std::size_t total = kv::TLogBuffer::kMemoryBound / 100 + 50000;
  for (std::size_t n = 0; n < total; ++n) buffer.Add(Numbered(n));
  for (int i = 0; i < 20; ++i) buffer.Tick();

  ASSERT_EQ(reports.size(), 1u);  // one warning for the whole episode
  EXPECT_EQ(reports[0].type, 2);
  EXPECT_NE(reports[0].text.find(BufferPath() + " cannot be written: File too large"), std::string::npos)
      << reports[0].text;
  EXPECT_GT(buffer.Dropped(), 0u);
  const std::size_t kept = buffer.Count();
  EXPECT_EQ(kept + buffer.Dropped(), total);
  EXPECT_LE(buffer.MemoryBytes(), kv::TLogBuffer::kMemoryBound);

  limit.Lift();
  monotonic.Advance(std::chrono::milliseconds(999));  // retries come once a second
  buffer.Tick();
  ASSERT_EQ(reports.size(), 1u);
  monotonic.Advance(std::chrono::milliseconds(1));
  buffer.Tick();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[1].text, "KVLogService log buffer file " + BufferPath() + " works again");
  EXPECT_NE(reports[2].text.find("dropped " + std::to_string(total - kept) + " log lines"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(BufferPath()), kept * 100);

  const std::string target = dir.Sub("kvs20240305140709.log");
  buffer.SaveAs(target);
  const std::string saved = ReadFile(target);
  ASSERT_EQ(saved.size(), kept * 100);
  for (std::size_t n : {std::size_t{0}, kept / 2, kept - 1})
    EXPECT_EQ(saved.substr(n * 100, 100), Numbered(n) + "\r\n") << n;
  EXPECT_EQ(buffer.Count(), 0u);
  EXPECT_EQ(std::filesystem::file_size(BufferPath()), 0u);
}

TEST_F(LogBufferTest, LinesLeftInTheFileComeFirstAndLinesWithLineBreaksReadBackWhole) {
  // The last line was cut short by a power cut: it goes, and is reported.
  WriteFile(BufferPath(), "left 1\r\nleft 2 cut sh");
  std::vector<std::string> reports;
  buffer.SetReportSink([&](const std::string& text, std::uint16_t) { reports.push_back(text); });
  EXPECT_EQ(buffer.Attach(BufferPath()), 1u);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("left out 13 bytes of a log line cut short"), std::string::npos) << reports[0];
  buffer.Add("two\r\nlines");
  buffer.Add("last");
  EXPECT_EQ(buffer.Count(), 3u);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"left 1", "two\r\nlines", "last"}));
  EXPECT_EQ(buffer[1], "two\r\nlines");
  buffer.Flush();
  EXPECT_EQ(ReadFile(BufferPath()), "left 1\r\ntwo\r\nlines\r\nlast\r\n");

  // A save by rename leaves a new, empty buffer file behind.
  std::filesystem::create_directories(dir.Sub("logs"));
  const std::string target = dir.Sub("logs/kvs20240305140709.log");
  buffer.SaveAs(target);
  EXPECT_EQ(ReadFile(target), "left 1\r\ntwo\r\nlines\r\nlast\r\n");
  EXPECT_EQ(ReadFile(BufferPath()), "");
  buffer.Add("next");
  EXPECT_EQ(Lines(), std::vector<std::string>{"next"});
}

TEST_F(LogBufferTest, ASaveToAnotherFileSystemCopiesAndKeepsTheBufferFile) {
  struct stat here {};
  struct stat shm {};
  if (::stat(dir.Path().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev)
    GTEST_SKIP() << "no second file system at hand";
  const std::string target = "/dev/shm/kvs-buffer-test-" + std::to_string(::getpid()) + ".log";
  buffer.Attach(BufferPath());
  buffer.Add("one");
  buffer.Add("two");
  buffer.Flush();
  buffer.SaveAs(target);
  EXPECT_EQ(ReadFile(target), "one\r\ntwo\r\n");
  std::filesystem::remove(target);
  EXPECT_EQ(ReadFile(BufferPath()), "");
  EXPECT_EQ(buffer.Count(), 0u);
}

TEST_F(LogBufferTest, ACopyCutShortLeavesTheTargetAsItWasAndTheNextSaveWritesEachLineOnce) {
  const std::string target = dir.Sub("kvs20240305140709.log");
  WriteFile(target, "earlier\r\n");  // a save within the same second copies
  buffer.Attach(BufferPath());
  for (std::size_t n = 0; n < 20000; ++n) buffer.Add(Numbered(n));
  buffer.Flush();
  {
    FileSizeLimit limit(1024 * 1024);
    EXPECT_THROW(buffer.SaveAs(target), kv::EInOutError);
  }
  EXPECT_EQ(ReadFile(target), "earlier\r\n");
  EXPECT_EQ(buffer.Count(), 20000u);
  buffer.SaveAs(target);
  const std::string saved = ReadFile(target);
  ASSERT_EQ(saved.size(), 9u + 20000u * 100u);
  EXPECT_EQ(saved.substr(9, 100), Numbered(0) + "\r\n");
  EXPECT_EQ(saved.substr(saved.size() - 100), Numbered(19999) + "\r\n");
}

// A process that dies in the middle of a copying save (here: killed by
// SIGXFSZ at a file-size limit) leaves part of the lines in the log file and
// all of them in the buffer file. The next start takes the part back out of
// the log file, so that each line is saved once.
TEST_F(LogBufferTest, ACopyEndedByTheProcessDyingIsTakenBackAtTheNextStart) {
  const std::string target = dir.Sub("kvs20240305140709.log");
  WriteFile(target, "earlier\r\n");  // a save within the same second copies
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    kv::TLogBuffer dying;
    dying.Attach(BufferPath());
    for (std::size_t n = 0; n < 20000; ++n) dying.Add(Numbered(n));
    dying.WriteThrough();
    ::signal(SIGXFSZ, SIG_DFL);
    rlimit limit{1024 * 1024, 1024 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    dying.SaveAs(target);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
  ASSERT_GT(std::filesystem::file_size(target), 9u);  // the copy had begun

  EXPECT_EQ(buffer.Attach(BufferPath()), 20000u);
  EXPECT_EQ(ReadFile(target), "earlier\r\n");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].text.find("unfinished save from " + target), std::string::npos) << reports[0].text;
  const std::string next = dir.Sub("kvs20240305140710.log");
  buffer.SaveAs(next);
  EXPECT_EQ(std::filesystem::file_size(next), 20000u * 100u);
  EXPECT_FALSE(std::filesystem::exists(BufferPath() + ".saving"));
}

TEST_F(LogBufferTest, AFileHeldByAnotherOwnerIsRefused) {
  kv::TLogBuffer first;
  first.Attach(BufferPath());
  EXPECT_THROW(buffer.Attach(BufferPath()), kv::Exception);
  EXPECT_FALSE(buffer.Attached());
}

}  // namespace
}  // namespace kvtest
