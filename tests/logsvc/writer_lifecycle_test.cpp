#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "logsvc/event_line.h"
#include "logsvc/module_fixture.h"
#include "platform/messages.h"
#include "platform/monotonic_clock.h"

namespace kvtest {
namespace {

constexpr char kWorked[] = "2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files";
constexpr char kWorkedLine[] = "2024/03/05 14:07:09 Backup     JobRunner            2 Copy finished: 12 files";

std::string Banner() { return std::string(kv::kBanner); }

class WriterTest : public ModuleTest {
 protected:
  std::string FileAt(const char* stamp) const { return logs + "/kvs" + stamp + ".log"; }
};

TEST_F(WriterTest, FlushCommandSavesAndStartsANewBuffer) {
  Start();
  ASSERT_TRUE(SendAndWait(kWorked, 2));
  clock.Set({2024, 3, 5, 14, 7, 12, 0});
  std::string file = FileAt("20240305140712");
  SendUdp(receivePort, "2024/03/05 14.07.12:1:Ops:Console:0:0:$FLUSHLOG$ please");
  ASSERT_TRUE(PumpMessagesUntil([&] { return std::filesystem::exists(file); }));
  EXPECT_EQ(ReadFile(file), Banner() + "\r\n" + kWorkedLine + "\r\n** saved file " + file + " **\r\n");
  ASSERT_EQ(Lines().size(), 2u);
  EXPECT_EQ(Lines()[0], Banner());
  EXPECT_EQ(Lines()[1], "2024/03/05 14:07:12 Ops        Console              0 $FLUSHLOG$ please");

  // The lower-case twin is an ordinary message.
  ASSERT_TRUE(SendAndWait("2024/03/05 14.07.12:1:Ops:Console:0:0:$flushlog$", 3));
  EXPECT_EQ(LogFiles().size(), 1u);
}

TEST_F(WriterTest, TwoSavesInOneSecondKeepEveryLine) {
  Start();
  ASSERT_TRUE(SendAndWait(kWorked, 2));
  module->SaveLogFile();
  module->LogLines->Add("second save");
  module->SaveLogFile();
  std::string file = FileAt("20240305140709");
  EXPECT_EQ(LogFiles(), std::vector<std::string>{file});
  std::string saved = "** saved file " + file + " **\r\n";
  EXPECT_EQ(ReadFile(file), Banner() + "\r\n" + kWorkedLine + "\r\n" + saved + "second save\r\n" + saved);
}

TEST_F(WriterTest, MissingFolderKeepsLinesAndBannersUntilItIsBack) {
  Start();
  ASSERT_TRUE(SendAndWait(kWorked, 2));
  std::filesystem::remove_all(logs);
  for (int i = 0; i < 3; ++i) module->MsgFlushTimerTimer(*module->MsgFlushTimer);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Banner(), kWorkedLine, Banner(), Banner(), Banner()}));
  std::filesystem::create_directories(logs);
  module->SaveLogFile();
  std::string content = ReadFile(FileAt("20240305140709"));
  EXPECT_EQ(content.rfind(Banner() + "\r\n" + kWorkedLine, 0), 0u);
  EXPECT_EQ(module->LogLines->Count(), 0u);
}

TEST_F(WriterTest, AMissingFolderIsReportedOnceUntilASaveWorksAgain) {
  Start();
  const std::string warning = "KVLogService log folder " + logs + " does not exist";
  std::filesystem::remove_all(logs);
  for (int i = 0; i < 3; ++i) module->MsgFlushTimerTimer(*module->MsgFlushTimer);
  std::filesystem::create_directories(logs);
  module->SaveLogFile();
  std::filesystem::remove_all(logs);
  module->SaveLogFile();
  ASSERT_TRUE(syslog.WaitForMessage("KVLogService started"));
  ASSERT_TRUE(syslog.Flush());
  std::size_t warnings = 0;
  for (const auto& entry : syslog.EntriesOf("KVLogService")) {
    if (entry.message.starts_with(warning)) {
      ++warnings;
      EXPECT_EQ(entry.pri, 28);  // daemon, warning
    }
  }
  EXPECT_EQ(warnings, 2u);
}

