#include "base/stringlist.h"

#include <gtest/gtest.h>

#include <string>

namespace kv {
namespace {

TEST(StringList, KeepsOrderContentAndEmptyLines) {
  TStringList list;
  list.Add("first");
  list.Add("");
  list.Add(std::string("with\0nul", 8));
  std::string big(300 * 1024, 'x');  // larger than a block
  list.Add(big);
  list.Add("last");
  ASSERT_EQ(list.Count(), 5u);
  EXPECT_EQ(list[0], "first");
  EXPECT_EQ(list[1], "");
  EXPECT_EQ(list[2], std::string_view("with\0nul", 8));
  EXPECT_EQ(list[3], big);
  EXPECT_EQ(list[4], "last");
  std::size_t n = 0;
  for (std::string_view line : list) EXPECT_EQ(line, list[n++]);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(list.TextBytes(), 5 + 8 + big.size() + 4);
}

TEST(StringList, ClearEmptiesAndStaysUsable) {
  TStringList list;
  for (int i = 0; i < 100000; ++i) list.Add("line " + std::to_string(i));
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.TextBytes(), 0u);
  list.Add("again");
  EXPECT_EQ(list[0], "again");
}

}  // namespace
}  // namespace kv
