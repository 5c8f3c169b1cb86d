#include "platform/filesystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdlib>
#include <ctime>
#include <map>
#include <string>

#include "platform/error.h"
#include "support/env.h"
#include "support/file_times.h"
#include "support/temp_dir.h"

namespace {

using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

void MakeReadOnly(const std::string& path) { ASSERT_EQ(chmod(path.c_str(), 0444), 0); }

struct DosTime {
  int year, month, day, hour, minute, second;
};

DosTime Decode(win::WORD date, win::WORD time) {
  return {(date >> 9) + 1980, (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2};
}

// Sets TZ for one test and puts the previous zone back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    kvtest::SetEnv("TZ", zone);
    tzset();
  }
  ~ScopedTimeZone() {
    if (previous_.empty()) kvtest::UnsetEnv("TZ");
    else kvtest::SetEnv("TZ", previous_.c_str());
    tzset();
  }

 private:
  std::string previous_;
};

TEST(FileAttributes, ReportTheBitsTheFinderUses) {
  TempDir dir;
  WriteFile(dir.Sub("plain.txt"), "x");
  WriteFile(dir.Sub(".hidden"), "x");
  WriteFile(dir.Sub("locked.txt"), "x");
  MakeReadOnly(dir.Sub("locked.txt"));

  EXPECT_EQ(win::GetFileAttributes(dir.Sub("plain.txt")), win::FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(win::GetFileAttributes(dir.Sub(".hidden")), win::FILE_ATTRIBUTE_ARCHIVE | win::FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(win::GetFileAttributes(dir.Sub("locked.txt")), win::FILE_ATTRIBUTE_ARCHIVE | win::FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(win::GetFileAttributes(dir.Path()), win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(win::DirectoryExists(dir.Path()));
  EXPECT_FALSE(win::FileExists(dir.Path()));
  EXPECT_TRUE(win::FileExists(dir.Sub("plain.txt")));
  EXPECT_FALSE(win::DirectoryExists(dir.Sub("plain.txt")));
}

TEST(FileAttributes, MissingFileAndMissingFolderGiveDifferentErrors) {
  TempDir dir;
  EXPECT_EQ(win::GetFileAttributes(dir.Sub("nothing")), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(win::GetFileAttributes(dir.Sub("no/thing")), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(win::GetLastError(), win::ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(win::FileExists(dir.Sub("nothing")));
  EXPECT_FALSE(win::DirectoryExists(dir.Sub("nothing")));
}

TEST(CreateDirectory, CreatesOneLevelOnly) {
  TempDir dir;
  EXPECT_TRUE(win::CreateDirectory(dir.Sub("a")));
  EXPECT_TRUE(win::DirectoryExists(dir.Sub("a")));

  EXPECT_FALSE(win::CreateDirectory(dir.Sub("a")));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ALREADY_EXISTS);

  EXPECT_FALSE(win::CreateDirectory(dir.Sub("x/y")));
  EXPECT_EQ(win::GetLastError(), win::ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(win::DirectoryExists(dir.Sub("x")));

  EXPECT_FALSE(win::CreateDirectory(""));
}

TEST(DeleteFile, RefusesReadOnlyFilesEvenForRoot) {
  TempDir dir;
  WriteFile(dir.Sub("locked.log"), "keep");
  MakeReadOnly(dir.Sub("locked.log"));
  EXPECT_FALSE(win::DeleteFile(dir.Sub("locked.log")));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFile(dir.Sub("locked.log")), "keep");
}

TEST(DeleteFile, DeletesFilesButNotFolders) {
  TempDir dir;
  WriteFile(dir.Sub("old.log"), "x");
  EXPECT_TRUE(win::DeleteFile(dir.Sub("old.log")));
  EXPECT_FALSE(win::FileExists(dir.Sub("old.log")));

  EXPECT_FALSE(win::DeleteFile(dir.Sub("old.log")));
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);

  ASSERT_TRUE(win::CreateDirectory(dir.Sub("sub")));
  EXPECT_FALSE(win::DeleteFile(dir.Sub("sub")));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(win::DirectoryExists(dir.Sub("sub")));
}

#ifndef _WIN32  // symbolic links made with symlink(2)
TEST(DeleteFileBelow, DeletesOnlyARegularFileReachedWithoutALink) {
  TempDir dir;
  const std::string home = dir.Sub("home");
  const std::string elsewhere = dir.Sub("elsewhere");
  ASSERT_TRUE(win::CreateDirectory(home));
  ASSERT_TRUE(win::CreateDirectory(home + "/sub"));
  ASSERT_TRUE(win::CreateDirectory(elsewhere));
  WriteFile(home + "/sub/kvs1.log", "x");
  WriteFile(elsewhere + "/kvs1.log", "keep");
  EXPECT_TRUE(win::DeleteFileBelow(home, "sub/kvs1.log"));
  EXPECT_FALSE(win::FileExists(home + "/sub/kvs1.log"));

  // A folder on the way swapped for a link after the search: nothing
  // outside goes.
  ASSERT_EQ(rmdir((home + "/sub").c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), (home + "/sub").c_str()), 0);
  EXPECT_FALSE(win::DeleteFileBelow(home, "sub/kvs1.log"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_PATH_NOT_FOUND);
  // A link named like a log file stays, and so does what it points at.
  ASSERT_EQ(symlink((elsewhere + "/kvs1.log").c_str(), (home + "/kvs2.log").c_str()), 0);
  EXPECT_FALSE(win::DeleteFileBelow(home, "kvs2.log"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFile(elsewhere + "/kvs1.log"), "keep");
}
#endif

TEST(DirectoryEnumeration, ListsEveryEntryWithDotsAttributesAndSizes) {
  TempDir dir;
  WriteFile(dir.Sub("a.log"), "12345");
  WriteFile(dir.Sub(".h"), "");
  ASSERT_TRUE(win::CreateDirectory(dir.Sub("sub")));

  std::map<std::string, win::WIN32_FIND_DATA> seen;
  win::WIN32_FIND_DATA data;
  win::HANDLE find = win::FindFirstFile(dir.Path(), &data);
  ASSERT_NE(find, win::INVALID_HANDLE_VALUE);
  int count = 0;
  do {
    seen[data.cFileName] = data;
  } while (++count < 100 && win::FindNextFile(find, &data));
  EXPECT_EQ(win::GetLastError(), win::ERROR_NO_MORE_FILES);
  EXPECT_TRUE(win::FindClose(find));

  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen["."].dwFileAttributes, win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(seen[".."].dwFileAttributes, win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(seen["sub"].dwFileAttributes, win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(seen[".h"].dwFileAttributes, win::FILE_ATTRIBUTE_ARCHIVE | win::FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(seen["a.log"].nFileSizeLow, 5u);
  EXPECT_EQ(seen["a.log"].nFileSizeHigh, 0u);

  win::FILETIME direct;
  ASSERT_TRUE(win::GetFileLastWriteTime(dir.Sub("a.log"), &direct));
  EXPECT_EQ(seen["a.log"].ftLastWriteTime.dwLowDateTime, direct.dwLowDateTime);
  EXPECT_EQ(seen["a.log"].ftLastWriteTime.dwHighDateTime, direct.dwHighDateTime);
}

TEST(DirectoryEnumeration, MissingFolderAndStaleHandles) {
  TempDir dir;
  win::WIN32_FIND_DATA data;
  EXPECT_EQ(win::FindFirstFile(dir.Sub("missing"), &data), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_PATH_NOT_FOUND);

  win::HANDLE find = win::FindFirstFile(dir.Path(), &data);
  ASSERT_NE(find, win::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(win::FindClose(find));
  EXPECT_FALSE(win::FindClose(find));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  EXPECT_FALSE(win::FindNextFile(find, &data));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
}

TEST(FileTimes, LastWriteRoundTripsThroughSetAndGet) {
  TempDir dir;
  WriteFile(dir.Sub("f"), "x");
  win::FILETIME set = kvtest::FileTimeFromUtc(2001, 2, 3, 4, 5, 6);
  ASSERT_TRUE(win::SetFileLastWriteTime(dir.Sub("f"), set));
  win::FILETIME got;
  ASSERT_TRUE(win::GetFileLastWriteTime(dir.Sub("f"), &got));
  EXPECT_EQ(got.dwLowDateTime, set.dwLowDateTime);
  EXPECT_EQ(got.dwHighDateTime, set.dwHighDateTime);

  EXPECT_FALSE(win::GetFileLastWriteTime(dir.Sub("gone"), &got));
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
}

TEST(FileTimes, DosDateTimeCoversExactly1980To2107) {
  win::WORD date = 0;
  win::WORD time = 0;
  win::FILETIME first = kvtest::FileTimeFromUtc(1980, 1, 1, 0, 0, 0);
  ASSERT_TRUE(win::FileTimeToDosDateTime(&first, &date, &time));
  EXPECT_EQ(date, 0x21);
  EXPECT_EQ(time, 0);

  win::FILETIME last = kvtest::FileTimeFromUtc(2107, 12, 31, 23, 59, 59);
  ASSERT_TRUE(win::FileTimeToDosDateTime(&last, &date, &time));
  DosTime t = Decode(date, time);
  EXPECT_EQ(t.year, 2107);
  EXPECT_EQ(t.month, 12);
  EXPECT_EQ(t.day, 31);
  EXPECT_EQ(t.hour, 23);
  EXPECT_EQ(t.minute, 59);
  EXPECT_EQ(t.second, 58);  // 2-second resolution

  win::FILETIME before = kvtest::FileTimeFromUtc(1979, 12, 31, 23, 59, 59);
  EXPECT_FALSE(win::FileTimeToDosDateTime(&before, &date, &time));
  win::FILETIME after = kvtest::FileTimeFromUtc(2108, 1, 1, 0, 0, 0);
  EXPECT_FALSE(win::FileTimeToDosDateTime(&after, &date, &time));
  win::FILETIME epoch = kvtest::FileTimeFromUtc(1970, 1, 1, 0, 0, 0);
  EXPECT_FALSE(win::FileTimeToDosDateTime(&epoch, &date, &time));

  win::FILETIME leap = kvtest::FileTimeFromUtc(2024, 2, 29, 13, 45, 31);
  ASSERT_TRUE(win::FileTimeToDosDateTime(&leap, &date, &time));
  t = Decode(date, time);
  EXPECT_EQ(t.year, 2024);
  EXPECT_EQ(t.month, 2);
  EXPECT_EQ(t.day, 29);
  EXPECT_EQ(t.hour, 13);
  EXPECT_EQ(t.minute, 45);
  EXPECT_EQ(t.second, 30);
}

TEST(FileTimes, LocalTimeUsesTheOffsetOfThatDate) {
  ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  win::WORD date = 0;
  win::WORD time = 0;
  win::FILETIME local;

  win::FILETIME winter = kvtest::FileTimeFromUtc(2023, 1, 15, 23, 30, 0);
  ASSERT_TRUE(win::FileTimeToLocalFileTime(&winter, &local));
  ASSERT_TRUE(win::FileTimeToDosDateTime(&local, &date, &time));
  DosTime t = Decode(date, time);
  EXPECT_EQ(t.day, 16);
  EXPECT_EQ(t.hour, 0);

  win::FILETIME summer = kvtest::FileTimeFromUtc(2023, 7, 15, 22, 30, 0);
  ASSERT_TRUE(win::FileTimeToLocalFileTime(&summer, &local));
  ASSERT_TRUE(win::FileTimeToDosDateTime(&local, &date, &time));
  t = Decode(date, time);
  EXPECT_EQ(t.day, 16);
  EXPECT_EQ(t.hour, 0);
  EXPECT_EQ(t.minute, 30);
}

TEST(WriteFiles, DispositionsCreateTruncateAndAppend) {
  TempDir dir;
  const std::string path = dir.Sub("out.log");
  auto write = [&](win::DWORD disposition, const std::string& text) {
    win::HANDLE file = win::CreateFileForWrite(path, disposition);
    if (file == win::INVALID_HANDLE_VALUE) return false;
    win::DWORD written = 0;
    bool ok =
        win::WriteFile(file, text.data(), static_cast<win::DWORD>(text.size()), &written) && written == text.size();
    return win::CloseHandle(file) && ok;
  };

  EXPECT_TRUE(write(win::CREATE_NEW, "one"));
  EXPECT_FALSE(write(win::CREATE_NEW, "two"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadFile(path), "one");

  EXPECT_TRUE(write(win::OPEN_ALWAYS, "+more"));
  EXPECT_EQ(ReadFile(path), "one+more");

  EXPECT_TRUE(write(win::CREATE_ALWAYS, "new"));
  EXPECT_EQ(ReadFile(path), "new");

  EXPECT_EQ(win::CreateFileForWrite(path, 99), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
}

TEST(WriteFiles, ReadOnlyFilesAndMissingFoldersAreRefused) {
  TempDir dir;
  WriteFile(dir.Sub("locked"), "keep");
  MakeReadOnly(dir.Sub("locked"));
  EXPECT_EQ(win::CreateFileForWrite(dir.Sub("locked"), win::OPEN_ALWAYS), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(win::CreateFileForWrite(dir.Sub("locked"), win::CREATE_ALWAYS), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadFile(dir.Sub("locked")), "keep");

  EXPECT_EQ(win::CreateFileForWrite(dir.Sub("no/file"), win::CREATE_ALWAYS), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_PATH_NOT_FOUND);

  EXPECT_EQ(win::CreateFileForWrite(dir.Path(), win::OPEN_ALWAYS), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
}

TEST(WriteFiles, ClosedHandlesAreRefused) {
  TempDir dir;
  win::HANDLE file = win::CreateFileForWrite(dir.Sub("f"), win::CREATE_ALWAYS);
  ASSERT_NE(file, win::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(win::CloseHandle(file));
  win::DWORD written = 7;
  EXPECT_FALSE(win::WriteFile(file, "x", 1, &written));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(written, 0u);
  EXPECT_FALSE(win::CloseHandle(file));
  EXPECT_FALSE(win::CloseHandle(win::INVALID_HANDLE_VALUE));
}

TEST(WriteFiles, FullDiskIsReportedAsDiskFull) {
  win::HANDLE file = win::CreateFileForWrite("/dev/full", win::OPEN_ALWAYS);
  if (file == win::INVALID_HANDLE_VALUE) GTEST_SKIP() << "/dev/full not available";
  win::DWORD written = 0;
  EXPECT_FALSE(win::WriteFile(file, "x", 1, &written));
  EXPECT_EQ(win::GetLastError(), win::ERROR_DISK_FULL);
  win::CloseHandle(file);
}

}  // namespace
