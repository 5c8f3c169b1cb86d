#include "base/strconv.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

TEST(StrToInt, AcceptedForms) {
  EXPECT_EQ(TryStrToInt("12"), 12);
  EXPECT_EQ(TryStrToInt("-3"), -3);
  EXPECT_EQ(TryStrToInt("+7"), 7);
  EXPECT_EQ(TryStrToInt("   42"), 42);
  EXPECT_EQ(TryStrToInt("$1F"), 31);
  EXPECT_EQ(TryStrToInt("x10"), 16);
  EXPECT_EQ(TryStrToInt("X10"), 16);
  EXPECT_EQ(TryStrToInt("0x10"), 16);
  EXPECT_EQ(TryStrToInt("0X1f"), 31);
  EXPECT_EQ(TryStrToInt("-$10"), -16);
  EXPECT_EQ(TryStrToInt("2147483647"), 2147483647);
  EXPECT_EQ(TryStrToInt("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(TryStrToInt("0"), 0);
}

TEST(StrToInt, RejectedForms) {
  for (const char* bad : {"", " ", "abc", "12 ", "1a", "$", "0x", "-", "2147483648", "-2147483649",
                          "99999999999999999999", "$G", "1.5", "--1"}) {
    EXPECT_FALSE(TryStrToInt(bad).has_value()) << bad;
  }
  EXPECT_EQ(StrToIntDef("abc", 21600), 21600);
}

}  // namespace
}  // namespace kv
