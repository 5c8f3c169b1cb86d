// The receive ring of both backends against a plain queue of strings: every
// datagram comes back whole, in order, with its sender, through every wrap of
// the block; a full ring refuses a datagram and loses none it holds.
#include "platform/common/datagram_ring.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

using win::detail::DatagramRing;
using win::detail::ReceivedDatagram;

struct Sent {
  std::string bytes;
  std::uint16_t port;
};

TEST(DatagramRing, KeepsOrderSendersAndLengthsThroughEveryWrap) {
  DatagramRing ring(1000);  // a few records, so the block wraps often
  std::deque<Sent> model;
  std::mt19937 random(29);
  std::vector<char> buffer(DatagramRing::kLargestDatagram);
  std::uint16_t port = 0;
  for (int step = 0; step < 20000; ++step) {
    if (random() % 2 == 0) {
      Sent sent{std::string(random() % 300, static_cast<char>('a' + step % 26)), ++port};
      if (ring.Push(sent.bytes.data(), sent.bytes.size(), 0x0100007F, sent.port)) model.push_back(sent);
      else ASSERT_FALSE(model.empty()) << "an empty ring refused " << sent.bytes.size() << " bytes";
    } else {
      ReceivedDatagram got;
      ASSERT_EQ(ring.Take(buffer.data(), buffer.size(), false, got), !model.empty());
      if (model.empty()) continue;
      ASSERT_EQ(std::string(buffer.data(), got.length), model.front().bytes) << "step " << step;
      EXPECT_EQ(got.port, model.front().port);
      EXPECT_EQ(got.address, 0x0100007Fu);
      model.pop_front();
    }
    ASSERT_EQ(ring.Count(), model.size());
  }
}

TEST(DatagramRing, PeekKeepsTheDatagramAndAShortBufferGetsItsStartWithTheRealLength) {
  DatagramRing ring(DatagramRing::kDefaultCapacity);
  const std::string longest(DatagramRing::kLargestDatagram, 'x');
  ASSERT_TRUE(ring.Push(longest.data(), longest.size(), 1, 2));
  ASSERT_TRUE(ring.Push("", 0, 3, 4));
  char start[4];
  ReceivedDatagram got;
  ASSERT_TRUE(ring.Take(start, sizeof start, true, got));
  EXPECT_EQ(got.length, longest.size());
  EXPECT_EQ(std::string(start, 4), "xxxx");
  EXPECT_EQ(ring.Count(), 2u);
  ASSERT_TRUE(ring.Take(start, sizeof start, false, got));
  ASSERT_TRUE(ring.Take(start, sizeof start, false, got));
  EXPECT_EQ(got.length, 0u);
  EXPECT_EQ(got.port, 4);
  EXPECT_FALSE(ring.Take(start, sizeof start, false, got));
}

TEST(DatagramRing, ADatagramLargerThanTheRingIsRefusedAndTheRingStaysUsable) {
  DatagramRing ring(64);
  const std::string big(100, 'b');
  EXPECT_FALSE(ring.Push(big.data(), big.size(), 0, 0));
  ASSERT_TRUE(ring.Push("ok", 2, 0, 0));
  char out[8];
  ReceivedDatagram got;
  ASSERT_TRUE(ring.Take(out, sizeof out, false, got));
  EXPECT_EQ(std::string(out, got.length), "ok");
}

}  // namespace
