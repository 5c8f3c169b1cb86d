#include "net/event_datagram.h"

#include <gtest/gtest.h>

namespace {

TEST(EventDatagramTest, SendTimeHasFixedSeparatorsAndPadding) {
  EXPECT_EQ(kv::FormatSendTime({2024, 3, 5, 14, 7, 9, 999}), "2024/03/05 14.07.09");
  EXPECT_EQ(kv::FormatSendTime({1, 1, 1, 0, 0, 0, 0}), "0001/01/01 00.00.00");
  EXPECT_EQ(kv::FormatSendTime({9999, 12, 31, 23, 59, 59, 0}), "9999/12/31 23.59.59");
}

TEST(EventDatagramTest, FieldsInOrderWithSixSeparators) {
  EXPECT_EQ(kv::BuildEventDatagram({2024, 3, 5, 14, 7, 9, 0}, 4711, "Backup", "JobRunner", 2, 1007,
                                   "Copy finished: 12 files"),
            "2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files");
  EXPECT_EQ(kv::BuildEventDatagram({2024, 3, 5, 14, 7, 9, 0}, 0, "", "", 0, 0, ""), "2024/03/05 14.07.09:0:::0:0:");
  std::string cut = kv::BuildEventDatagram({2024, 3, 5, 14, 7, 9, 0}, 98998, "A", "S", -12, 7, std::string(250, 'm'));
  EXPECT_EQ(cut, "2024/03/05 14.07.09:98998:A:S:-12:7:" + std::string(197, 'm') + "...");
}

}  // namespace
