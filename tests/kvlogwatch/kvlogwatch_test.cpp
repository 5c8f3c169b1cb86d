#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/udp_listener.h"

namespace {

using std::chrono::seconds;

// Waits until the watcher says that it listens: at most 30 s. Under Wine
// its window makes Wine start the desktop process when none runs, and wait
// up to 10 s for it; on a fresh machine, or a busy one, that alone took
// more than the 10 s these waits once had.
bool AwaitListening(const kvtest::ChildProcess& child) {
  for (int i = 0; i < 3000; ++i) {
    if (child.Stderr().find("listening on 127.0.0.1:") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(KVLogWatch, PrintsEachDatagramOnItsLineUntilTheCount) {
  std::uint16_t port = kvtest::FreeUdpPort();
  kvtest::ChildProcess child(KVLOGWATCH, {"--port", std::to_string(port), "--count", "2", "--timeout", "20"});
  ASSERT_TRUE(AwaitListening(child)) << child.Stderr();
  kvtest::SendUdp(port, "2024/03/05 14.07.10:815:Backup:JobRunner:2:0:Copy finished: 12 files");
  kvtest::SendUdp(port, "second");
  auto code = child.WaitForExit(seconds(10));
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, 0);
  EXPECT_EQ(child.Stdout(), "2024/03/05 14.07.10:815:Backup:JobRunner:2:0:Copy finished: 12 files\nsecond\n");
}

TEST(KVLogWatch, EndsWhenTheTimeIsUp) {
  kvtest::ChildProcess child(KVLOGWATCH, {"--port", std::to_string(kvtest::FreeUdpPort()), "--timeout", "1"});
  // The time counts from when it listens. Its start is waited for on its
  // own: counted in the deadline, a slow start once made a watcher that
  // ended on time look stuck.
  ASSERT_TRUE(AwaitListening(child)) << child.Stderr();
  auto code = child.WaitForExit(seconds(10));
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, 0);
  EXPECT_EQ(child.Stdout(), "");
}

TEST(KVLogWatch, HelpAndVersionPrintAndEnd) {
  kvtest::ChildProcess help(KVLOGWATCH, {"--help"});
  EXPECT_EQ(help.WaitForExit(), 0);
  EXPECT_EQ(help.Stdout().rfind("Usage: kvlogwatch [--port PORT]", 0), 0u) << help.Stdout();
  kvtest::ChildProcess version(KVLOGWATCH, {"--version"});
  EXPECT_EQ(version.WaitForExit(), 0);
  EXPECT_EQ(version.Stdout(), "kvlogwatch " KV_VERSION "\n");
}

TEST(KVLogWatch, APortInUseOrABadCommandLineFails) {
  kvtest::UdpListener taken;
  kvtest::ChildProcess busy(KVLOGWATCH, {"--port", std::to_string(taken.Port()), "--timeout", "5"});
  // Given as long as a start may take (see AwaitListening).
  EXPECT_EQ(busy.WaitForExit(seconds(30)), 1);
  EXPECT_NE(busy.Stderr().find("cannot listen on 127.0.0.1:" + std::to_string(taken.Port())), std::string::npos)
      << busy.Stderr();

  kvtest::ChildProcess bad(KVLOGWATCH, {"--port", "70000"});
  EXPECT_EQ(bad.WaitForExit(seconds(10)), 2);
  kvtest::ChildProcess unknown(KVLOGWATCH, {"--color"});
  EXPECT_EQ(unknown.WaitForExit(seconds(10)), 2);
}

}  // namespace
