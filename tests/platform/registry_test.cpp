#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/error.h"
#include "support/temp_dir.h"

namespace {

using kvtest::ReadFile;
using kvtest::WriteFile;

constexpr const char* kCurrentVersion = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\KVLogService";

const std::string kUnit =
    "[Unit]\n"
    "Description=old text\n"
    "After=network.target\n"
    "\n"
    "[Service]\n"
    "Type=notify\n"
    "ExecStart=/opt/KelvaneSystem/KVLogServer\n"
    "\n"
    "[Install]\n"
    "WantedBy=multi-user.target\n";

class Registry : public ::testing::Test {
 protected:
  std::string StorePath() const { return root_.Sub("etc/kvregistry.conf"); }
  std::string UnitPath(const std::string& name = "KVLogService") const {
    return root_.Sub("etc/systemd/system/" + name + ".service");
  }
  void Store(const std::string& content) { WriteFile(StorePath(), content); }
  void Unit(const std::string& content, const std::string& name = "KVLogService") {
    std::filesystem::create_directories(root_.Sub("etc/systemd/system"));
    WriteFile(UnitPath(name), content);
  }

  // Opens a key or fails the test.
  win::HKEY Open(const std::string& path, win::REGSAM access = win::KEY_READ) {
    win::HKEY key = nullptr;
    EXPECT_EQ(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, path, 0, access, &key), win::ERROR_SUCCESS) << path;
    return key;
  }

  // A value as text (type and size checked by the caller).
  win::LONG Query(win::HKEY key, const std::string& name, win::DWORD& type, std::string& data) {
    win::DWORD size = 0;
    win::LONG err = win::RegQueryValueEx(key, name, nullptr, &type, nullptr, &size);
    if (err != win::ERROR_SUCCESS) return err;
    data.assign(size, '\0');
    err = win::RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<win::BYTE*>(data.data()), &size);
    data.resize(size);
    return err;
  }

  win::LONG SetText(win::HKEY key, const std::string& name, const std::string& text) {
    return win::RegSetValueEx(key, name, 0, win::REG_SZ, reinterpret_cast<const win::BYTE*>(text.c_str()),
                              static_cast<win::DWORD>(text.size() + 1));
  }

  kvtest::ScopedPlatformRoot root_;
};

