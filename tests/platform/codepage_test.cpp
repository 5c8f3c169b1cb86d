#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"

namespace {

const std::string kNihongoSjis = "\x93\xFA\x96\x7B\x8C\xEA";  // 日本語 in code page 932

TEST(CodePage, PlainLocaleCountsAsUtf8) {
  // The test processes run without a locale of their own (C/POSIX or
  // C.UTF-8), both of which mean UTF-8.
  EXPECT_EQ(win::GetACP(), win::CP_UTF8);
  EXPECT_EQ(win::Utf8ToAnsi("日本語 ok"), "日本語 ok");
  EXPECT_EQ(win::WideCharToAnsi(u"日本語"), "日本語");
  EXPECT_EQ(win::AnsiToWideChar("日本語"), u"日本語");
}

TEST(CodePage, ShiftJisRoundTrip) {
  EXPECT_EQ(win::WideCharToMultiByte(932, u"日本語abc"), kNihongoSjis + "abc");
  EXPECT_EQ(win::MultiByteToWideChar(932, kNihongoSjis + "abc"), u"日本語abc");
  // Half-width katakana and the Windows extensions (NEC circled digits).
  EXPECT_EQ(win::WideCharToMultiByte(932, u"\uFF71\u2460"), "\xB1\x87\x40");
  EXPECT_EQ(win::MultiByteToWideChar(932, "\xB1\x87\x40"), u"\uFF71\u2460");
}

TEST(CodePage, CharactersTheCodePageLacksBecomeQuestionMarks) {
  EXPECT_EQ(win::WideCharToMultiByte(932, u"a\u00E9b"), "a?b");
  // A character outside the BMP is one "?", not two.
  EXPECT_EQ(win::WideCharToMultiByte(932, u"x\U0001F600y"), "x?y");
  // Lone surrogates.
  EXPECT_EQ(win::WideCharToMultiByte(932, std::u16string(u"a") + char16_t(0xD800) + u"b"), "a?b");
  EXPECT_EQ(win::WideCharToMultiByte(932, std::u16string(u"a") + char16_t(0xDC00)), "a?");
  EXPECT_EQ(win::WideCharToMultiByte(20127, u"caf\u00E9"), "caf?");
  EXPECT_EQ(win::WideCharToMultiByte(win::CP_UTF8, std::u16string(u"a") + char16_t(0xD800)), "a?");
}

TEST(CodePage, UndecodableBytesBecomeReplacementCharacters) {
  // A lead byte cut off at the end, and a byte that is no character.
  EXPECT_EQ(win::MultiByteToWideChar(932, "ab\x93"), u"ab\uFFFD");
  EXPECT_EQ(win::MultiByteToWideChar(win::CP_UTF8,
                                     "a\xFF"
                                     "b"),
            u"a\uFFFDb");
  EXPECT_EQ(win::MultiByteToWideChar(win::CP_UTF8, "a\xE6\x97"), u"a\uFFFD\uFFFD");
  EXPECT_EQ(win::AnsiToWideChar("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong form
}

TEST(CodePage, SingleByteCodePages) {
  EXPECT_EQ(win::WideCharToMultiByte(1252, u"\u00E9\u20AC"), "\xE9\x80");
  EXPECT_EQ(win::MultiByteToWideChar(1252, "\xE9\x80"), u"\u00E9\u20AC");
  EXPECT_EQ(win::MultiByteToWideChar(28591, "\xE9"), u"\u00E9");
}

TEST(CodePage, UnknownCodePageIsAnInvalidParameter) {
  win::SetLastError(0);
  EXPECT_EQ(win::WideCharToMultiByte(12345, u"abc"), "");
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  win::SetLastError(0);
  EXPECT_EQ(win::MultiByteToWideChar(12345, "abc"), u"");
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
}

TEST(CodePage, LongTextsAndEmptyTexts) {
  std::u16string wide;
  std::string sjis;
  for (int i = 0; i < 5000; ++i) {
    wide += u"日本語x";
    sjis += kNihongoSjis + "x";
  }
  EXPECT_EQ(win::WideCharToMultiByte(932, wide), sjis);
  EXPECT_EQ(win::MultiByteToWideChar(932, sjis), wide);
  EXPECT_EQ(win::WideCharToMultiByte(932, u""), "");
  EXPECT_EQ(win::MultiByteToWideChar(932, ""), u"");
}

TEST(CodePage, SafeFromManyThreadsAtOnce) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures] {
      for (int i = 0; i < 500; ++i) {
        if (win::WideCharToMultiByte(932, u"日本語\u00E9") != kNihongoSjis + "?") ++failures;
        if (win::MultiByteToWideChar(932, kNihongoSjis) != u"日本語") ++failures;
        if (win::GetACP() != win::CP_UTF8) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace

TEST(CodePage, PrefixLengthNeverSplitsACharacter) {
  const std::string nihongo = "日本語";  // three characters of three bytes in UTF-8
  EXPECT_EQ(win::PrefixLength(win::CP_UTF8, nihongo, 9), 9u);
  EXPECT_EQ(win::PrefixLength(win::CP_UTF8, nihongo, 8), 6u);
  EXPECT_EQ(win::PrefixLength(win::CP_UTF8, nihongo, 7), 6u);
  EXPECT_EQ(win::PrefixLength(win::CP_UTF8, nihongo, 6), 6u);
  EXPECT_EQ(win::PrefixLength(win::CP_UTF8, "a\xF0\x9F\x98\x80", 4), 1u);  // a four-byte character
  EXPECT_EQ(win::PrefixLength(win::CP_UTF8, "abcdef", 3), 3u);             // ASCII: the plain byte cut
  // Stray continuation bytes are no character: the cut stays where it is.
  EXPECT_EQ(win::PrefixLength(win::CP_UTF8, "a\x80\x80\x80\x80\x80", 4), 4u);
  // A character that fits whole is kept when stray continuation bytes follow
  // it; a byte that leads no sequence (0xF8-0xFF) is a character of one byte.
  EXPECT_EQ(win::PrefixLength(win::CP_UTF8, "\xC3\xA9\x80\x80", 2), 2u);
  EXPECT_EQ(win::PrefixLength(win::CP_UTF8, "\xE6\x97\xA5\x80", 3), 3u);
  EXPECT_EQ(win::PrefixLength(win::CP_UTF8, "a\xFF\x80\x80", 3), 3u);
  // Shift_JIS: lead bytes 0x81-0x9F and 0xE0-0xFC; half-width katakana (0xB1) is one byte.
  EXPECT_EQ(win::PrefixLength(932, kNihongoSjis, 5), 4u);
  EXPECT_EQ(win::PrefixLength(932, "a" + kNihongoSjis, 2), 1u);
  EXPECT_EQ(win::PrefixLength(932, "\xB1\xB1\xB1", 2), 2u);
  // A second byte that looks like a lead byte is still the second byte.
  EXPECT_EQ(win::PrefixLength(932, "\x81\x81\x81\x81", 3), 2u);
  EXPECT_EQ(win::PrefixLength(1252, "\xE9\xE9\xE9", 2), 2u);
  EXPECT_EQ(win::PrefixLength(win::CP_UTF8, "short", 10), 5u);
}
