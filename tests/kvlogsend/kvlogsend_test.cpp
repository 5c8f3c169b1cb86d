#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/udp_listener.h"

namespace {

using namespace std::chrono_literals;

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

ToolRun RunTool(const std::vector<std::string>& args) {
  kvtest::ChildProcess child(KVLOGSEND_PATH, args);
  ToolRun run;
  run.exitCode = child.WaitForExit(30s).value_or(-1);
  run.out = child.Stdout();
  run.err = child.Stderr();
  return run;
}

// Runs kvlogsend with `input` on its standard input.
ToolRun RunToolWithInput(const std::string& input, const std::vector<std::string>& args) {
  // sh -c SCRIPT kvlogsend INPUT ARGS...: $0 is the tool, $1 the input.
  std::vector<std::string> shellArgs{"-c", "input=$1; shift; printf '%s' \"$input\" | \"$0\" \"$@\"", KVLOGSEND_PATH};
  shellArgs.push_back(input);
  shellArgs.insert(shellArgs.end(), args.begin(), args.end());
  kvtest::ChildProcess child("/bin/sh", shellArgs);
  ToolRun run;
  run.exitCode = child.WaitForExit(30s).value_or(-1);
  run.out = child.Stdout();
  run.err = child.Stderr();
  return run;
}

// Length of a "yyyy/mm/dd hh.nn.ss:TAG:" head at the start of `text`, or 0.
std::size_t EventHeadLength(const std::string& text) {
  const std::string shape = "dddd/dd/dd dd.dd.dd:";
  if (text.size() < shape.size()) return 0;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return 0;
  }
  std::size_t i = shape.size();
  const std::size_t tagStart = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  if (i == tagStart || i - tagStart > 5 || i >= text.size() || text[i] != ':') return 0;
  return i + 1;
}

// "yyyy/mm/dd hh.nn.ss:TAG:" followed by `rest`.
::testing::AssertionResult IsEvent(const std::optional<std::string>& datagram, const std::string& rest) {
  if (!datagram) return ::testing::AssertionFailure() << "no datagram";
  const std::size_t head = EventHeadLength(*datagram);
  if (head == 0 || datagram->substr(head) != rest) {
    return ::testing::AssertionFailure() << "datagram: " << *datagram;
  }
  return ::testing::AssertionSuccess();
}

TEST(KvlogsendTest, SendsTheMessageWordsAsOneEvent) {
  kvtest::UdpListener listener;
  ToolRun run = RunTool({"--port", std::to_string(listener.Port()), "Backup", "JobRunner", "2", "1007", "Copy",
                         "finished:", "12", "files"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(IsEvent(listener.Receive(10s), "Backup:JobRunner:2:1007:Copy finished: 12 files"));
  EXPECT_FALSE(listener.Receive(100ms).has_value());
}

TEST(KvlogsendTest, HostByNameAndNegativeNumbers) {
  kvtest::UdpListener listener;
  ToolRun run =
      RunTool({"--host", "localhost", "--port=" + std::to_string(listener.Port()), "App", "Src", "-1", "0x10", ""});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(IsEvent(listener.Receive(10s), "App:Src:-1:16:"));
}

TEST(KvlogsendTest, OneEventPerInputLineWithoutLineEnds) {
  kvtest::UdpListener listener;
  ToolRun run = RunToolWithInput("one\r\ntwo: 2\n\nlast without end",
                                 {"--port", std::to_string(listener.Port()), "App", "Src", "4", "5"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(IsEvent(listener.Receive(10s), "App:Src:4:5:one"));
  EXPECT_TRUE(IsEvent(listener.Receive(10s), "App:Src:4:5:two: 2"));
  EXPECT_TRUE(IsEvent(listener.Receive(10s), "App:Src:4:5:"));
  EXPECT_TRUE(IsEvent(listener.Receive(10s), "App:Src:4:5:last without end"));
  EXPECT_FALSE(listener.Receive(100ms).has_value());
}

TEST(KvlogsendTest, LongMessagesAreCutLikeEveryEvent) {
  kvtest::UdpListener listener;
  ToolRun run = RunTool({"--port", std::to_string(listener.Port()), "A", "S", "1", "2", std::string(300, 'x')});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(IsEvent(listener.Receive(10s), "A:S:1:2:" + std::string(197, 'x') + "..."));
}

// The tool runs in the plain locale (UTF-8): a cut that would split 日
// (bytes 197 to 199) falls before it.
TEST(KvlogsendTest, TheCutOfALongMessageEndsOnACharacterBoundary) {
  kvtest::UdpListener listener;
  ToolRun run = RunTool(
      {"--port", std::to_string(listener.Port()), "A", "S", "1", "2", std::string(196, 'x') + "日本語のメッセージ"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(IsEvent(listener.Receive(10s), "A:S:1:2:" + std::string(196, 'x') + "..."));
}

TEST(KvlogsendTest, HelpDescribesTheCommand) {
  ToolRun run = RunTool({"--help"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("Usage: kvlogsend [--host HOST] [--port PORT] APP SOURCE TYPE CODE [MESSAGE...]"),
            std::string::npos);
}

TEST(KvlogsendTest, VersionNamesTheProgram) {
  ToolRun run = RunTool({"--version"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "kvlogsend " KV_VERSION "\n");
}

TEST(KvlogsendTest, BadArgumentsAreUsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"App", "Src", "1"},
      {"App", "Src", "one", "2"},
      {"App", "Src", "1", "two"},
      {"App", "Src", "1", "99999999999"},
      {"--port", "http", "App", "Src", "1", "2"},
      {"--port", "0", "App", "Src", "1", "2"},
      {"--port", "65536", "App", "Src", "1", "2"},
      {"--port"},
      {"--colour", "App", "Src", "1", "2"},
      {"Ap:p", "Src", "1", "2"},
  };
  for (const auto& args : cases) {
    ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 2) << testing::PrintToString(args);
    EXPECT_NE(run.err.find("kvlogsend: "), std::string::npos) << run.err;
  }
}

TEST(KvlogsendTest, FailedSendPrintsTheFailureAndExitsOne) {
  ToolRun run = RunTool({"--host", "255.255.255.255", "--port", "9", "App", "Src", "1", "2", "m"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "kvlogsend: SendTo failed. stat = 10013\n");

  kvtest::UdpListener listener;
  run = RunTool({"--port", std::to_string(listener.Port()), std::string(2100, 'a'), "Src", "1", "2", "m"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("Event text too long. length = "), std::string::npos) << run.err;
  EXPECT_FALSE(listener.Receive(100ms).has_value());
}

TEST(KvlogsendTest, UnresolvableHostExitsOne) {
  ToolRun run = RunTool({"--host", "no-such-host.invalid", "App", "Src", "1", "2", "m"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("cannot resolve host 'no-such-host.invalid'"), std::string::npos) << run.err;
}

}  // namespace
