// The line model's rules, on texts alone.
#include "platform/posix/ini_lines.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using win::detail::IniLines;
using win::detail::IniRules;

TEST(IniLines, PrintsEveryTextBackByteForByte) {
  for (const std::string& text :
       {std::string(""), std::string("a"), std::string("\n\n"), std::string("a\r\nb\rc\nd"), std::string("x\r"),
        std::string("\xEF\xBB\xBF[s]\r\nk=v"), std::string("a\r\r\n\r"), std::string("k=v\0w\n", 6)}) {
    EXPECT_EQ(IniLines(text, IniRules::Profile()).Print(), text);
    EXPECT_EQ(IniLines(text, IniRules::Store()).Print(), text);
  }
}

TEST(IniLines, ProfileFilesEndLinesAtAnyBreakAndSkipTheByteOrderMark) {
  IniLines lines("\xEF\xBB\xBF[Main] tail\rKey = a;b \r\n; Key=2\n[x=y\n", IniRules::Profile());
  ASSERT_EQ(lines.Count(), 4u);
  EXPECT_EQ(lines.SectionName(0), "Main");
  ASSERT_TRUE(lines.Key(1));
  EXPECT_EQ(lines.Key(1)->name, "Key");
  EXPECT_EQ(lines.Key(1)->value, " a;b ");  // each dialect trims its own way
  EXPECT_FALSE(lines.Key(2));               // a comment
  ASSERT_TRUE(lines.Key(3));                // "[" without "]" is a key in a profile
  EXPECT_EQ(lines.Key(3)->name, "[x");
}

TEST(IniLines, StoreHeadersEndTheLineAndALoneCrIsText) {
  IniLines lines("[A\\B]\r\n#X = sz:1\n[C] x\nY = sz:a\rb\n[D\n", IniRules::Store());
  ASSERT_EQ(lines.Count(), 5u);
  EXPECT_EQ(lines.SectionName(0), "A\\B");
  EXPECT_FALSE(lines.Key(1));
  EXPECT_FALSE(lines.SectionName(2));  // text after "]"
  ASSERT_TRUE(lines.Key(3));
  EXPECT_EQ(lines.Key(3)->value, " sz:a\rb");
  EXPECT_FALSE(lines.Key(4));  // "[" never starts a key here
  EXPECT_EQ(lines.FirstLineEnd(), "\r\n");
}

TEST(IniLines, FindsTheFirstSectionAndItsBody) {
  IniLines lines("k=0\n[a]\nk=1\n[b]\nk=2\n[a]\nk=3\n", IniRules::Profile());
  auto a = lines.FindSection([](std::string_view name) { return name == "a"; });
  ASSERT_TRUE(a);
  EXPECT_EQ(a->header, 1u);
  EXPECT_EQ(a->end, 3u);
  auto key = lines.FindLine(*a, [&](std::size_t i) { return lines.Key(i) && lines.Key(i)->name == "k"; });
  EXPECT_EQ(key, 2u);
  EXPECT_FALSE(lines.FindSection([](std::string_view name) { return name == "c"; }));
}

TEST(IniLines, AnInsertedLineNeverRunsIntoAnUnendedOne) {
  IniLines lines("[s]\r\nk=1", IniRules::Profile());
  lines.Insert(lines.Count(), "m=2", "\r\n");
  EXPECT_EQ(lines.Print(), "[s]\r\nk=1\r\nm=2\r\n");

  IniLines markOnly("\xEF\xBB\xBF", IniRules::Profile());
  markOnly.Insert(0, "[s]", "\r\n");
  EXPECT_EQ(markOnly.Print(), "\xEF\xBB\xBF\r\n[s]\r\n");
}

TEST(IniLines, EditsKeepTheOtherLinesAsTheyWere) {
  IniLines lines("[s]\r\n  k = 1 \nx\r\n", IniRules::Store());
  lines.Replace(1, "k=2");
  lines.Erase(2, 3);
  EXPECT_EQ(lines.Print(), "[s]\r\nk=2\n");
  lines.Replace(1, "k=3", "\r\n");
  EXPECT_EQ(lines.Print(), "[s]\r\nk=3\r\n");

  IniLines open("a\r", IniRules::Store());
  open.EndLastLine();
  EXPECT_EQ(open.Print(), "a\r\n");
}

}  // namespace
