#include "config/log_svc_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/exception.h"
#include "platform/filesystem.h"
#include "support/temp_dir.h"

namespace {

using kvtest::ReadFile;
using kvtest::WriteFile;

// The settings, preset to values no rule produces.
struct Settings : kv::ServiceSettings {
  Settings() : kv::ServiceSettings{-7, -7, -7, "untouched", -7} {}
  bool Read() { return kv::ReadServiceConfig(*this); }
};

class ServiceConfig : public ::testing::Test {
 protected:
  // Each test starts without settings: below a fresh platform root on
  // Linux; on Windows, where the root has no meaning, in the Program Files
  // folder of the throwaway Wine prefix.
  ServiceConfig() {
    std::filesystem::create_directories(root_.Sub("opt"));
    std::filesystem::remove_all(ConfigFolder());
  }

  static std::string ConfigFolder() { return kv::SettingsFolder(); }
  static std::string Logs() { return ConfigFolder() + win::PathDelim + "Logs"; }
  static std::string IniFile() { return kv::SettingsFilePath(); }
  void Registry(const std::string& values) {
    WriteFile(root_.Sub("etc/kvregistry.conf"), "[SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\n" + values);
  }
  void Ini(const std::string& content) {
    std::filesystem::create_directories(ConfigFolder());
    WriteFile(IniFile(), content);
  }

