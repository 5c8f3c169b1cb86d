// The buffer file on Windows: the lock, the rename save of an open file,
// and the copy save's cut-back, which the log buffer's guarantees rest on.
#include <gtest/gtest.h>

#include <string>

#include "platform/durable_file.h"
#include "platform/error.h"
#include "win32_fixture.h"

namespace {

using kvwintest::Exists;
using kvwintest::ReadWhole;
using kvwintest::SetReadOnly;
using kvwintest::TempFolder;
using kvwintest::WriteWhole;

TEST(BufferFileWin32, ASecondHolderIsRefusedWhileReadersStillSeeEveryByte) {
  TempFolder dir;
  const std::string path = dir.Sub("KVLogService.buf");
  win::LockedAppendFile first;
  ASSERT_TRUE(first.Open(path));
  ASSERT_TRUE(first.Append("line 1\r\n"));

  win::LockedAppendFile second;
  EXPECT_FALSE(second.Open(path));
  EXPECT_EQ(win::GetLastError(), win::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(ReadWhole(path), "line 1\r\n");  // the lock covers no data

  first.Close();
  EXPECT_TRUE(second.Open(path));
}

TEST(BufferFileWin32, TheOpenFileIsRenamedIntoTheLogFileButNeverOverAnExistingOne) {
  TempFolder dir;
  const std::string path = dir.Sub("KVLogService.buf");
  const std::string target = dir.Sub("kvs20260101000000.log");
  win::LockedAppendFile file;
  ASSERT_TRUE(file.Open(path));
  ASSERT_TRUE(file.Append("a\r\n"));
  ASSERT_TRUE(file.Truncate(0));
  ASSERT_TRUE(file.Append("b\r\n"));
  EXPECT_TRUE(file.IsAt(path));

  ASSERT_TRUE(win::MoveFileNoReplace(path, target));
  EXPECT_FALSE(file.IsAt(path));
  EXPECT_TRUE(file.Sync());
  file.Close();
  EXPECT_EQ(ReadWhole(target), "b\r\n");

  WriteWhole(path, "c\r\n");
  EXPECT_FALSE(win::MoveFileNoReplace(path, target));
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadWhole(target), "b\r\n");
  EXPECT_EQ(ReadWhole(path), "c\r\n");
}

TEST(BufferFileWin32, ACopySaveAppendsAndARefusedOneLeavesTheTargetAsItWas) {
  TempFolder dir;
  const std::string path = dir.Sub("KVLogService.buf");
  const std::string target = dir.Sub("kvs.log");
  win::LockedAppendFile file;
  ASSERT_TRUE(file.Open(path));
  ASSERT_TRUE(file.Append("one\r\ntwo\r\n"));
  std::size_t read = 0;
  char head[4] = {};
  ASSERT_TRUE(file.ReadAt(5, head, 3, &read));
  EXPECT_EQ(std::string(head, read), "two");

  WriteWhole(target, "old\r\n");
  ASSERT_TRUE(file.CopyTo(target, 5, "tail\r\n"));
  EXPECT_EQ(ReadWhole(target), "old\r\none\r\ntail\r\n");

  SetReadOnly(target, true);
  EXPECT_FALSE(file.CopyTo(target, 10, ""));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  SetReadOnly(target, false);
  EXPECT_EQ(ReadWhole(target), "old\r\none\r\ntail\r\n");

  ASSERT_TRUE(win::CutFileBack(target, 5));
  EXPECT_EQ(ReadWhole(target), "old\r\n");
  ASSERT_TRUE(win::CutFileBack(target, 0));
  EXPECT_FALSE(Exists(target));
  EXPECT_TRUE(win::RemoveFileDurably(target));  // gone already: no failure
}

TEST(BufferFileWin32, AReplacedFileHoldsTheNewTextAndTheFolderOfAWindowsPath) {
  TempFolder dir;
  const std::string path = dir.Sub("journal");
  WriteWhole(path, "old");
  ASSERT_TRUE(win::ReplaceFileDurably(path, "new text"));
  EXPECT_EQ(ReadWhole(path), "new text");
  EXPECT_FALSE(Exists(path + ".new"));

  EXPECT_EQ(win::FolderOf("C:\\Program Files\\KelvaneSystem\\KVLogService.buf"), "C:\\Program Files\\KelvaneSystem");
  EXPECT_EQ(win::FolderOf("C:\\KVLogService.buf"), "C:\\");
  EXPECT_EQ(win::FolderOf("KVLogService.buf"), ".");
  EXPECT_TRUE(win::FlushFolder(dir.Path()));
}

}  // namespace
