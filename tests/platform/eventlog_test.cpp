// The event log over the local syslog socket.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/posix/syslog_format.h"
#include "support/syslog_listener.h"
#include "support/temp_dir.h"

namespace {

win::SYSTEMTIME At(int month, int day, int hour, int minute, int second) {
  win::SYSTEMTIME t{};
  t.wYear = 2024;
  t.wMonth = static_cast<win::WORD>(month);
  t.wDay = static_cast<win::WORD>(day);
  t.wHour = static_cast<win::WORD>(hour);
  t.wMinute = static_cast<win::WORD>(minute);
  t.wSecond = static_cast<win::WORD>(second);
  return t;
}

// Sends what the calling code writes to standard error into a file while it
// lives.
class CapturedStderr {
 public:
  CapturedStderr() : path_(dir_.Sub("stderr")) {
    fflush(stderr);
    saved_ = dup(2);
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~CapturedStderr() { Restore(); }
  std::string Finish() {
    Restore();
    return kvtest::ReadFile(path_);
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  kvtest::TempDir dir_;
  std::string path_;
  int saved_ = -1;
};

TEST(SyslogDatagram, HasPriorityStampTagAndPid) {
  EXPECT_EQ(win::SyslogDatagram(win::EVENTLOG_ERROR_TYPE, "KVLogService", 4711, At(1, 5, 7, 8, 9), "boom"),
            "<27>Jan  5 07:08:09 KVLogService[4711]: boom");
  EXPECT_EQ(win::SyslogDatagram(win::EVENTLOG_WARNING_TYPE, "x.exe", 1, At(12, 31, 23, 59, 58), "w"),
            "<28>Dec 31 23:59:58 x.exe[1]: w");
  EXPECT_EQ(win::SyslogDatagram(win::EVENTLOG_INFORMATION_TYPE, "S", 2, At(10, 10, 0, 0, 0), ""),
            "<30>Oct 10 00:00:00 S[2]: ");
}

TEST(SyslogDatagram, OtherTypesAreInformation) {
  EXPECT_EQ(win::SyslogSeverity(win::EVENTLOG_SUCCESS), 6);
  EXPECT_EQ(win::SyslogSeverity(0x0008), 6);
  EXPECT_EQ(win::SyslogSeverity(win::EVENTLOG_ERROR_TYPE), 3);
  EXPECT_EQ(win::SyslogSeverity(win::EVENTLOG_WARNING_TYPE), 4);
}

TEST(SyslogDatagram, LongTextIsCutWithinTheLimitOnACharacterBoundary) {
  if (win::GetACP() != win::CP_UTF8) GTEST_SKIP() << "needs a UTF-8 (or C) locale";
  std::string message;
  for (int i = 0; i < 4000; ++i) message += "停";
  std::string datagram = win::SyslogDatagram(win::EVENTLOG_ERROR_TYPE, "Src", 1, At(1, 1, 0, 0, 0), message);
  ASSERT_LE(datagram.size(), win::kMaxEventDatagram);
  EXPECT_GT(datagram.size(), win::kMaxEventDatagram - 3);
  std::string header = "<27>Jan  1 00:00:00 Src[1]: ";
  ASSERT_EQ(datagram.compare(0, header.size(), header), 0);
  EXPECT_EQ((datagram.size() - header.size()) % 3, 0u) << "a character was split";

  std::string ascii(20000, 'a');
  EXPECT_EQ(win::SyslogDatagram(1, "Src", 1, At(1, 1, 0, 0, 0), ascii).size(), win::kMaxEventDatagram);
}

TEST(EventLog, ReportBecomesOneDatagramOnDevLog) {
  kvtest::ScopedPlatformRoot root;
  kvtest::SyslogListener syslog(root);
  win::HEVENTLOG source = win::RegisterEventSource(nullptr, "KVLogService");
  ASSERT_NE(source, nullptr);
  const char* one[] = {"KVLogService started"};
  const char* two[] = {"first", "second"};
  EXPECT_TRUE(win::ReportEvent(source, win::EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, one, nullptr));
  EXPECT_TRUE(win::ReportEvent(source, win::EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, two, nullptr));
  EXPECT_TRUE(win::ReportEvent(source, win::EVENTLOG_WARNING_TYPE, 0, 0, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_TRUE(win::DeregisterEventSource(source));

  ASSERT_TRUE(syslog.WaitForEntries(3));
  auto entries = syslog.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].pri, 30);
  EXPECT_EQ(entries[0].tag, "KVLogService");
  EXPECT_EQ(entries[0].pid, getpid());
  EXPECT_EQ(entries[0].message, "KVLogService started");
  EXPECT_EQ(entries[1].pri, 27);
  EXPECT_EQ(entries[1].message, "first second");
  EXPECT_EQ(entries[2].pri, 28);
  EXPECT_EQ(entries[2].message, "");
}

TEST(EventLog, WithoutSyslogSocketTheEntryGoesToStandardError) {
  kvtest::ScopedPlatformRoot root;  // dev/ exists, dev/log does not
  win::HEVENTLOG source = win::RegisterEventSource(nullptr, "kvlogserver");
  ASSERT_NE(source, nullptr);
  const char* text[] = {"The service process could not connect to the service controller"};
  CapturedStderr captured;
  EXPECT_TRUE(win::ReportEvent(source, win::EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, text, nullptr));
  EXPECT_EQ(captured.Finish(), "kvlogserver: The service process could not connect to the service controller\n");
  win::DeregisterEventSource(source);
}

TEST(EventLog, BadArgumentsAndHandlesFailCleanly) {
  EXPECT_EQ(win::RegisterEventSource(nullptr, nullptr), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(win::RegisterEventSource(nullptr, ""), nullptr);
  EXPECT_EQ(win::RegisterEventSource("remote", "Src"), nullptr);

  const char* text[] = {"x"};
  EXPECT_FALSE(win::ReportEvent(nullptr, 1, 0, 0, nullptr, 1, 0, text, nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);

  win::HEVENTLOG source = win::RegisterEventSource(nullptr, "Src");
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(win::DeregisterEventSource(source));
  EXPECT_FALSE(win::DeregisterEventSource(source));
  EXPECT_FALSE(win::ReportEvent(source, 1, 0, 0, nullptr, 1, 0, text, nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
}

}  // namespace
