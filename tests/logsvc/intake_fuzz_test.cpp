// Robustness of the intake against damaged and random datagrams, through a
// started module on real sockets: every datagram the receiver takes adds
// exactly one line and sends exactly one relay (or reports why the relay
// failed), a datagram too long for the receive buffer adds nothing and is
// reported, and the module goes on taking datagrams after all of them.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "logsvc/event_line.h"
#include "logsvc/module_fixture.h"
#include "net/event_datagram.h"

namespace kvtest {
namespace {

constexpr char kWorked[] = "2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files";
// The same event in the UTF-8 variant, with two- and three-byte characters
// ("Jöb" and "完了 12 ファイル") so that cuts fall inside sequences.
constexpr char kWorkedUtf8[] =
    "2024/03/05 14.07.09:4711:$A$Backup:J\xC3\xB6"
    "b:2:1007:\xE5\xAE\x8C\xE4\xBA\x86 12 "
    "\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB";
// The fixture's clock, as the log line and the relay show it.
constexpr char kClockLineTime[] = "2024/03/05 14:07:09 ";
constexpr char kClockSendTime[] = "2024/03/05 14.07.09:";

bool IsRelayFailure(const std::string& text) {
  return text.starts_with("SendTo failed. stat = ") || text.starts_with("Event text too long. length = ");
}

// "time:tag:rest" -> rest
std::string AfterTag(const std::string& datagram) {
  std::size_t first = datagram.find(':');
  return datagram.substr(datagram.find(':', first + 1) + 1);
}

class IntakeFuzzTest : public ModuleTest {
 protected:
  // Sends one datagram, waits until the module has handled it and checks
  // what it did. Returns false (after recording the failure) when the
  // module did not react at all, so a caller can stop early.
  bool SendAndCheck(const std::string& payload) {
    // A flush command empties the buffer; random inputs that would make
    // one are left out so that the line count stays exact.
    if (payload.find(kv::kFlushCommand) != std::string::npos) return true;
    const std::size_t linesBefore = module->LogLines->Count();
    const std::size_t failuresBefore = failures.size();
    sender.SendTo(receivePort, payload);
    const bool reacted = PumpMessagesUntil(
        [&] { return module->LogLines->Count() != linesBefore || failures.size() != failuresBefore; });
    EXPECT_TRUE(reacted) << "no reaction to a datagram of " << payload.size() << " bytes";
    if (!reacted) return false;

    if (payload.size() > kv::kMaxDatagramText) {
      EXPECT_EQ(module->LogLines->Count(), linesBefore) << payload.size();
      EXPECT_EQ(failures.size(), failuresBefore + 1);
      EXPECT_EQ(failures.back(), "RecvFrom faild. stat = 10040");
      ++oversized;
      return true;
    }

    EXPECT_EQ(module->LogLines->Count(), linesBefore + 1) << Printable(payload);
    ++taken;
    const std::string line((*module->LogLines)[module->LogLines->Count() - 1]);
    const kv::EventFields fields = kv::SplitDatagram(kv::DatagramText(payload));
    const bool utf8 = fields.AppName.starts_with(kv::kUtf8Marker);
    if (utf8) {
      EXPECT_TRUE(line.starts_with(kClockLineTime)) << Printable(payload);
    } else {
      EXPECT_EQ(line, kv::FormatLogLine(fields)) << Printable(payload);
    }

    if (failures.size() != failuresBefore) {
      EXPECT_EQ(failures.size(), failuresBefore + 1);
      EXPECT_TRUE(IsRelayFailure(failures.back())) << failures.back();
      ++relayFailures;
      return true;
    }
    std::optional<std::string> relayed = relay.Receive(std::chrono::seconds(10));
    EXPECT_TRUE(relayed) << "no relay for " << Printable(payload);
    if (!relayed) return true;
    ++relays;
    EXPECT_TRUE(relayed->starts_with(kClockSendTime)) << Printable(*relayed);
    if (!utf8) {
      EXPECT_EQ(AfterTag(*relayed), fields.AppName + ":" + fields.SourceName + ":" +
                                        std::to_string(kv::EventTypeValue(fields.EventType)) +
                                        ":0:" + kv::CutMsgText(fields.MsgText))
          << Printable(payload);
    }
    return true;
  }

  // After a run: the totals add up, nothing more was relayed, and the module
  // still takes an ordinary datagram.
  void CheckTotals() {
    EXPECT_EQ(module->LogLines->Count(), 1 + taken);
    EXPECT_EQ(relays + relayFailures, taken);
    EXPECT_EQ(failures.size(), oversized + relayFailures);
    EXPECT_FALSE(relay.Receive(std::chrono::milliseconds(100))) << "a relay too many";
    EXPECT_TRUE(SendAndCheck(kWorked));
    EXPECT_TRUE(module->Listening());
  }

  // Payload shown in a failure message: control and high bytes escaped.
  static std::string Printable(const std::string& bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
      if (c >= 0x20 && c < 0x7F && c != '\\') {
        out += static_cast<char>(c);
      } else {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
    }
    return out;
  }

  UdpListener sender;
  std::size_t taken = 0;
  std::size_t oversized = 0;
  std::size_t relays = 0;
  std::size_t relayFailures = 0;
};

TEST_F(IntakeFuzzTest, WorkedExampleAndUtf8VariantCutAtEveryLength) {
  Start();
  for (const std::string& whole : {std::string(kWorked), std::string(kWorkedUtf8)}) {
    for (std::size_t length = 0; length <= whole.size(); ++length) {
      ASSERT_TRUE(SendAndCheck(whole.substr(0, length)));
    }
  }
  CheckTotals();
  EXPECT_EQ(relayFailures, 0u);
}

TEST_F(IntakeFuzzTest, CopiesWithFlippedBytes) {
  Start();
  std::mt19937 random(20240305);
  const std::string bases[] = {kWorked, kWorkedUtf8};
  for (int copy = 0; copy < 3000; ++copy) {
    std::string payload = bases[copy % 2];
    const unsigned flips = 1 + random() % 4;
    for (unsigned i = 0; i < flips; ++i) {
      payload[random() % payload.size()] ^= static_cast<char>(1 + random() % 255);
    }
    ASSERT_TRUE(SendAndCheck(payload));
  }
  CheckTotals();
}

TEST_F(IntakeFuzzTest, RandomDatagramsUpTo2100Bytes) {
  Start();
  std::mt19937 random(7000);
  auto randomBytes = [&](std::size_t length) {
    std::string out(length, '\0');
    for (char& c : out) c = static_cast<char>(random() & 0xFF);
    return out;
  };
  for (std::size_t length : {2047u, 2048u, 2049u, 2100u}) ASSERT_TRUE(SendAndCheck(randomBytes(length)));
  // A full-size datagram with empty tag, type and code: its relay, with a
  // tag and two zeros, no longer fits and is refused; the line stays.
  const std::string head = "2024/03/05 14.07.09::";
  const std::string tail = "::::text";
  ASSERT_TRUE(SendAndCheck(head + std::string(kv::kMaxDatagramText - head.size() - tail.size(), 'a') + tail));
  EXPECT_EQ(relayFailures, 1u);
  for (int i = 0; i < 1000; ++i) {
    std::string payload = randomBytes(random() % 2101);
    // Half of them without NUL bytes, so that long texts reach the parser.
    if (i % 2 == 0) {
      for (char& c : payload) {
        if (c == '\0') c = ':';
      }
    }
    ASSERT_TRUE(SendAndCheck(payload));
  }
  CheckTotals();
  EXPECT_GE(oversized, 2u);
}

}  // namespace
}  // namespace kvtest
