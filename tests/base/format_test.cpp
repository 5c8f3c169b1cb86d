#include "base/format.h"

#include <gtest/gtest.h>

#include "base/exception.h"

namespace kv {
namespace {

TEST(Format, LogLineColumnsCutAndPad) {
  EXPECT_EQ(Format("%s %-10.10s %-20.20s %1.1s %s",
                   {"2024/03/05 14:07:09", "Backup", "JobRunner", "2", "Copy finished: 12 files"}),
            "2024/03/05 14:07:09 Backup     JobRunner            2 Copy finished: 12 files");
  EXPECT_EQ(Format("[%-10.10s]", {"ABCDEFGHIJKL"}), "[ABCDEFGHIJ]");
  EXPECT_EQ(Format("[%1.1s]", {""}), "[ ]");
  EXPECT_EQ(Format("[%1.1s]", {"-3"}), "[-]");
}

TEST(Format, ZeroPaddedNumbersAndIndexes) {
  EXPECT_EQ(Format("kvs%4.4d%2.2d%2.2d", {2024, 3, 5}), "kvs20240305");
  EXPECT_EQ(Format("%d", {-2147483648LL}), "-2147483648");
  EXPECT_EQ(Format("%2.2d", {-5}), "-05");
  EXPECT_EQ(Format("サービス失敗 %0:s: %1:s", {"開始", "boom"}), "サービス失敗 開始: boom");
  EXPECT_EQ(Format("%1:s-%0:s-%s", {"a", "b"}), "b-a-b");
  EXPECT_EQ(Format("100%%", {}), "100%");
}

TEST(Format, MissingOrWrongArgumentRaises) {
  EXPECT_THROW(Format("%s %s", {"one"}), Exception);
  EXPECT_THROW(Format("%d", {"text"}), Exception);
  EXPECT_THROW(Format("%s", {5}), Exception);
  EXPECT_THROW(Format("trailing %", {}), Exception);
}

TEST(Exceptions, TextsOfOsAndIoErrors) {
  EXPECT_EQ(EOSError(1073).Message(), "System Error.  Code: 1073.\r\nThe specified service already exists");
  EXPECT_EQ(EOSError(0).Message(), "A call to an OS function failed");
  EXPECT_EQ(EInOutError(2).Message(), "File not found");
  EXPECT_EQ(EInOutError(3).Message(), "Invalid filename");
  EXPECT_EQ(EInOutError(4).Message(), "Too many open files");
  EXPECT_EQ(EInOutError(5).Message(), "File access denied");
  EXPECT_EQ(EInOutError(112).Message(), "I/O error 112");
  EXPECT_EQ(SysErrorMessage(1063), "The service process could not connect to the service controller");
}

}  // namespace
}  // namespace kv
