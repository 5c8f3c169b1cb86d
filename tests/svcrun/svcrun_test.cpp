// svcrun run as a real process, supervising the test service or small
// shell programs.
#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/syslog_listener.h"
#include "support/temp_dir.h"

namespace {

// svcrun with `args`, without KV_PLATFORM_ROOT or NOTIFY_SOCKET of its own.
kvtest::ChildProcess Svcrun(const std::vector<std::string>& args) {
  return kvtest::ChildProcess(
      SVCRUN, args,
      {{"KV_PLATFORM_ROOT", std::nullopt}, {"NOTIFY_SOCKET", std::nullopt}, {"LC_ALL", std::string("C")}});
}

// Waits until the output holds `count` occurrences of `text`.
bool AwaitOutput(const kvtest::ChildProcess& child, const std::string& text, std::size_t count = 1) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string out = child.Stdout();
    std::size_t found = 0;
    for (auto pos = out.find(text); pos != std::string::npos; pos = out.find(text, pos + 1)) ++found;
    if (found >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

const std::string kAll = "accepts stop+pause/continue+shutdown, wait hint 5000 ms";

TEST(Svcrun, HelpAndCommandLineErrors) {
  auto help = Svcrun({"--help"});
  EXPECT_EQ(help.WaitForExit(), 0);
  EXPECT_NE(help.Stdout().find("Usage: kvsvcrun [OPTIONS] [--] PROGRAM [ARGUMENTS...]"), std::string::npos);
  EXPECT_NE(help.Stdout().find("--start-timeout SECS"), std::string::npos);
  EXPECT_NE(help.Stdout().find("--root DIR"), std::string::npos);
  auto version = Svcrun({"--version"});
  EXPECT_EQ(version.WaitForExit(), 0);
  EXPECT_EQ(version.Stdout(), "kvsvcrun (svcrun) " KV_VERSION "\n");

  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"--bogus", "x"}, {"--start-timeout", "soon", "x"}, {"--start-timeout", "0", "x"}, {"--root"}}) {
    auto run = Svcrun(args);
    EXPECT_EQ(run.WaitForExit(), 2);
    EXPECT_EQ(run.Stdout(), "");
    EXPECT_NE(run.Stderr().find("svcrun: "), std::string::npos);
  }
  auto missing = Svcrun({"/nonexistent-folder/program"});
  EXPECT_EQ(missing.WaitForExit(), 127);
  EXPECT_NE(missing.Stderr().find("cannot start /nonexistent-folder/program"), std::string::npos);
}

TEST(Svcrun, PrintsReportsAndPassesControlsOn) {
  kvtest::TempDir root;
  auto run = Svcrun({"--root", root.Path(), KV_TEST_SERVICE, "--pause=ok"});
  ASSERT_TRUE(AwaitOutput(run, "state RUNNING"));
  ASSERT_TRUE(run.Signal(SIGUSR1));
  ASSERT_TRUE(AwaitOutput(run, "state PAUSED"));
  ASSERT_TRUE(run.Signal(SIGUSR2));
  ASSERT_TRUE(AwaitOutput(run, "state RUNNING", 2));
  ASSERT_TRUE(run.Signal(SIGHUP));
  ASSERT_TRUE(AwaitOutput(run, "state RUNNING", 3));
  ASSERT_TRUE(run.Signal(SIGINT));
  EXPECT_EQ(run.WaitForExit(), 0);

  std::vector<std::string> expected = {
      "svcrun: started " + std::string(KV_TEST_SERVICE),
      "svcrun: state START_PENDING, checkpoint 1, accepts none, wait hint 5000 ms, status \"Start pending\"",
      "start",
      "svcrun: state START_PENDING, checkpoint 2, accepts none, wait hint 5000 ms, status \"Start pending\"",
      "svcrun: state RUNNING, checkpoint 0, " + kAll + ", status \"Running\"",
      "svcrun: pause requested; sending SIGUSR1",
      "svcrun: state PAUSE_PENDING, checkpoint 0, " + kAll + ", status \"Pause pending\"",
      "pause",
      "svcrun: state PAUSED, checkpoint 0, " + kAll + ", status \"Paused\"",
      "svcrun: continue requested; sending SIGUSR2",
      "svcrun: state CONTINUE_PENDING, checkpoint 0, " + kAll + ", status \"Continue pending\"",
      "svcrun: state RUNNING, checkpoint 0, " + kAll + ", status \"Running\"",
      "svcrun: interrogate requested; sending SIGHUP",
      "svcrun: state RUNNING, checkpoint 0, " + kAll + ", status \"Running\"",
      "svcrun: stop requested; sending SIGTERM",
      "stop",
      "svcrun: state STOP_PENDING, checkpoint 0, " + kAll + ", status \"Stop pending\"",
      "svcrun: state STOPPED, checkpoint 0, " + kAll + ", status \"Stopped\"",
      "dispatcher returned",
      "svcrun: service ended: exit code 0",
  };
  // The service writes its own lines to the same output; each side keeps its
  // order, so compare svcrun's lines and the service's lines separately.
  auto split = [](const std::vector<std::string>& lines, bool ours) {
    std::vector<std::string> picked;
    for (const auto& l : lines) {
      if ((l.rfind("svcrun: ", 0) == 0) == ours) picked.push_back(l);
    }
    return picked;
  };
  auto lines = Lines(run.Stdout());
  EXPECT_EQ(split(lines, true), split(expected, true));
  EXPECT_EQ(split(lines, false), split(expected, false));
}