TEST_F(Registry, MissingStoreOrSectionMeansTheKeyCannotBeOpened) {
  win::HKEY key = nullptr;
  EXPECT_EQ(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, kCurrentVersion, 0, win::KEY_READ, &key),
            win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  Store("[SOFTWARE\\Other]\nX = sz:1\n");
  EXPECT_EQ(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, kCurrentVersion, 0, win::KEY_READ, &key),
            win::ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ReadsTypedValuesWithTheRegistryBufferRules) {
  Store(
      "; the test's registry\n"
      "[software\\microsoft\\windows\\currentversion]\n"
      "ProgramFilesDir = sz:/srv/programs\n"
      "Expand = expand_sz:%ROOT%/x\n"
      "Number = dword:0x10\n"
      "Negative = dword:-1\n"
      "Broken = dword:12abc\n"
      "Empty = sz:\n"
      "programfilesdir = sz:second\n");
  win::HKEY key = Open(kCurrentVersion);
  win::DWORD type = 0;
  std::string data;
  ASSERT_EQ(Query(key, "PROGRAMFILESDIR", type, data), win::ERROR_SUCCESS);
  EXPECT_EQ(type, win::REG_SZ);
  EXPECT_EQ(data, std::string("/srv/programs\0", 14));

  ASSERT_EQ(Query(key, "Expand", type, data), win::ERROR_SUCCESS);
  EXPECT_EQ(type, win::REG_EXPAND_SZ);
  EXPECT_EQ(data, std::string("%ROOT%/x\0", 9));

  ASSERT_EQ(Query(key, "Number", type, data), win::ERROR_SUCCESS);
  EXPECT_EQ(type, win::REG_DWORD);
  ASSERT_EQ(data.size(), 4u);
  win::DWORD number = 0;
  std::memcpy(&number, data.data(), 4);
  EXPECT_EQ(number, 16u);
  ASSERT_EQ(Query(key, "Negative", type, data), win::ERROR_SUCCESS);
  std::memcpy(&number, data.data(), 4);
  EXPECT_EQ(number, 0xFFFFFFFFu);

  EXPECT_EQ(Query(key, "Broken", type, data), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query(key, "Missing", type, data), win::ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(Query(key, "Empty", type, data), win::ERROR_SUCCESS);
  EXPECT_EQ(data, std::string(1, '\0'));

  // A buffer too small: ERROR_MORE_DATA and the size needed.
  win::BYTE small[4];
  win::DWORD size = sizeof small;
  EXPECT_EQ(win::RegQueryValueEx(key, "ProgramFilesDir", nullptr, nullptr, small, &size), win::ERROR_MORE_DATA);
  EXPECT_EQ(size, 14u);
  EXPECT_EQ(win::RegCloseKey(key), win::ERROR_SUCCESS);
}

TEST_F(Registry, PathsAreRelativeToTheOpenKeyUnlessTheyStartWithABackslash) {
  Store("[SOFTWARE]\n[SOFTWARE\\Microsoft]\nName = sz:ms\n");
  win::HKEY software = Open("SOFTWARE");
  win::HKEY microsoft = nullptr;
  ASSERT_EQ(win::RegOpenKeyEx(software, "Microsoft", 0, win::KEY_READ, &microsoft), win::ERROR_SUCCESS);
  win::DWORD type = 0;
  std::string data;
  EXPECT_EQ(Query(microsoft, "Name", type, data), win::ERROR_SUCCESS);
  win::HKEY again = nullptr;
  EXPECT_EQ(win::RegOpenKeyEx(microsoft, "\\SOFTWARE", 0, win::KEY_READ, &again), win::ERROR_SUCCESS);
  EXPECT_EQ(win::RegCloseKey(again), win::ERROR_SUCCESS);
  EXPECT_EQ(win::RegCloseKey(microsoft), win::ERROR_SUCCESS);
  EXPECT_EQ(win::RegCloseKey(software), win::ERROR_SUCCESS);
  EXPECT_EQ(win::RegCloseKey(software), win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(Query(software, "Name", type, data), win::ERROR_INVALID_HANDLE);
}

TEST_F(Registry, WritesNeedWriteAccessAndLandInTheirSection) {
  Store("[A]\r\nFirst = sz:1\r\n; note\r\n[B]\r\nOther = sz:x\r\n");
  win::HKEY reader = Open("A");
  EXPECT_EQ(SetText(reader, "Second", "2"), win::ERROR_ACCESS_DENIED);
  win::RegCloseKey(reader);

  win::HKEY key = Open("A", win::KEY_ALL_ACCESS);
  EXPECT_EQ(SetText(key, "Second", "two words "), win::ERROR_SUCCESS);
  win::DWORD number = 42;
  EXPECT_EQ(win::RegSetValueEx(key, "first", 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&number), 4),
            win::ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(StorePath()),
            "[A]\r\nfirst = dword:42\r\nSecond = sz:two words \r\n; note\r\n[B]\r\nOther = sz:x\r\n");

  win::DWORD type = 0;
  std::string data;
  ASSERT_EQ(Query(key, "second", type, data), win::ERROR_SUCCESS);
  EXPECT_EQ(data, std::string("two words \0", 11));

  EXPECT_EQ(SetText(key, "Bad", "line\nbreak"), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetText(key, "Bad=Name", "x"), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(win::RegSetValueEx(key, "Short", 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&number), 2),
            win::ERROR_INVALID_PARAMETER);
  win::RegCloseKey(key);
}

TEST_F(Registry, ReadOnlyStoreCannotBeOpenedForWriting) {
  Store("[A]\nX = sz:1\n");
  ASSERT_EQ(chmod(StorePath().c_str(), 0444), 0);
  win::HKEY key = nullptr;
  EXPECT_EQ(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, "A", 0, win::KEY_ALL_ACCESS, &key), win::ERROR_ACCESS_DENIED);
  key = Open("A");
  EXPECT_NE(key, nullptr);
  win::RegCloseKey(key);
}

TEST_F(Registry, ServiceKeyExistsExactlyWhenTheUnitFileDoes) {
  win::HKEY key = nullptr;
  EXPECT_EQ(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, kServiceKey, 0, win::KEY_ALL_ACCESS, &key),
            win::ERROR_FILE_NOT_FOUND);
  Unit(kUnit);
  key = Open(kServiceKey, win::KEY_ALL_ACCESS);
  ASSERT_NE(key, nullptr);
  win::RegCloseKey(key);
  // Service names are case-blind; unit file names are not.
  key = Open("system\\currentcontrolset\\services\\kvlogservice");
  ASSERT_NE(key, nullptr);
  win::RegCloseKey(key);
  EXPECT_EQ(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, std::string(kServiceKey) + "\\..", 0, win::KEY_READ, &key),
            win::ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, DescriptionReplacesTheUnitsDescriptionLine) {
  Unit(kUnit);
  win::HKEY key = Open(kServiceKey, win::KEY_ALL_ACCESS);
  const std::string description = "KVAppService で出力されるログメッセージを取得,保存するためのサービス";
  EXPECT_EQ(SetText(key, "Description", description), win::ERROR_SUCCESS);
  std::string expected = kUnit;
  expected.replace(expected.find("old text"), 8, description);
  EXPECT_EQ(ReadFile(UnitPath()), expected);

  win::DWORD type = 0;
  std::string data;
  ASSERT_EQ(Query(key, "Description", type, data), win::ERROR_SUCCESS);
  EXPECT_EQ(type, win::REG_SZ);
  EXPECT_EQ(data, description + '\0');

  // "%" would be a systemd specifier: written doubled, read back single.
  EXPECT_EQ(SetText(key, "Description", "100% done"), win::ERROR_SUCCESS);
  EXPECT_NE(ReadFile(UnitPath()).find("Description=100%% done\n"), std::string::npos);
  ASSERT_EQ(Query(key, "Description", type, data), win::ERROR_SUCCESS);
  EXPECT_EQ(data, std::string("100% done\0", 10));

  EXPECT_EQ(SetText(key, "Description", "two\nlines"), win::ERROR_INVALID_PARAMETER);
  win::RegCloseKey(key);
}

