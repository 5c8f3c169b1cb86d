#include "logsvc/event_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <string>

namespace kv {
namespace {

TEST(SplitDatagram, WorkedExample) {
  EventFields f = SplitDatagram("2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files");
  EXPECT_EQ(f.SendTime, "2024/03/05 14:07:09");
  EXPECT_EQ(f.RandomTag, "4711");
  EXPECT_EQ(f.AppName, "Backup");
  EXPECT_EQ(f.SourceName, "JobRunner");
  EXPECT_EQ(f.EventType, "2");
  EXPECT_EQ(f.EventCode, "1007");
  EXPECT_EQ(f.MsgText, "Copy finished: 12 files");
  std::string line = FormatLogLine(f);
  EXPECT_EQ(line, "2024/03/05 14:07:09 Backup     JobRunner            2 Copy finished: 12 files");
  EXPECT_EQ(line.size(), 77u);
  EXPECT_EQ(line.find("Copy"), 54u);  // message text starts at byte 55
}

TEST(SplitDatagram, MissingSeparatorsLeaveLaterFieldsEmpty) {
  EventFields none = SplitDatagram("2024/03/05 14.07.09:no separators here");
  EXPECT_EQ(none.RandomTag, "");
  EXPECT_EQ(none.EventCode, "");
  EXPECT_EQ(none.MsgText, "no separators here");

  EventFields three = SplitDatagram("2024/03/05 14.07.09:1:App:Src:rest of it");
  EXPECT_EQ(three.RandomTag, "1");
  EXPECT_EQ(three.AppName, "App");
  EXPECT_EQ(three.SourceName, "Src");
  EXPECT_EQ(three.EventType, "");
  EXPECT_EQ(three.EventCode, "");
  EXPECT_EQ(three.MsgText, "rest of it");

  EventFields colonInApp = SplitDatagram("2024/03/05 14.07.09:1:A:pp:Src:2:3:msg");
  EXPECT_EQ(colonInApp.AppName, "A");
  EXPECT_EQ(colonInApp.SourceName, "pp");
  EXPECT_EQ(colonInApp.MsgText, "3:msg");

  EventFields byte20 = SplitDatagram("2024/03/05 14.07.09X1:A:S:2:3:m");
  EXPECT_EQ(byte20.RandomTag, "1");  // byte 20 is dropped whatever it holds
}

TEST(SplitDatagram, ShortTextsKeepWhatTheyHave) {
  EventFields f17 = SplitDatagram("2024/03/05 14.07.");
  EXPECT_EQ(f17.SendTime, "2024/03/05 14:07:");
  EXPECT_EQ(FormatLogLine(f17), "2024/03/05 14:07:" + std::string(35, ' '));

  EventFields f20 = SplitDatagram("2024/03/05 14.07.09:");
  EXPECT_EQ(f20.SendTime, "2024/03/05 14:07:09");
  EXPECT_EQ(f20.MsgText, "");

  // Shorter than 17 bytes: no overwrite past the end, nothing lost.
  EXPECT_EQ(SplitDatagram("hello").SendTime, "hello");
  EXPECT_EQ(SplitDatagram("0123456789ABCDE").SendTime, "0123456789ABC:E");
  EXPECT_EQ(FormatLogLine(SplitDatagram("")), std::string(35, ' '));
}

TEST(SplitDatagram, EveryCutOfAValidDatagramParses) {
  const std::string full = "2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files";
  const std::string fullLine = FormatLogLine(SplitDatagram(full));
  ASSERT_EQ(fullLine, "2024/03/05 14:07:09 Backup     JobRunner            2 Copy finished: 12 files");
  const std::string time = "2024/03/05 14:07:09";
  const std::vector<std::string> whole = {"4711", "Backup", "JobRunner", "2", "1007"};
  const std::size_t textStart = full.find("Copy");
  for (std::size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE("cut at " + std::to_string(n));
    const EventFields f = SplitDatagram(std::string_view(full).substr(0, n));
    // The time keeps what the cut left of it, with its separators as ":".
    EXPECT_EQ(f.SendTime, time.substr(0, std::min<std::size_t>(n, 19)));
    // A field whose ":" the cut kept is whole; from the first one without,
    // the fields are empty and what is left is the message text.
    std::vector<std::string> expected(5);
    std::size_t pos = 20;
    for (std::size_t i = 0; i < whole.size() && pos + whole[i].size() < n; ++i) {
      expected[i] = whole[i];
      pos += whole[i].size() + 1;
    }
    EXPECT_EQ((std::vector<std::string>{f.RandomTag, f.AppName, f.SourceName, f.EventType, f.EventCode}), expected);
    EXPECT_EQ(f.MsgText, n > pos ? full.substr(pos, n - pos) : "");

    const std::string line = FormatLogLine(f);
    // The columns keep their widths, blank-padded, whatever was cut.
    ASSERT_EQ(line.size(), f.SendTime.size() + 35 + f.MsgText.size());
    for (std::size_t gap : {0u, 11u, 32u, 34u}) EXPECT_EQ(line[f.SendTime.size() + gap], ' ') << gap;
    EXPECT_EQ(line.substr(f.SendTime.size() + 1, 10).find_first_not_of(' ', f.AppName.size()), std::string::npos);
    // A cut inside the message text cuts the line alike.
    if (n >= textStart) {
      EXPECT_EQ(line, fullLine.substr(0, fullLine.size() - (full.size() - n)));
    }
  }
}

TEST(DatagramText, EndsAtFirstNul) {
  std::string received("abc\0def", 7);
  EXPECT_EQ(DatagramText(received), "abc");
  EXPECT_EQ(DatagramText("plain"), "plain");
}

TEST(LogLine, ColumnsCutAndPadInBytes) {
  EventFields f;
  f.SendTime = "2024/03/05 14:07:09";
  f.AppName = "ApplicationX";  // 12 bytes -> first 10
  f.SourceName = "Short";      // padded with 15 blanks
  f.EventType = "-3";
  f.MsgText = "a:b";
  EXPECT_EQ(FormatLogLine(f), "2024/03/05 14:07:09 Applicatio Short                - a:b");
  f.EventType = "";
  f.MsgText = "";
  EXPECT_EQ(FormatLogLine(f), "2024/03/05 14:07:09 Applicatio Short                  ");
}

// The tests run in the plain locale, whose character set is UTF-8.
TEST(LogLine, ACutNeverSplitsACharacterAndBlanksKeepTheWidth) {
  EventFields f;
  f.SendTime = "2024/03/05 14:07:09";
  f.AppName = "バックアップ";           // 18 bytes: three whole characters fit in 10
  f.SourceName = "ジョブ実行サーバー";  // 27 bytes: six characters (18 bytes) fit in 20
  f.EventType = "é";                    // two bytes: nothing fits in 1
  f.MsgText = "済";
  std::string line = FormatLogLine(f);
  EXPECT_EQ(line, "2024/03/05 14:07:09 バック" + std::string(1 + 1, ' ') + "ジョブ実行サ" + std::string(2 + 1, ' ') +
                      std::string(1 + 1, ' ') + "済");
  EXPECT_EQ(line.find("済"), 54u);  // the message still starts at byte 55
}

TEST(EventTypeValue, RelayedIntegers) {
  EXPECT_EQ(EventTypeValue("12"), 12);
  EXPECT_EQ(EventTypeValue("-3"), -3);
  EXPECT_EQ(EventTypeValue("$1F"), 31);
  EXPECT_EQ(EventTypeValue("abc"), 0);
  EXPECT_EQ(EventTypeValue(""), 0);
  EXPECT_EQ(EventTypeValue("99999999999"), 0);
}

TEST(DecodeUtf8Field, WellFormedAndQuirks) {
  EXPECT_EQ(DecodeUtf8Field("abc"), u"abc");
  EXPECT_EQ(DecodeUtf8Field("\xE3\x81\x82"), u"\u3042");             // HIRAGANA A
  EXPECT_EQ(DecodeUtf8Field("\xC3\xA9"), u"\u00E9");                 // e acute
  EXPECT_EQ(DecodeUtf8Field("\xC0\xAF"), u"/");                      // overlong form passes
  EXPECT_EQ(DecodeUtf8Field("\x80\x80"), std::u16string(1, u'\0'));  // any byte >= 0x80 leads
  EXPECT_EQ(DecodeUtf8Field(""), u"");
}

TEST(DecodeUtf8Field, MalformedEmptiesTheField) {
  EXPECT_FALSE(DecodeUtf8Field("ok \xE3\x81").has_value());  // cut off by the end
  EXPECT_FALSE(DecodeUtf8Field("\xC3").has_value());
  EXPECT_FALSE(DecodeUtf8Field("\xC3\x41").has_value());  // bad continuation
  EXPECT_FALSE(DecodeUtf8Field("\xE3\x81\xC1").has_value());
}

TEST(DecodeUtf8Field, NeverCrashesOnAnyBytes) {
  // Every byte value as lead with every continuation shape.
  for (int a = 0; a < 256; ++a) {
    for (int b : {0x00, 0x41, 0x80, 0xBF, 0xC0, 0xFF}) {
      SCOPED_TRACE(std::to_string(a) + " " + std::to_string(b));
      const bool aIsAscii = a < 0x80;
      const bool aLeadsThree = !aIsAscii && (a & 0x20) != 0;
      const bool bIsAscii = b < 0x80;
      const bool bContinues = b >= 0x80 && b <= 0xBF;
      std::string s{static_cast<char>(a), static_cast<char>(b)};
      // Two bytes: two characters, one two-byte sequence, or a sequence cut
      // off or broken (no value).
      auto two = DecodeUtf8Field(s);
      std::size_t twoUnits = aIsAscii ? (bIsAscii ? 2 : 0) : (!aLeadsThree && bContinues ? 1 : 0);
      EXPECT_EQ(two.has_value(), twoUnits != 0);
      if (two && twoUnits != 0) {
        EXPECT_EQ(two->size(), twoUnits);
      }
      // With a continuation byte after them.
      s.push_back('\x80');
      auto three = DecodeUtf8Field(s);
      std::size_t threeUnits = 0;
      if (aIsAscii && !bIsAscii && (b & 0x20) == 0) threeUnits = 2;  // a, then a two-byte b
      if (aLeadsThree && bContinues) threeUnits = 1;                 // one three-byte sequence
      EXPECT_EQ(three.has_value(), threeUnits != 0);
      if (three && threeUnits != 0) {
        EXPECT_EQ(three->size(), threeUnits);
      }
    }
  }
}

}  // namespace
}  // namespace kv