TEST_F(WriterTest, FailedSaveKeepsItsLinesForTheNextOne) {
  Start();
  ASSERT_TRUE(SendAndWait(kWorked, 2));
  std::string blocked = FileAt("20240305140709");
  // A read-only file of its own where the file should go (a folder or a
  // link there would only send the save to the next name).
  WriteFile(blocked, "");
  std::filesystem::permissions(blocked, std::filesystem::perms::owner_read);
  EXPECT_THROW(module->SaveLogFile(), kv::EInOutError);
  ASSERT_EQ(module->LogLines->Count(), 3u);
  EXPECT_EQ(Lines()[2], "** saved file " + blocked + " **");

  // The periodic handler adds no banner after a failed save; the same
  // failure again still ends its tick, but as one already reported.
  EXPECT_THROW(module->MsgFlushTimerTimer(*module->MsgFlushTimer), kv::EInOutError);
  EXPECT_EQ(module->LogLines->Count(), 4u);
  EXPECT_THROW(module->MsgFlushTimerTimer(*module->MsgFlushTimer), kv::EAbort);
  EXPECT_EQ(module->LogLines->Count(), 5u);

  std::filesystem::permissions(blocked, std::filesystem::perms::owner_all);
  std::filesystem::remove(blocked);
  clock.Set({2024, 3, 5, 14, 7, 11, 0});
  module->SaveLogFile();
  std::string content = ReadFile(FileAt("20240305140711"));
  EXPECT_NE(content.find("** saved file " + blocked + " **\r\n"), std::string::npos);
  EXPECT_TRUE(syslog.WaitForMessage("KVLogService saved the log buffer again, into " + FileAt("20240305140711") +
                                    ", after 3 failed saves"));
}

TEST_F(WriterTest, MessageTextWithLineBreaksIsWrittenOnOneLine) {
  Start();
  ASSERT_TRUE(SendAndWait("2024/03/05 14.07.09:1:A:S:1:0:two\r\nlines", 2));
  module->SaveLogFile();
  EXPECT_NE(ReadFile(FileAt("20240305140709")).find(" two#015#012lines\r\n"), std::string::npos);
}

class LifecycleTest : public ModuleTest {};

TEST_F(LifecycleTest, StartReportsAndStopSavesTheLastFile) {
  Start();
  EXPECT_TRUE(module->MsgFlushTimer->Enabled());
  EXPECT_EQ(module->MsgFlushTimer->Interval(), 21600000u);
  EXPECT_TRUE(module->LogCleanupTimer->Enabled());
  EXPECT_EQ(module->LogCleanupTimer->Interval(), 43200000u);
  auto started = syslog.WaitForMessage("KVLogService started");
  ASSERT_TRUE(started);
  EXPECT_EQ(started->pri, 30);
  EXPECT_EQ(started->tag, "KVLogService");

  ASSERT_TRUE(SendAndWait(kWorked, 2));
  Stop();
  EXPECT_FALSE(module->MsgFlushTimer->Enabled());
  EXPECT_FALSE(module->LogCleanupTimer->Enabled());
  EXPECT_EQ(module->Repeater, nullptr);
  std::string file = logs + "/kvs20240305140709.log";
  EXPECT_EQ(ReadFile(file), Banner() + "\r\n" + kWorkedLine + "\r\n** saved file " + file + " **\r\n");
  EXPECT_TRUE(syslog.WaitForMessage("KVLogService stopped"));
}

TEST_F(LifecycleTest, StopTakesInDatagramsThatAlreadyArrived) {
  Start();
  for (int i = 0; i < 5; ++i) SendUdp(receivePort, std::string(kWorked) + std::to_string(i));
  // Give the kernel a moment to queue them; nothing is dispatched meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Stop();
  std::string content = ReadFile(logs + "/kvs20240305140709.log");
  for (int i = 0; i < 5; ++i) EXPECT_NE(content.find(std::string(kWorkedLine) + std::to_string(i)), std::string::npos);
  PumpPendingMessages();  // their notifications now find the receiver closed
  EXPECT_TRUE(failures.empty());
}