TEST_F(Registry, DescriptionIsAddedWhenMissingAndDuplicatesGo) {
  Unit("[Unit]\nAfter=x\n\n[Service]\nType=notify\nDescription=not this one\n");
  win::HKEY key = Open(kServiceKey, win::KEY_ALL_ACCESS);
  EXPECT_EQ(SetText(key, "Description", "new"), win::ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(UnitPath()),
            "[Unit]\nDescription=new\nAfter=x\n\n[Service]\nType=notify\nDescription=not this one\n");

  Unit("[Unit]\nDescription=a \\\n  continued\nDescription = b\nAfter=x\n[Install]\n");
  EXPECT_EQ(SetText(key, "Description", "c"), win::ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(UnitPath()), "[Unit]\nDescription=c\nAfter=x\n[Install]\n");

  Unit("[Service]\nType=notify\n");
  EXPECT_EQ(SetText(key, "Description", "d"), win::ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(UnitPath()), "[Unit]\nDescription=d\n\n[Service]\nType=notify\n");
  win::RegCloseKey(key);
}

// Lines above the first section belong to none; a [Unit] section added
// for the description must not take them in, or a stray assignment there
// would be read back instead of the one written.
TEST_F(Registry, DescriptionAddedBelowLinesOutsideAnySection) {
  Unit("Description=stray\n[Service]\nType=notify\n");
  win::HKEY key = Open(kServiceKey, win::KEY_ALL_ACCESS);
  EXPECT_EQ(SetText(key, "Description", "new"), win::ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(UnitPath()), "Description=stray\n[Unit]\nDescription=new\n\n[Service]\nType=notify\n");
  win::DWORD type = 0;
  std::string data;
  ASSERT_EQ(Query(key, "Description", type, data), win::ERROR_SUCCESS);
  EXPECT_EQ(data, std::string("new") + '\0');

  Unit("Description=stray\n");
  EXPECT_EQ(SetText(key, "Description", "only"), win::ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(UnitPath()), "Description=stray\n[Unit]\nDescription=only\n");
  ASSERT_EQ(Query(key, "Description", type, data), win::ERROR_SUCCESS);
  EXPECT_EQ(data, std::string("only") + '\0');
  win::RegCloseKey(key);
}

TEST_F(Registry, ReadOnlyUnitIsNotChanged) {
  Unit(kUnit);
  ASSERT_EQ(chmod(UnitPath().c_str(), 0444), 0);
  win::HKEY key = nullptr;
  EXPECT_EQ(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, kServiceKey, 0, win::KEY_ALL_ACCESS, &key),
            win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFile(UnitPath()), kUnit);
}

TEST_F(Registry, DefaultProgramFilesDirLiesUnderTheRoot) {
  EXPECT_EQ(win::DefaultProgramFilesDir(), root_.Path() + "/opt");
}

TEST_F(Registry, DamagedStoresNeverCrash) {
  const std::string valid = "[SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\nProgramFilesDir = sz:/opt\nN = dword:7\n";
  for (std::size_t length = 0; length <= valid.size(); ++length) {
    for (char replacement : {'\0', '\n', '[', ']', ':', '='}) {
      std::string content = valid.substr(0, length);
      if (length > 0) content[length - 1] = replacement;
      Store(content);
      win::HKEY key = nullptr;
      if (win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, kCurrentVersion, 0, win::KEY_READ, &key) != win::ERROR_SUCCESS)
        continue;
      win::DWORD type = 0;
      std::string data;
      Query(key, "ProgramFilesDir", type, data);
      Query(key, "N", type, data);
      EXPECT_EQ(win::RegCloseKey(key), win::ERROR_SUCCESS);
    }
  }
}

}  // namespace
