// The system facts the program reads on Windows: the Program Files folder,
// the module path, the ANSI code page, the system's error texts and the
// message box text that reaches a script.
#include <gtest/gtest.h>

#include <string>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/message_box.h"
#include "platform/module.h"
#include "platform/registry.h"

namespace {

TEST(SystemFactsWin32, ProgramFilesIsReadFromTheRegistryWithTheProgramsKeyPath) {
  win::HKEY key = nullptr;
  ASSERT_EQ(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                              win::KEY_READ, &key),
            win::ERROR_SUCCESS);
  win::DWORD type = 0;
  win::DWORD size = 0;
  ASSERT_EQ(win::RegQueryValueEx(key, "ProgramFilesDir", nullptr, &type, nullptr, &size), win::ERROR_SUCCESS);
  std::string value(size, '\0');
  ASSERT_EQ(
      win::RegQueryValueEx(key, "ProgramFilesDir", nullptr, &type, reinterpret_cast<win::BYTE*>(value.data()), &size),
      win::ERROR_SUCCESS);
  EXPECT_EQ(value.c_str(), win::DefaultProgramFilesDir());
  EXPECT_EQ(win::RegCloseKey(key), win::ERROR_SUCCESS);
  EXPECT_EQ(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, "SOFTWARE\\KVNoSuchKey", 0, win::KEY_READ, &key),
            static_cast<win::LONG>(win::ERROR_FILE_NOT_FOUND));
}

TEST(SystemFactsWin32, TheModulePathIsWholeAndACutOneSaysSo) {
  const std::string path = win::ModuleFileName();
  ASSERT_GT(path.size(), 4u);
  EXPECT_EQ(path.substr(path.size() - 4), ".exe");
  char small[8] = {};
  EXPECT_EQ(win::GetModuleFileName(nullptr, small, sizeof(small)), sizeof(small));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(small), path.substr(0, 7));
}

TEST(SystemFactsWin32, TextsConvertThroughTheAnsiCodePage) {
  const std::string japanese = "\xE3\x83\xAD\xE3\x82\xB0";  // ログ
  if (win::GetACP() == 932) {
    EXPECT_EQ(win::Utf8ToAnsi(japanese), "\x83\x8D\x83\x4F");
    EXPECT_EQ(win::AnsiPrefixLength("\x83\x8D\x83\x4F", 3), 2u);
  } else if (win::GetACP() == 1252) {
    EXPECT_EQ(win::Utf8ToAnsi("caf\xC3\xA9 " + japanese), "caf\xE9 ??");
    EXPECT_EQ(win::AnsiPrefixLength("\x83\x8D\x83\x4F", 3), 3u);
  }
  EXPECT_EQ(win::WideCharToMultiByte(win::CP_UTF8, u"\u30ED"), "\xE3\x83\xAD");
  EXPECT_EQ(win::MultiByteToWideChar(932, "\x83\x8D"), u"\u30ED");
  EXPECT_EQ(win::MultiByteToWideChar(12345, "x"), u"");
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
}

TEST(SystemFactsWin32, SystemTextsAndMessageBoxesReachTheStandardStreams) {
  EXPECT_EQ(win::FormatSystemMessage(1060), "The specified service does not exist as an installed service.");
  EXPECT_EQ(win::FormatSystemMessage(10048),
            "Only one usage of each socket address (protocol/network address/port) is normally permitted.");

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(win::MessageBox("first\r\nsecond", "Caption", win::MB_OK | win::MB_ICONINFORMATION), win::IDOK);
  win::MessageBox("failed", "Error", win::MB_OK | win::MB_ICONERROR);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Caption\nfirst\nsecond\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error\nfailed\n");
}

}  // namespace
