#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <tuple>

#include "platform/error.h"
#include "platform/filesystem.h"
#include "support/temp_dir.h"

namespace {

using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

class ProfileFile : public ::testing::Test {
 protected:
  std::string Get(const std::string& section, const std::string& key, const std::string& def = "<default>") {
    return win::GetPrivateProfileString(section, key, def, path_);
  }
  void Put(const std::string& content) { WriteFile(path_, content); }

  TempDir dir_;
  std::string path_ = dir_.Sub("test.ini");
};

TEST_F(ProfileFile, NamesMatchWithoutRegardToCaseAndBlanksAreIgnored) {
  Put("[KVLogService]\r\n  ReceivePort  =  2056  \r\n\tFolder\t=\t/var/log x\t\r\n[ Other ]\r\nKey=1\r\n");
  EXPECT_EQ(Get("kvlogservice", "RECEIVEPORT"), "2056");
  EXPECT_EQ(Get("KVLOGSERVICE", "folder"), "/var/log x");
  EXPECT_EQ(Get("other", "key"), "1");
  EXPECT_EQ(Get(" KVLogService ", " ReceivePort "), "2056");
}

TEST_F(ProfileFile, OnePairOfMatchingQuotesIsRemoved) {
  Put("[S]\nA=\"quoted\"\nB='single'\nC=\"\"twice\"\"\nD=\"mixed'\nE=\"\nF=  \" padded \"  \nG=''\n");
  EXPECT_EQ(Get("S", "A"), "quoted");
  EXPECT_EQ(Get("S", "B"), "single");
  EXPECT_EQ(Get("S", "C"), "\"twice\"");
  EXPECT_EQ(Get("S", "D"), "\"mixed'");
  EXPECT_EQ(Get("S", "E"), "\"");
  EXPECT_EQ(Get("S", "F"), " padded ");
  EXPECT_EQ(Get("S", "G"), "");
}

TEST_F(ProfileFile, CommentsLinesBeforeTheFirstSectionAndLinesWithoutEquals) {
  Put("Early=1\n[S]\n;Commented=2\n  ; Indented=3\nValue=a;b ; c\nNoEquals\n[T]\n");
  EXPECT_EQ(Get("S", "Early"), "<default>");
  EXPECT_EQ(Get("S", "Commented"), "<default>");
  EXPECT_EQ(Get("S", ";Commented"), "<default>");
  EXPECT_EQ(Get("S", "Indented"), "<default>");
  EXPECT_EQ(Get("S", "Value"), "a;b ; c");
  EXPECT_EQ(Get("S", "NoEquals"), "<default>");
}

TEST_F(ProfileFile, FirstOfDuplicateKeysAndSectionsWins) {
  Put("[S]\nKey=first\nkey=second\n[s]\nKey=third\nOnlyLater=x\n");
  EXPECT_EQ(Get("S", "Key"), "first");
  EXPECT_EQ(Get("S", "OnlyLater"), "<default>");
}

TEST_F(ProfileFile, EmptyIsNotMissing) {
  Put("[S]\nEmpty=\nBlank=   \n");
  EXPECT_EQ(Get("S", "Empty"), "");
  EXPECT_EQ(Get("S", "Blank"), "");
  EXPECT_EQ(Get("S", "Missing"), "<default>");
  EXPECT_EQ(Get("Nope", "Empty"), "<default>");
}

TEST_F(ProfileFile, MissingFileGivesTheDefaultWithoutTrailingBlanks) {
  EXPECT_EQ(Get("S", "K", "dflt  "), "dflt");
  EXPECT_EQ(Get("S", "K", ""), "");
  EXPECT_FALSE(win::FileExists(path_));
}

TEST_F(ProfileFile, ValuesAreCutAfter2047Bytes) {
  std::string longValue(5000, 'v');
  Put("[S]\nLong=" + longValue + "\nExact=" + std::string(2047, 'e') + "\n");
  EXPECT_EQ(Get("S", "Long"), std::string(2047, 'v'));
  EXPECT_EQ(Get("S", "Exact"), std::string(2047, 'e'));
  EXPECT_EQ(Get("S", "Missing", longValue).size(), 2047u);
}

TEST_F(ProfileFile, LineEndsByteOrderMarkAndNulBytes) {
  Put("\xEF\xBB\xBF[S]\rA=1\rB=2\r\nC=3\nD=x" + std::string(1, '\0') + "y\n");
  EXPECT_EQ(Get("S", "A"), "1");
  EXPECT_EQ(Get("S", "B"), "2");
  EXPECT_EQ(Get("S", "C"), "3");
  EXPECT_EQ(Get("S", "D"), "x");
}

#ifndef _WIN32  // a named pipe (mkfifo) in the file system
TEST_F(ProfileFile, SpecialFilesAreNotReadAndDoNotBlock) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0666), 0);
  EXPECT_EQ(Get("S", "K"), "<default>");
  EXPECT_FALSE(win::WritePrivateProfileString("S", "K", "V", path_));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(win::GetPrivateProfileString("S", "K", "d", dir_.Path()), "d");
}
#endif

