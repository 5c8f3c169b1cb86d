// The profile rules the settings rely on, as the system's profile calls
// keep them, and what the backend refuses before the call.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "platform/error.h"
#include "platform/profile.h"
#include "win32_fixture.h"

namespace {

using kvwintest::ReadWhole;
using kvwintest::TempFolder;
using kvwintest::WriteWhole;

TEST(ProfileWin32, ReadingFollowsTheProfileRules) {
  TempFolder dir;
  const std::string ini = dir.Sub("KVLogService.ini");
  WriteWhole(ini,
             "Early=1\r\n[KVLogService]\r\n  ReceivePort  =  2056  \r\nFolder=\"C:\\Logs x\"\r\nEmpty=\r\n"
             ";Interval=9\r\nKey=first\r\nkey=second\r\n");
  auto get = [&](const char* key) { return win::GetPrivateProfileString("kvlogservice", key, "<default>", ini); };
  EXPECT_EQ(get("RECEIVEPORT"), "2056");
  EXPECT_EQ(get("Folder"), "C:\\Logs x");
  EXPECT_EQ(get("Empty"), "");
  EXPECT_EQ(get("Interval"), "<default>");
  EXPECT_EQ(get("Early"), "<default>");
  EXPECT_EQ(get("Key"), "first");
  EXPECT_EQ(win::GetPrivateProfileString("KVLogService", "Missing", "dflt  ", ini), "dflt");
  EXPECT_EQ(win::GetPrivateProfileString("KVLogService", "Any", "dflt", dir.Sub("none.ini")), "dflt");

  WriteWhole(ini, "[S]\r\nLong=" + std::string(3000, 'x') + "\r\n");
  EXPECT_EQ(win::GetPrivateProfileString("S", "Long", "", ini).size(), 2047u);
}

TEST(ProfileWin32, WritingMakesTheFileAndKeepsKeysInTheirSection) {
  TempFolder dir;
  const std::string ini = dir.Sub("KVLogService.ini");
  ASSERT_TRUE(win::WritePrivateProfileString("KVLogService", "ReceivePort", "2056", ini));
  ASSERT_TRUE(win::WritePrivateProfileString("Other", "A", "1", ini));
  ASSERT_TRUE(win::WritePrivateProfileString("KVLogService", "RepeatPort", "2057", ini));
  ASSERT_TRUE(win::WritePrivateProfileString("kvlogservice", "receiveport", "3000", ini));
  const std::string text = ReadWhole(ini);
  EXPECT_NE(text.find("[KVLogService]\r\nReceivePort=3000\r\nRepeatPort=2057\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[Other]\r\nA=1\r\n"), std::string::npos) << text;

  for (auto [section, key, value] :
       {std::tuple{"S\r\nX", "K", "v"}, std::tuple{"S", "K=1", "v"}, std::tuple{"S]", "K", "v"},
        std::tuple{"S", "K", "v\nX=1"}, std::tuple{"S", " ", "v"}}) {
    EXPECT_FALSE(win::WritePrivateProfileString(section, key, value, ini)) << section << "/" << key;
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(ReadWhole(ini), text);

  EXPECT_FALSE(win::WritePrivateProfileString("S", "K", "v", dir.Sub("missing\\KVLogService.ini")));
  EXPECT_EQ(win::GetLastError(), win::ERROR_PATH_NOT_FOUND);
}

}  // namespace