TEST(Svcrun, TerminateStopsAndExitCodesShowInTheReports) {
  auto run = Svcrun({KV_TEST_SERVICE, "--service-exit-code=42"});
  ASSERT_TRUE(AwaitOutput(run, "state RUNNING"));
  ASSERT_TRUE(run.Signal(SIGTERM));
  EXPECT_EQ(run.WaitForExit(), 0);
  EXPECT_NE(run.Stdout().find("svcrun: state STOPPED, checkpoint 0, " + kAll +
                              ", exit code 1066, service exit code 42, status \"Stopped (exit code 1066, "
                              "service code 42)\"\n"),
            std::string::npos)
      << run.Stdout();
}

TEST(Svcrun, RootOptionReachesTheService) {
  kvtest::ScopedPlatformRoot root;
  kvtest::SyslogListener syslog(root);
  auto run = Svcrun({"--root", root.Path(), KV_TEST_SERVICE, "--start=raise"});
  EXPECT_EQ(run.WaitForExit(), 0);
  ASSERT_TRUE(syslog.WaitForMessage("start handler failed"));
  EXPECT_EQ(syslog.Entries()[0].tag, "KVTestService");
}

TEST(Svcrun, ExitsWithTheProgramsExitCode) {
  auto three = Svcrun({"/bin/sh", "-c", "exit 3"});
  EXPECT_EQ(three.WaitForExit(), 3);
  EXPECT_NE(three.Stdout().find("svcrun: service ended: exit code 3\n"), std::string::npos);

  auto killed = Svcrun({"/bin/sh", "-c", "kill -KILL $$"});
  EXPECT_EQ(killed.WaitForExit(), 137);
  EXPECT_NE(killed.Stdout().find("svcrun: service ended: killed by signal 9"), std::string::npos);
}

TEST(Svcrun, StartTimeoutKillsAServiceThatNeverRuns) {
  auto run = Svcrun({"--start-timeout", "1", "/bin/sh", "-c", "sleep 30"});
  EXPECT_EQ(run.WaitForExit(std::chrono::seconds(20)), 137);
  EXPECT_NE(run.Stdout().find("svcrun: no RUNNING report within 1 s; killing the service\n"), std::string::npos);

  // A service that reports running in time is left alone.
  auto fine = Svcrun({"--start-timeout", "1", KV_TEST_SERVICE});
  ASSERT_TRUE(AwaitOutput(fine, "state RUNNING"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(fine.Signal(SIGTERM));
  EXPECT_EQ(fine.WaitForExit(), 0);
  EXPECT_EQ(fine.Stdout().find("killing"), std::string::npos);
}

}  // namespace