  kvtest::ScopedPlatformRoot root_;
};

TEST_F(ServiceConfig, FirstStartCreatesFolderFileAndLogFolder) {
  Settings s;
  ASSERT_TRUE(s.Read());
  const std::string logs = Logs();
  EXPECT_EQ(s.ReceivePort, 2056);
  EXPECT_EQ(s.RepeatPort, 2057);
  EXPECT_EQ(s.Interval, 21600);
  EXPECT_EQ(s.Folder, logs);
  EXPECT_EQ(s.LogKeepDays, 30);
  EXPECT_EQ(ReadFile(IniFile()), "[KVLogService]\r\nReceivePort=2056\r\nRepeatPort=2057\r\nInterval=21600\r\nFolder=" +
                                     logs + "\r\nLogKeepDays=30\r\n");
  EXPECT_TRUE(std::filesystem::is_directory(logs));

  // The second start reads what the first one wrote, and writes nothing.
  const std::string before = ReadFile(IniFile());
  Settings again;
  ASSERT_TRUE(again.Read());
  EXPECT_EQ(again.Folder, logs);
  EXPECT_EQ(ReadFile(IniFile()), before);
}

TEST_F(ServiceConfig, ExistingFileWithOneKeyGivesDefaultsAndStaysUnchanged) {
  const std::string content = "[KVLogService]\nReceivePort = 3000\n";
  Ini(content);
  Settings s;
  ASSERT_TRUE(s.Read());
  EXPECT_EQ(s.ReceivePort, 3000);
  EXPECT_EQ(s.RepeatPort, 2057);
  EXPECT_EQ(s.Interval, 21600);
  EXPECT_EQ(s.Folder, Logs());
  EXPECT_EQ(s.LogKeepDays, 30);
  EXPECT_EQ(ReadFile(IniFile()), content);
}

struct IntervalCase {
  const char* text;
  std::int32_t expected;
};

class IntervalText : public ServiceConfig, public ::testing::WithParamInterface<IntervalCase> {};

TEST_P(IntervalText, ConvertsOrFallsBackToTheDefault) {
  Ini(std::string("[KVLogService]\r\nInterval=") + GetParam().text + "\r\n");
  Settings s;
  ASSERT_TRUE(s.Read());
  EXPECT_EQ(s.Interval, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, IntervalText,
                         ::testing::Values(IntervalCase{"0x10", 16}, IntervalCase{"0X10", 16}, IntervalCase{"$10", 16},
                                           IntervalCase{"'0x1f'", 31}, IntervalCase{"-5", -5},
                                           IntervalCase{"2147483647", 2147483647}, IntervalCase{"abc", 21600},
                                           IntervalCase{"", 21600}, IntervalCase{"0x", 21600},
                                           IntervalCase{"2147483648", 21600}, IntervalCase{"12 s", 21600}));

TEST_F(ServiceConfig, ValuesAreNotRangeTested) {
  Ini("[KVLogService]\r\nReceivePort=70000\r\nLogKeepDays=-1\r\nInterval=0\r\n");
  Settings s;
  ASSERT_TRUE(s.Read());
  EXPECT_EQ(s.ReceivePort, 70000);
  EXPECT_EQ(s.LogKeepDays, -1);
  EXPECT_EQ(s.Interval, 0);
}

TEST_F(ServiceConfig, EmptyFolderIsNotUsable) {
  Ini("[KVLogService]\r\nFolder=\r\n");
  Settings s;
  EXPECT_FALSE(s.Read());
  EXPECT_EQ(s.Folder, "");
  EXPECT_TRUE(std::filesystem::is_directory(ConfigFolder()));
}

TEST_F(ServiceConfig, FolderIsCreatedOneLevelOnly) {
  const std::string deep = root_.Sub("data/kvlogs");
  Ini("[KVLogService]\r\nFolder=" + deep + "\r\n");
  Settings s;
  EXPECT_FALSE(s.Read());
  EXPECT_EQ(s.Folder, deep);
  EXPECT_FALSE(std::filesystem::exists(root_.Sub("data")));

  std::filesystem::create_directories(root_.Sub("data"));
  EXPECT_TRUE(s.Read());
  EXPECT_TRUE(std::filesystem::is_directory(deep));
}

TEST_F(ServiceConfig, ConfigurationFolderThatCannotBeMadeLeavesOutputsAlone) {
  std::filesystem::remove(root_.Sub("opt"));  // its parent is gone
  Settings s;
  EXPECT_FALSE(s.Read());
  EXPECT_EQ(s.ReceivePort, -7);
  EXPECT_EQ(s.Folder, "untouched");
  EXPECT_FALSE(std::filesystem::exists(ConfigFolder()));

  std::filesystem::create_directories(root_.Sub("opt"));
  WriteFile(ConfigFolder(), "a file where the folder should be");
  EXPECT_FALSE(s.Read());
  EXPECT_EQ(s.LogKeepDays, -7);
}

TEST_F(ServiceConfig, UnwritableIniFileRaisesWithItsPath) {
  // A folder where the file should be: it does not exist as a file, and it
  // cannot be written.
  std::filesystem::create_directories(IniFile());
  Settings s;
  try {
    s.Read();
    FAIL() << "no exception";
  } catch (const kv::Exception& e) {
    EXPECT_EQ(e.Message(), IniFile() + " に書き込めません");
  }
  EXPECT_EQ(s.ReceivePort, 2056);
  EXPECT_EQ(s.Folder, Logs());
  EXPECT_FALSE(std::filesystem::exists(Logs()));
}

TEST_F(ServiceConfig, ProgramFilesDirectoryComesFromTheRegistry) {
  std::filesystem::create_directories(root_.Sub("programs"));
  Registry("ProgramFilesDir = sz:" + root_.Sub("programs") + "\n");
  EXPECT_EQ(kv::GetProgramFilesDir(), root_.Sub("programs"));
  Settings s;
  ASSERT_TRUE(s.Read());
  EXPECT_EQ(s.Folder, root_.Sub("programs/KelvaneSystem/Logs"));

  Registry("ProgramFilesDir = expand_sz:%ProgramFiles%\n");
  EXPECT_EQ(kv::GetProgramFilesDir(), "%ProgramFiles%");
}

TEST_F(ServiceConfig, ProgramFilesDirectoryFallbacks) {
  // No store: the system default.
  EXPECT_EQ(kv::GetProgramFilesDir(), root_.Path() + "/opt");
  // Stored as a number: the default.
  Registry("ProgramFilesDir = dword:5\n");
  EXPECT_EQ(kv::GetProgramFilesDir(), root_.Path() + "/opt");
  // Key present, value missing or empty: the empty string (the
  // configuration folder then lies at the file system's root).
  Registry("Other = sz:x\n");
  EXPECT_EQ(kv::GetProgramFilesDir(), "");
  Registry("ProgramFilesDir = sz:\n");
  EXPECT_EQ(kv::GetProgramFilesDir(), "");
}

}  // namespace
