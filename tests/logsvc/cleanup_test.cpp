#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "logsvc/module_fixture.h"
#include "support/file_times.h"

namespace kvtest {
namespace {

// Today is 2024-03-05 (the fixture's clock); with 30 days kept, files last
// written on 2024-02-04 or earlier go.
// A relative path with "/" written with the platform's separator.
std::string Native(std::string path) {
  std::replace(path.begin(), path.end(), '/', win::PathDelim);
  return path;
}

class CleanupTest : public ModuleTest {
 protected:
  std::string Make(const std::string& relative, int year, int month, int day, int hour = 12, int minute = 0) {
    std::string path = logs + win::PathDelim + Native(relative);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteFile(path, "x");
    SetLocalLastWrite(path, year, month, day, hour, minute, 0);
    return path;
  }
  void RunCleanup() { module->LogCleanupTimerTimer(*module->LogCleanupTimer); }
  static bool Exists(const std::string& path) { return std::filesystem::exists(path); }
};

TEST_F(CleanupTest, DeletesOldLogFamilyNamesOnly) {
  Start();
  std::string gone[] = {Make("kvs20240101120000.log", 2024, 1, 1), Make("KVS.LOG", 2024, 1, 1),
                        Make("Kvsold.Log", 2024, 1, 1), Make("sub/a/kvs1.log", 2023, 6, 1),
                        Make("kvs-edge.log", 2024, 2, 4, 23, 59)};
  std::string kept[] = {Make("xkvs20240101.log", 2024, 1, 1),  Make("kvs20240101.log.bak", 2024, 1, 1),
                        Make("kvs20240101.txt", 2024, 1, 1),   Make("ks.log", 2024, 1, 1),
                        Make("kvs-new.log", 2024, 2, 5, 0, 0), Make(".kvs.d/readme", 2024, 1, 1)};
  std::filesystem::create_directories(logs + win::PathDelim + "kvsdir.log");
  SetLocalLastWrite(logs + win::PathDelim + "kvsdir.log", 2024, 1, 1, 0, 0, 0);
  std::string hidden = Make(".kvshidden.log", 2024, 1, 1);  // ".LOG" extension, name ".KVS..." fails

  RunCleanup();
  for (const auto& path : gone) EXPECT_FALSE(Exists(path)) << path;
  for (const auto& path : kept) EXPECT_TRUE(Exists(path)) << path;
  EXPECT_TRUE(Exists(logs + win::PathDelim + "kvsdir.log"));
  EXPECT_TRUE(Exists(hidden));
  EXPECT_EQ(module->LogLines->Count(), 1u);  // no line for a deletion
}

TEST_F(CleanupTest, TheFirstCleanupRunsRightAfterTheStart) {
  std::string old = Make("kvs20240101120000.log", 2024, 1, 1);
  std::string recent = Make("kvs20240301120000.log", 2024, 3, 1);
  Start();
  EXPECT_FALSE(Exists(old));
  EXPECT_TRUE(Exists(recent));
  EXPECT_TRUE(Exists(ConfigFolder() + win::PathDelim + "KVLogService.buf"));  // never taken for a log file
}

TEST_F(CleanupTest, KeepDaysZeroAndNegative) {
  Start(21600, 0);
  std::string today = Make("kvs-today.log", 2024, 3, 5, 0, 1);
  RunCleanup();
  EXPECT_FALSE(Exists(today));

  module->Settings.LogKeepDays = -2;
  std::string future = Make("kvs-future.log", 2024, 3, 6);
  RunCleanup();
  EXPECT_FALSE(Exists(future));
}

TEST_F(CleanupTest, ReadOnlyFileStaysAndIsNamedInTheNextFile) {
  Start();
  std::string locked = Make("kvs20240101000000.log", 2024, 1, 1);
  ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
  RunCleanup();
  EXPECT_TRUE(Exists(locked));
  ASSERT_EQ(module->LogLines->Count(), 2u);
  EXPECT_EQ((*module->LogLines)[1], "LogCleanup:*ERROR* log delete error, file = " + locked);
  module->SaveLogFile();
  EXPECT_NE(
      ReadFile(logs + win::PathDelim + "kvs20240305140709.log").find("log delete error, file = " + locked + "\r\n"),
      std::string::npos);
}

TEST_F(CleanupTest, TrailingSeparatorAndDepthLimit) {
  std::string folder = logs + win::PathDelim;
  WriteIni(folder);
  module = std::make_unique<kv::TKVLogService>();
  bool started = true;
  module->ServiceStart(*module, started);
  ASSERT_TRUE(started);
  std::string deep10 = "1/2/3/4/5/6/7/8/9/10/kvs10.log";
  std::string ten = Make(deep10, 2024, 1, 1);
  RunCleanup();
  EXPECT_FALSE(Exists(ten));
  ASSERT_FALSE(module->FoundFiles->empty());
  EXPECT_EQ(module->FoundFiles->front(), logs + win::PathDelim + Native(deep10));  // one separator only

  // An eleventh level ends the search; what was collected before still goes.
  std::string early = Make("kvs-early.log", 2024, 1, 1);
  std::string eleven = Make("1/2/3/4/5/6/7/8/9/10/11/kvs11.log", 2024, 1, 1);
  RunCleanup();
  EXPECT_TRUE(Exists(eleven));
  const auto& found = *module->FoundFiles;
  EXPECT_EQ(std::find(found.begin(), found.end(), eleven), found.end());
  for (const auto& path : found) EXPECT_FALSE(Exists(path)) << path;
  // Whether the file beside the deep folders came before them depends on
  // the directory's order; either way it goes exactly when it was collected.
  const bool collected = std::find(found.begin(), found.end(), early) != found.end();
  EXPECT_EQ(Exists(early), !collected);
}

}  // namespace
}  // namespace kvtest