TEST_F(ProfileFile, FirstWriteCreatesFileAndSectionWithCrLf) {
  ASSERT_TRUE(win::WritePrivateProfileString("KVLogService", "ReceivePort", "2056", path_));
  ASSERT_TRUE(win::WritePrivateProfileString("KVLogService", "RepeatPort", "2057", path_));
  EXPECT_EQ(ReadFile(path_), "[KVLogService]\r\nReceivePort=2056\r\nRepeatPort=2057\r\n");
}

TEST_F(ProfileFile, NewKeyGoesAfterTheLastKeyOfItsSection) {
  Put("[A]\r\nx=1\r\n; note\r\n\r\n[B]\r\ny=2\r\n");
  ASSERT_TRUE(win::WritePrivateProfileString("a", "z", "3", path_));
  EXPECT_EQ(ReadFile(path_), "[A]\r\nx=1\r\nz=3\r\n; note\r\n\r\n[B]\r\ny=2\r\n");

  ASSERT_TRUE(win::WritePrivateProfileString("C", "w", "4", path_));
  EXPECT_EQ(ReadFile(path_), "[A]\r\nx=1\r\nz=3\r\n; note\r\n\r\n[B]\r\ny=2\r\n[C]\r\nw=4\r\n");
}

TEST_F(ProfileFile, NewKeyInASectionWithoutKeysAndAFileWithoutLastLineEnd) {
  Put("[A]\n[B]\nk=v");
  ASSERT_TRUE(win::WritePrivateProfileString("A", "first", "1", path_));
  ASSERT_TRUE(win::WritePrivateProfileString("B", "second", "2", path_));
  EXPECT_EQ(ReadFile(path_), "[A]\nfirst=1\r\n[B]\nk=v\r\nsecond=2\r\n");
}

TEST_F(ProfileFile, ExistingKeyIsReplacedInPlace) {
  Put("[S]\r\n  Interval = 5 \r\nOther=x\r\n");
  ASSERT_TRUE(win::WritePrivateProfileString("s", "INTERVAL", " 21600 ", path_));
  EXPECT_EQ(ReadFile(path_), "[S]\r\nInterval= 21600 \r\nOther=x\r\n");
  EXPECT_EQ(Get("S", "interval"), "21600");
}

TEST_F(ProfileFile, WriteFailuresAreReported) {
  EXPECT_FALSE(win::WritePrivateProfileString("S", "K", "V", dir_.Sub("missing/x.ini")));
  EXPECT_EQ(win::GetLastError(), win::ERROR_PATH_NOT_FOUND);

  Put("[S]\r\nK=old\r\n");
  ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
  EXPECT_FALSE(win::WritePrivateProfileString("S", "K", "new", path_));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Get("S", "K"), "old");
}

TEST_F(ProfileFile, TextsALineCannotHoldAreRefused) {
  for (auto [section, key, value] : {std::tuple<std::string, std::string, std::string>{"S", "K", "a\r\nB=1"},
                                     {"S", "K=1", "v"},
                                     {"S]", "K", "v"},
                                     {"S", "", "v"},
                                     {"", "K", "v"},
                                     {"S", ";K", "v"},
                                     {"S\n", "K", "v"}}) {
    EXPECT_FALSE(win::WritePrivateProfileString(section, key, value, path_)) << section << "/" << key;
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  }
  EXPECT_FALSE(win::FileExists(path_));
}

// Any content, however broken, is read without a crash, and a write to it
// can be read back.
TEST_F(ProfileFile, SurvivesEveryCutAndFlippedByte) {
  const std::string valid =
      "\xEF\xBB\xBF; settings\r\n[KVLogService]\r\nReceivePort=2056\r\nRepeatPort = '2057'\r\n"
      "Interval=\"0x10\"\r\nFolder=/opt/KelvaneSystem/Logs\r\n\r\n[Other]\r\nLogKeepDays=30\r\n";
  const char* keys[] = {"ReceivePort", "RepeatPort", "Interval", "Folder", "LogKeepDays", "New"};
  auto exercise = [&](const std::string& content) {
    Put(content);
    for (const char* key : keys) {
      std::string value = Get("KVLogService", key);
      ASSERT_LE(value.size(), 2047u);
    }
    ASSERT_TRUE(win::WritePrivateProfileString("KVLogService", "New", "value", path_));
    ASSERT_EQ(Get("KVLogService", "New"), "value") << ::testing::PrintToString(content);
  };
  for (std::size_t length = 0; length <= valid.size(); ++length) exercise(valid.substr(0, length));
  for (std::size_t i = 0; i < valid.size(); ++i) {
    for (unsigned char mask : {0x20, 0xFF}) {
      std::string flipped = valid;
      flipped[i] = static_cast<char>(flipped[i] ^ mask);
      exercise(flipped);
    }
    for (char c : {'\0', '\r', '\n', '[', ']', '=', ';', '"'}) {
      std::string replaced = valid;
      replaced[i] = c;
      exercise(replaced);
    }
  }
}

}  // namespace