TEST_F(LifecycleTest, RepeatedStopAfterAFailedSaveCompletes) {
  Start();
  ASSERT_TRUE(SendAndWait(kWorked, 2));
  std::string blocked = logs + "/kvs20240305140709.log";
  WriteFile(blocked, "");  // read-only: the save fails
  std::filesystem::permissions(blocked, std::filesystem::perms::owner_read);
  // The stop completes: the lines wait in the buffer file, and the next
  // start saves them.
  bool stopped = false;
  module->ServiceStop(*module, stopped);
  EXPECT_TRUE(stopped);
  EXPECT_FALSE(module->Listening());
  EXPECT_TRUE(syslog.WaitForMessage("where the next start saves them"));
  EXPECT_TRUE(syslog.WaitForMessage("KVLogService stopped"));
  module.reset();
  std::filesystem::permissions(blocked, std::filesystem::perms::owner_all);
  std::filesystem::remove(blocked);
  clock.Set({2024, 3, 5, 14, 7, 20, 0});
  Start();
  EXPECT_NE(ReadFile(logs + "/kvs20240305140720.log").find(kWorkedLine), std::string::npos);
}

TEST_F(LifecycleTest, ConfigurationErrorRefusesTheStart) {
  WriteIni("");
  module = std::make_unique<kv::TKVLogService>();
  bool started = true;
  module->ServiceStart(*module, started);
  EXPECT_FALSE(started);
  EXPECT_FALSE(module->MsgFlushTimer->Enabled());
  EXPECT_EQ(module->LogLines->Count(), 0u);
  auto entry = syslog.WaitForMessage("KVLogService configuation error");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->pri, 27);
}

TEST_F(LifecycleTest, PortHeldExclusivelyFailsTheStartAndUndoesIt) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(receivePort);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  WriteIni(logs);
  module = std::make_unique<kv::TKVLogService>();
  bool started = true;
  try {
    module->ServiceStart(*module, started);
    ADD_FAILURE() << "start did not fail";
  } catch (const kv::Exception& e) {
    EXPECT_EQ(e.Message(), "Bind Socket failed. stat = 10048");
  }
  ::close(fd);
  EXPECT_FALSE(module->MsgFlushTimer->Enabled());
  EXPECT_FALSE(module->LogCleanupTimer->Enabled());
  EXPECT_EQ(module->Repeater, nullptr);
  EXPECT_FALSE(module->Listening());
}

TEST_F(LifecycleTest, StartAndStopFromAnotherThreadRunOnTheMainThread) {
  WriteIni(logs);
  module = std::make_unique<kv::TKVLogService>();
  std::atomic<bool> started{false};
  std::atomic<bool> done{false};
  std::thread request([&] {
    bool flag = true;
    module->ServiceStart(*module, flag);
    started = flag;
    SendUdp(receivePort, kWorked);
    done = true;
  });
  ASSERT_TRUE(PumpMessagesUntil([&] { return done && module->LogLines->Count() >= 2; }));
  request.join();
  EXPECT_TRUE(started);
  std::thread stopper([&] {
    bool flag = true;
    module->ServiceStop(*module, flag);
  });
  ASSERT_TRUE(PumpMessagesUntil([&] { return !module->Listening() && module->LogLines->Count() == 0; }));
  stopper.join();
  EXPECT_NE(ReadFile(logs + "/kvs20240305140709.log").find(kWorkedLine), std::string::npos);
}

TEST_F(LifecycleTest, FlushTimerSavesEveryIntervalSeconds) {
  using namespace std::chrono_literals;
  win::ManualMonotonicClock monotonic;
  Start(/*interval=*/1);
  monotonic.Advance(999ms);
  PumpPendingMessages();
  EXPECT_TRUE(LogFiles().empty());
  monotonic.Advance(1ms);
  PumpPendingMessages();
  const std::string first = logs + "/kvs20240305140709.log";
  EXPECT_EQ(LogFiles(), std::vector<std::string>{first});
  EXPECT_EQ(ReadFile(first), Banner() + "\r\n** saved file " + first + " **\r\n");
  EXPECT_EQ(Lines(), std::vector<std::string>{Banner()});

  clock.Set({2024, 3, 5, 14, 7, 10, 0});
  monotonic.Advance(1s);
  PumpPendingMessages();
  EXPECT_EQ(LogFiles(), (std::vector<std::string>{first, logs + "/kvs20240305140710.log"}));
}

}  // namespace
}  // namespace kvtest
