// The kvlogserver program end to end: the real executable under a
// temporary platform root, with the test playing the service manager (a
// notify socket), the syslog daemon, the applications that send events and
// the program that listens on the repeat port.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/service_control.h"
#include "support/child_process.h"
#include "support/notify_listener.h"
#include "support/settings_file.h"
#include "support/syslog_listener.h"
#include "support/temp_dir.h"
#include "support/udp_listener.h"

namespace {

using kvtest::ReadFile;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kBanner = "** KVLogService 1.0 KVS-7000 **";
const std::string kServiceSource = "KVLogService";
const std::string kProgramSource = "kvlogserver";
const std::string kDescription = "KVAppService で出力されるログメッセージを取得,保存するためのサービス";

// Bounded wait for a condition that another process brings about.
template <class Condition>
bool Eventually(Condition condition, milliseconds timeout = seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

// The lines of a log file (each ends in CR LF).
std::vector<std::string> LinesOf(const std::string& path) {
  std::string text = ReadFile(path);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "the file does not end in CR LF: " << path;
  return lines;
}

// A relayed datagram split into its seven fields.
struct Relay {
  std::string sendTime, randomTag, appName, sourceName, eventType, eventCode, msgText;
};

Relay SplitRelay(const std::string& datagram) {
  Relay relay;
  relay.sendTime = datagram.substr(0, 19);
  std::string rest = datagram.size() > 20 ? datagram.substr(20) : "";
  for (std::string* field : {&relay.randomTag, &relay.appName, &relay.sourceName, &relay.eventType, &relay.eventCode}) {
    std::size_t colon = rest.find(':');
    if (colon == std::string::npos) break;
    *field = rest.substr(0, colon);
    rest.erase(0, colon + 1);
  }
  relay.msgText = rest;
  return relay;
}

// An event line: time, application (10), source (20), type (1), message.
std::string EventLine(const std::string& time, const std::string& app, const std::string& source, char type,
                      const std::string& msg) {
  auto column = [](std::string text, std::size_t width) {
    text.resize(width, ' ');
    return text;
  };
  return time + " " + column(app, 10) + " " + column(source, 20) + " " + type + " " + msg;
}

bool UdpPortFree(std::uint16_t port) {
  try {
    kvtest::UdpListener probe(port);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

class KVLogServer : public ::testing::Test {
 protected:
  // The Program Files folder, as every system has one.
  KVLogServer() { std::filesystem::create_directories(root_.Sub("opt")); }

  std::string ConfigFolder() const { return root_.Sub("opt/KelvaneSystem"); }
  std::string IniPath() const { return ConfigFolder() + "/KVLogService.ini"; }
  std::string LogFolder() const { return ConfigFolder() + "/Logs"; }
  std::string UnitPath() const { return root_.Sub("etc/systemd/system/KVLogService.service"); }
  std::string LinkPath() const { return root_.Sub("etc/systemd/system/multi-user.target.wants/KVLogService.service"); }

  // Writes the INI file before the start, with free ports unless given.
  void WriteIni(std::uint16_t receivePort, std::uint16_t repeatPort, const std::string& folder, int interval = 3600) {
    std::filesystem::create_directories(ConfigFolder());
    kvtest::WriteSettingsFile(IniPath(), {receivePort, repeatPort, interval, folder, 30});
  }

  // Starts the program; as the service manager would unless `byHand`.
  void Start(const std::vector<std::string>& args = {}, bool byHand = false) {
    child_ = std::make_unique<kvtest::ChildProcess>(
        KVLOGSERVER, args,
        std::vector<std::pair<std::string, std::optional<std::string>>>{
            {"NOTIFY_SOCKET", byHand ? std::nullopt : std::optional<std::string>(notify_.Address())},
            {"LC_ALL", std::string("C")}});
  }

  // Runs the program to its end and returns its exit code.
  int Run(const std::vector<std::string>& args, bool byHand = true) {
    Start(args, byHand);
    std::optional<int> code = child_->WaitForExit(seconds(20));
    EXPECT_TRUE(code) << "kvlogserver did not end";
    return code.value_or(-1);
  }

  void AwaitState(std::uint32_t state) {
    std::optional<std::size_t> index = notify_.WaitForState(state, nextReport_);
    ASSERT_TRUE(index) << "no report of state " << state << "; stderr: " << child_->Stderr();
    nextReport_ = *index + 1;
  }

  // Stops the service with SIGTERM and waits for the end of the process.
  int Stop() {
    EXPECT_TRUE(child_->Signal(SIGTERM));
    std::optional<int> code = child_->WaitForExit(seconds(20));
    EXPECT_TRUE(code) << "kvlogserver did not end after SIGTERM";
    EXPECT_TRUE(notify_.Flush());
    EXPECT_TRUE(syslog_.Flush());
    return code.value_or(-1);
  }

  std::vector<std::string> LogFiles() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(LogFolder(), ec)) {
      std::string name = entry.path().filename().string();
      if (name.size() == 21 && name.rfind("kvs", 0) == 0 && name.substr(17) == ".log")
        files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  std::vector<std::string> MessagesOf(const std::string& source) const {
    std::vector<std::string> messages;
    for (const auto& entry : syslog_.EntriesOf(source)) messages.push_back(entry.message);
    return messages;
  }

  kvtest::ScopedPlatformRoot root_;
  kvtest::SyslogListener syslog_{root_};
  kvtest::NotifyListener notify_;
  std::unique_ptr<kvtest::ChildProcess> child_;
  std::size_t nextReport_ = 0;
};

TEST_F(KVLogServer, AFirstStartCreatesTheSettingsAndTheLogFolder) {
  if (!UdpPortFree(2056) || !UdpPortFree(2057)) GTEST_SKIP() << "the default ports are in use here";
  std::filesystem::create_directories(root_.Sub("opt"));  // there on every system
  Start();
  AwaitState(win::SERVICE_RUNNING);
  ASSERT_TRUE(syslog_.WaitForMessage("KVLogService started"));
  std::string ini = ReadFile(IniPath());
  EXPECT_NE(ini.find("ReceivePort=2056"), std::string::npos) << ini;
  EXPECT_NE(ini.find("RepeatPort=2057"), std::string::npos) << ini;
  EXPECT_NE(ini.find("LogKeepDays=30"), std::string::npos) << ini;
  EXPECT_TRUE(std::filesystem::is_directory(LogFolder()));

  EXPECT_EQ(Stop(), 0);
  auto started = syslog_.EntriesOf(kServiceSource);
  ASSERT_FALSE(started.empty());
  EXPECT_EQ(started.front().message, "KVLogService started");
  EXPECT_EQ(started.front().pri, 30);  // daemon, information
  EXPECT_EQ(notify_.Reports().back().state, win::SERVICE_STOPPED);
}

TEST_F(KVLogServer, DatagramsBecomeLinesRelaysAndFilesUntilTheLastFileAtStop) {
  kvtest::UdpListener repeat;
  std::uint16_t receivePort = kvtest::FreeUdpPort();
  WriteIni(receivePort, repeat.Port(), LogFolder());
  Start();
  AwaitState(win::SERVICE_RUNNING);

  kvtest::SendUdp(receivePort, "2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files");
  std::optional<std::string> relayed = repeat.Receive(seconds(10));
  ASSERT_TRUE(relayed) << child_->Stderr();
  Relay relay = SplitRelay(*relayed);
  EXPECT_EQ(relay.appName, "Backup");
  EXPECT_EQ(relay.sourceName, "JobRunner");
  EXPECT_EQ(relay.eventType, "2");
  EXPECT_EQ(relay.eventCode, "0");
  EXPECT_EQ(relay.msgText, "Copy finished: 12 files");
  EXPECT_EQ(relay.sendTime.size(), 19u);
  EXPECT_EQ(relay.sendTime[13], '.');

  // The UTF-8 variant: the relay carries the text without the marker.
  kvtest::SendUdp(receivePort, "2000/01/01 00.00.00:1:$A$Demo:ソース:-3:5:こんにちは");
  relayed = repeat.Receive(seconds(10));
  ASSERT_TRUE(relayed);
  relay = SplitRelay(*relayed);
  EXPECT_EQ(relay.appName, "Demo");
  EXPECT_EQ(relay.sourceName, "ソース");
  EXPECT_EQ(relay.eventType, "-3");
  EXPECT_EQ(relay.msgText, "こんにちは");

  kvtest::SendUdp(receivePort, "2024/03/05 14.07.10:1:Ops:Console:4:0:$FLUSHLOG$ now");
  ASSERT_TRUE(repeat.Receive(seconds(10)));
  ASSERT_TRUE(Eventually([&] { return LogFiles().size() == 1; })) << child_->Stderr();
  std::string first = LogFiles()[0];
  std::vector<std::string> lines = LinesOf(first);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], kBanner);
  EXPECT_EQ(lines[1], "2024/03/05 14:07:09 Backup     JobRunner            2 Copy finished: 12 files");
  EXPECT_EQ(lines[2].substr(19), EventLine("", "Demo", "ソース", '-', "こんにちは"));  // the receiver's time
  EXPECT_EQ(lines[3], "** saved file " + first + " **");

  // A second on, so that the last file gets a name of its own.
  std::this_thread::sleep_for(milliseconds(1100));
  EXPECT_EQ(Stop(), 0);
  ASSERT_EQ(LogFiles().size(), 2u);
  std::string last = LogFiles()[1];
  lines = LinesOf(last);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], kBanner);
  EXPECT_EQ(lines[1], EventLine("2024/03/05 14:07:10", "Ops", "Console", '4', "$FLUSHLOG$ now"));
  EXPECT_EQ(lines[2], "** saved file " + last + " **");

  std::vector<std::string> messages = MessagesOf(kServiceSource);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "KVLogService started");
  EXPECT_EQ(messages.back(), "KVLogService stopped");
  EXPECT_EQ(notify_.Reports().back().state, win::SERVICE_STOPPED);
  EXPECT_EQ(notify_.Reports().back().win32ExitCode, 0u);
}

TEST_F(KVLogServer, WhilePausedDatagramsAreStillLoggedAndRelayed) {
  kvtest::UdpListener repeat;
  std::uint16_t receivePort = kvtest::FreeUdpPort();
  WriteIni(receivePort, repeat.Port(), LogFolder());
  Start();
  AwaitState(win::SERVICE_RUNNING);

  ASSERT_TRUE(child_->Signal(SIGUSR1));
  AwaitState(win::SERVICE_PAUSED);
  kvtest::SendUdp(receivePort, "2024/03/05 14.07.09:1:Paused:Test:1:0:while paused");
  std::optional<std::string> relayed = repeat.Receive(seconds(10));
  ASSERT_TRUE(relayed);
  EXPECT_EQ(SplitRelay(*relayed).msgText, "while paused");

  ASSERT_TRUE(child_->Signal(SIGUSR2));
  AwaitState(win::SERVICE_RUNNING);
  EXPECT_EQ(Stop(), 0);
  ASSERT_EQ(LogFiles().size(), 1u);
  std::vector<std::string> lines = LinesOf(LogFiles()[0]);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], EventLine("2024/03/05 14:07:09", "Paused", "Test", '1', "while paused"));
}

// The STATUS= text of the last datagram that carried one: a report or a
// text of its own.
std::string LastStatusText(const kvtest::NotifyListener& notify) {
  std::string text;
  for (const std::string& d : notify.Datagrams()) {
    if (auto report = win::ParseNotifyStatus(d)) text = report->status;
    else if (auto own = win::ParseNotifyStatusText(d)) text = *own;
  }
  return text;
}

TEST_F(KVLogServer, TheStatusTextCarriesTheLiveFiguresAlsoWhenPausedAndOnInterrogate) {
  kvtest::UdpListener repeat;
  std::uint16_t receivePort = kvtest::FreeUdpPort();
  WriteIni(receivePort, repeat.Port(), LogFolder());
  Start();
  AwaitState(win::SERVICE_RUNNING);
  EXPECT_EQ(notify_.Reports().back().status.rfind(
                "Running · 0 events · 0 relayed · 0 lost · 1 line buffered · no save yet · next ", 0),
            0u)
      << notify_.Reports().back().status;

  for (int i = 0; i < 3; ++i)
    kvtest::SendUdp(receivePort, "2024/03/05 14.07.09:1:App:Src:4:0:event " + std::to_string(i));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(repeat.Receive(seconds(10)));
  // Without a save or a request: the figures follow within about a second.
  ASSERT_TRUE(Eventually([&] {
    return LastStatusText(notify_).rfind("Running · 3 events · 3 relayed · 0 lost · 4 lines buffered", 0) == 0;
  })) << LastStatusText(notify_);

  // A save names its file at once.
  kvtest::SendUdp(receivePort, "2024/03/05 14.07.09:1:Ops:Console:4:0:$FLUSHLOG$");
  ASSERT_TRUE(repeat.Receive(seconds(10)));
  ASSERT_TRUE(Eventually([&] { return LogFiles().size() == 1; }));
  const std::string file = std::filesystem::path(LogFiles()[0]).filename().string();
  ASSERT_TRUE(Eventually([&] { return LastStatusText(notify_).find(" " + file + " · next ") != std::string::npos; }))
      << LastStatusText(notify_);

  ASSERT_TRUE(child_->Signal(SIGUSR1));
  AwaitState(win::SERVICE_PAUSED);
  EXPECT_TRUE(Eventually([&] {
    return LastStatusText(notify_).rfind("Paused · 4 events · 4 relayed · 0 lost · 2 lines buffered", 0) == 0;
  })) << LastStatusText(notify_);
  // Taken in while paused, then asked for: the interrogate report carries it.
  kvtest::SendUdp(receivePort, "2024/03/05 14.07.09:1:App:Src:4:0:while paused");
  ASSERT_TRUE(repeat.Receive(seconds(10)));
  ASSERT_TRUE(child_->Signal(SIGHUP));
  AwaitState(win::SERVICE_PAUSED);
  EXPECT_EQ(
      notify_.Reports()[nextReport_ - 1].status.rfind("Paused · 5 events · 5 relayed · 0 lost · 3 lines buffered", 0),
      0u)
      << notify_.Reports()[nextReport_ - 1].status;

  EXPECT_EQ(Stop(), 0);
  const std::string last = notify_.Reports().back().status;
  EXPECT_EQ(last.rfind("Stopped · 5 events · 5 relayed · 0 lost · 0 lines buffered · last save ", 0), 0u) << last;
  EXPECT_EQ(last.find("next"), std::string::npos) << last;
}

TEST_F(KVLogServer, AConfigurationErrorRefusesTheStart) {
  WriteIni(kvtest::FreeUdpPort(), kvtest::FreeUdpPort(), "");
  Start();
  AwaitState(win::SERVICE_STOPPED);
  std::optional<int> code = child_->WaitForExit(seconds(20));
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, 1);  // a refused start is a failure the service manager sees
  ASSERT_TRUE(syslog_.Flush());
  EXPECT_EQ(MessagesOf(kServiceSource),
            (std::vector<std::string>{"KVLogService configuation error",
                                      "The log folder setting Folder in " + IniPath() + " is empty"}));
  EXPECT_EQ(syslog_.EntriesOf(kServiceSource)[0].pri, 27);  // daemon, error
  for (const auto& report : notify_.Reports()) EXPECT_NE(report.state, win::SERVICE_RUNNING);
}

TEST_F(KVLogServer, AReceivePortInUseRefusesTheStart) {
  kvtest::UdpListener blocker;  // bound without SO_REUSEADDR
  kvtest::UdpListener repeat;
  WriteIni(blocker.Port(), repeat.Port(), LogFolder());
  Start();
  AwaitState(win::SERVICE_STOPPED);
  std::optional<int> code = child_->WaitForExit(seconds(20));
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, 1);
  ASSERT_TRUE(syslog_.Flush());
  std::vector<std::string> messages = MessagesOf(kServiceSource);
  ASSERT_GE(messages.size(), 1u);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "UDP port " + std::to_string(blocker.Port()) +
                             " (ReceivePort) is in use by another program; stop it or choose another port");
  EXPECT_NE(messages[1].find("Bind Socket failed. stat = 10048"), std::string::npos) << messages[1];
  std::vector<kvtest::StatusReport> reports = notify_.Reports();
  for (const auto& report : reports) EXPECT_NE(report.state, win::SERVICE_RUNNING);
  // The reason stays beside the stopped state, for systemctl status.
  ASSERT_FALSE(reports.empty());
  EXPECT_NE(reports.back().raw.find("start refused: " + messages[0]), std::string::npos) << reports.back().raw;

  // The next start finds only the refused start's banner in the buffer:
  // nothing to recover, and no log file that holds just the banner.
  WriteIni(kvtest::FreeUdpPort(), repeat.Port(), LogFolder());
  Start();
  AwaitState(win::SERVICE_RUNNING);
  EXPECT_EQ(Stop(), 0);
  for (const std::string& message : MessagesOf(kServiceSource))
    EXPECT_EQ(message.find("recovered"), std::string::npos) << message;
  ASSERT_EQ(LogFiles().size(), 1u);
  EXPECT_EQ(LinesOf(LogFiles()[0]).size(), 2u);  // the banner and the saved-file line
}

TEST_F(KVLogServer, StartedByHandItLogsTheDispatcherErrorAndEnds) {
  EXPECT_EQ(Run({}), 0);
  ASSERT_TRUE(syslog_.Flush());
  EXPECT_EQ(MessagesOf(kProgramSource),
            std::vector<std::string>{"The service process could not connect to the service controller"});
  EXPECT_EQ(child_->Stdout(), "");
  EXPECT_EQ(child_->Stderr(),
            "kvlogserver: no service manager started this process; run it under systemd (systemctl start "
            "KVLogService), with kvlogserver --foreground, or with kvsvcrun kvlogserver\n");
}

TEST_F(KVLogServer, InstallWritesTheUnitWithItsDescriptionAndTheLink) {
  EXPECT_EQ(Run({"/INSTALL"}), 0);
  EXPECT_EQ(child_->Stdout(), "情報\nサービスを登録しました。\n");
  EXPECT_EQ(child_->Stderr(), "");
  std::string unit = ReadFile(UnitPath());
  EXPECT_NE(unit.find("Description=" + kDescription + "\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("ExecStart=" + std::filesystem::canonical(KVLOGSERVER).string() + "\n"), std::string::npos)
      << unit;
  EXPECT_TRUE(std::filesystem::is_symlink(LinkPath()));
  EXPECT_TRUE(std::filesystem::exists(LinkPath()));
  // ProtectHome= depends on where the build lies (yes, or tmpfs below a home
  // folder); the unit file tests check both.
  for (std::string line : {"Documentation=man:kvlogserver(8)\n", "After=network.target\n", "Restart=on-failure\n",
                           "ProtectSystem=full\n", "\nProtectHome=", "WantedBy=multi-user.target\n"})
    EXPECT_NE(unit.find(line), std::string::npos) << line << unit;

  // Installing again fails, with the system's text, shows no success and
  // ends with exit code 1.
  EXPECT_EQ(Run({"/INSTALL"}), 1);
  EXPECT_EQ(child_->Stdout(), "");
  EXPECT_EQ(child_->Stderr(),
            "エラー\n\"System Error.  Code: 1073.\nThe specified service already exists\" : "
            "サービス \"KVLogService\" の登録は失敗しました。\n");

  EXPECT_EQ(Run({"/UNINSTALL"}), 0);
  EXPECT_EQ(child_->Stdout(), "情報\nサービスの登録を解除しました。\n");
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  EXPECT_FALSE(std::filesystem::is_symlink(LinkPath()));

  EXPECT_EQ(Run({"-uninstall"}), 1);
  EXPECT_EQ(child_->Stdout(), "");
  EXPECT_EQ(child_->Stderr(),
            "エラー\n\"System Error.  Code: 1060.\nThe specified service does not exist as an installed service\" : "
            "サービス \"KVLogService\" の登録解除に失敗しました。\n");
}

TEST_F(KVLogServer, SilentUninstallShowsNothingOnSuccess) {
  EXPECT_EQ(Run({"/INSTALL", "/SILENT"}), 0);
  EXPECT_EQ(child_->Stdout(), "");
  ASSERT_TRUE(std::filesystem::exists(UnitPath()));
  EXPECT_EQ(Run({"/UNINSTALL", "/SILENT"}), 0);
  EXPECT_EQ(child_->Stdout(), "");
  EXPECT_EQ(child_->Stderr(), "");
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
}

TEST_F(KVLogServer, AnUnwritableUnitFolderEndsWithTheApplicationError) {
  std::filesystem::create_directories(root_.Sub("etc/systemd/system"));
  ASSERT_EQ(chmod(root_.Sub("etc/systemd/system").c_str(), 0555), 0);
  EXPECT_EQ(Run({"/INSTALL"}), 1);
  EXPECT_EQ(child_->Stdout(), "");
  std::string err = child_->Stderr();
  EXPECT_EQ(err.rfind("Application Error\nException EOSError in module kvlogserver at ", 0), 0u) << err;
  EXPECT_NE(err.find(".\nSystem Error.  Code: 5.\nAccess is denied.\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("サービス"), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
}

TEST_F(KVLogServer, OnlyTheWholeSwitchWithItsCharacterInstalls) {
  for (std::string form : {"/install", "-INSTALL", "/Install"}) {
    EXPECT_EQ(Run({form}), 0) << form;
    EXPECT_TRUE(std::filesystem::exists(UnitPath())) << form;
    EXPECT_EQ(Run({"/UNINSTALL", "/SILENT"}), 0);
  }
  EXPECT_EQ(Run({"/INSTALL", "/UNINSTALL"}), 0);  // INSTALL is tested first
  EXPECT_TRUE(std::filesystem::exists(UnitPath()));
  EXPECT_EQ(Run({"/UNINSTALL", "/SILENT"}), 0);

  // These are no switches: the program runs as the service, and started by
  // hand it only logs that it has no service manager.
  for (std::string form : {"INSTALL", "/INSTALLED", "/SILENT"}) {
    EXPECT_EQ(Run({form}), 0) << form;
    EXPECT_FALSE(std::filesystem::exists(UnitPath())) << form;
    EXPECT_EQ(child_->Stdout(), "") << form;
  }
  ASSERT_TRUE(syslog_.Flush());
  EXPECT_EQ(MessagesOf(kProgramSource).size(), 3u);
}

}  // namespace

TEST_F(KVLogServer, HelpAndVersionPrintAndEnd) {
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_EQ(child_->Stdout().rfind("Usage: kvlogserver [/INSTALL | /UNINSTALL] [/SILENT]\n", 0), 0u)
      << child_->Stdout();
  EXPECT_EQ(child_->Stderr(), "");
  EXPECT_EQ(Run({"--version"}), 0);
  EXPECT_EQ(child_->Stdout(), "kvlogserver " KV_VERSION "\n");
  ASSERT_TRUE(syslog_.Flush());
  EXPECT_TRUE(MessagesOf(kProgramSource).empty());  // never ran as the service
}

TEST_F(KVLogServer, AnUnknownDoubleDashOptionIsAUsageError) {
  for (std::string form : {"--frobnicate", "--INSTALL", "--", "--help=1"}) {
    EXPECT_EQ(Run({"/INSTALL", form}), 2) << form;
    EXPECT_EQ(child_->Stdout(), "") << form;
    EXPECT_EQ(child_->Stderr(), "kvlogserver: unknown option '" + form + "' (see kvlogserver --help)\n") << form;
    EXPECT_FALSE(std::filesystem::exists(UnitPath())) << form;
  }
  EXPECT_EQ(Run({"--foreground", "/INSTALL"}), 2);
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
}

TEST_F(KVLogServer, InTheForegroundItRunsUntilCtrlCAndSavesItsBuffer) {
  kvtest::UdpListener repeat;
  std::uint16_t receivePort = kvtest::FreeUdpPort();
  WriteIni(receivePort, repeat.Port(), LogFolder());
  std::filesystem::create_directories(LogFolder());
  Start({"--foreground"}, /*byHand=*/true);
  ASSERT_TRUE(Eventually([&] { return child_->Stderr().find("kvlogserver: Running · ") != std::string::npos; }))
      << child_->Stderr();
  kvtest::SendUdp(receivePort, "2024/03/05 14.07.09:123:Fore:Ground:4:0:in the foreground");
  ASSERT_TRUE(repeat.Receive(seconds(10)));  // the datagram has been taken
  ASSERT_TRUE(child_->Signal(SIGINT));
  std::optional<int> code = child_->WaitForExit(seconds(20));
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, 0);
  std::string err = child_->Stderr();
  EXPECT_NE(err.find("KVLogService: KVLogService started\n"), std::string::npos) << err;
  // The states are printed by a thread of their own, so a state and an
  // entry may come in either order; the last state comes last.
  EXPECT_NE(err.find("KVLogService: KVLogService stopped\n"), std::string::npos) << err;
  const std::string last = "kvlogserver: Stopped · 1 event · 1 relayed · 0 lost · 0 lines buffered · last save ";
  EXPECT_EQ(err.substr(err.rfind("kvlogserver: ")).rfind(last, 0), 0u) << err;
  ASSERT_TRUE(syslog_.Flush());
  EXPECT_TRUE(MessagesOf(kServiceSource).empty());  // on standard error instead
  std::vector<std::string> files = LogFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(ReadFile(files[0]).find("in the foreground"), std::string::npos);
}

TEST_F(KVLogServer, AForegroundStartThatIsRefusedEndsWithOne) {
  WriteIni(kvtest::FreeUdpPort(), kvtest::FreeUdpPort(), "");
  EXPECT_EQ(Run({"--foreground"}), 1);
  EXPECT_NE(child_->Stderr().find("KVLogService: KVLogService configuation error\n"), std::string::npos)
      << child_->Stderr();
}

// What a version that ran as root made (under a careless umask) becomes
// the service user's; the settings stay root's, and a link is not followed.
TEST_F(KVLogServer, InstallHandsItsFoldersAndItsBufferToTheServicesOwnUser) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may hand files to another user";
  WriteIni(kvtest::FreeUdpPort(), kvtest::FreeUdpPort(), LogFolder());
  kvtest::WriteFile(ConfigFolder() + "/KVLogService.buf", "** KVLogService 1.0 KVS-7000 **\r\n");
  chmod(ConfigFolder().c_str(), 0777);
  chmod((ConfigFolder() + "/KVLogService.buf").c_str(), 0666);
  const std::string elsewhere = root_.Sub("elsewhere");
  std::filesystem::create_directories(elsewhere);
  std::filesystem::create_directory_symlink(elsewhere, LogFolder());
  ASSERT_EQ(Run({"/INSTALL", "/SILENT"}), 0) << child_->Stderr();
  std::string users = ReadFile(root_.Sub("etc/passwd"));
  ASSERT_EQ(users.rfind("_kvlogservice:x:", 0), 0u) << users;
  const std::string uid = users.substr(16, users.find(':', 16) - 16);
  auto owner = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return std::to_string(st.st_uid) + " " + std::to_string(st.st_mode & 07777);
  };
  EXPECT_EQ(owner(ConfigFolder()), uid + " " + std::to_string(0755));
  EXPECT_EQ(owner(ConfigFolder() + "/KVLogService.buf"), uid + " " + std::to_string(0640));
  EXPECT_EQ(owner(IniPath()), "0 " + std::to_string(0644));
  EXPECT_EQ(owner(elsewhere), "0 " + std::to_string(0755));
  EXPECT_EQ(Run({"/UNINSTALL", "/SILENT"}), 0);
  std::filesystem::remove(LogFolder());
  ASSERT_EQ(Run({"/INSTALL", "/SILENT"}), 0) << child_->Stderr();
  EXPECT_EQ(owner(LogFolder()), uid + " " + std::to_string(0750));
}

// systemd's own rating of the unit /INSTALL writes: at most 1.5, with the
// service running as a user of its own, not as root.
TEST_F(KVLogServer, TheInstalledUnitRatesAnExposureOfAtMostOnePointFive) {
  const std::string analyze = "/usr/bin/systemd-analyze";
  if (access(analyze.c_str(), X_OK) != 0) GTEST_SKIP() << analyze << " is not installed here";
  ASSERT_EQ(Run({"/INSTALL", "/SILENT"}), 0);
  kvtest::ChildProcess rate(analyze, {"security", "--offline=true", "--threshold=15", "--no-pager",
                                      "--root=" + root_.Path(), "KVLogService.service"});
  std::optional<int> code = rate.WaitForExit(seconds(60));
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, 0) << rate.Stdout() << rate.Stderr();
  EXPECT_NE(rate.Stdout().find("Overall exposure level for KVLogService.service: "), std::string::npos)
      << rate.Stdout() << rate.Stderr();
  EXPECT_EQ(rate.Stdout().find("✗ User=/DynamicUser="), std::string::npos) << rate.Stdout();
}

TEST_F(KVLogServer, ALogFolderThatCannotBeMadeIsNamedWithTheSystemsReason) {
  const std::string folder = root_.Sub("missing/Logs");
  WriteIni(kvtest::FreeUdpPort(), kvtest::FreeUdpPort(), folder);
  EXPECT_EQ(Run({}, /*byHand=*/false), 1);
  ASSERT_TRUE(syslog_.Flush());
  EXPECT_EQ(MessagesOf(kServiceSource),
            (std::vector<std::string>{"KVLogService configuation error",
                                      "Cannot create the log folder " + folder +
                                          ": No such file or directory (only its last level is created; the "
                                          "folders above it must exist)"}));
}

TEST_F(KVLogServer, SettingsItDoesNotTakeAsWrittenAreWarnedOfAtStart) {
  kvtest::UdpListener repeat;
  std::uint16_t receivePort = kvtest::FreeUdpPort();
  std::filesystem::create_directories(ConfigFolder());
  kvtest::WriteFile(IniPath(), "[KVLogService]\r\nReceivePort=" + std::to_string(receivePort + 65536) +
                                   "\r\nRepeatPort=" + std::to_string(repeat.Port()) +
                                   "\r\nInterval=soon\r\nFolder=" + LogFolder() + "\r\nLogKeepDays=30\r\n");
  Start();
  AwaitState(win::SERVICE_RUNNING);
  kvtest::SendUdp(receivePort, "2024/03/05 14.07.09:1:Mod:Ulo:4:0:arrives on the port modulo 65536");
  EXPECT_TRUE(repeat.Receive(seconds(10)));
  EXPECT_EQ(Stop(), 0);
  std::vector<kvtest::SyslogEntry> entries = syslog_.EntriesOf(kServiceSource);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].message, "KVLogService started");
  EXPECT_EQ(entries[1].message, "Setting ReceivePort=" + std::to_string(receivePort + 65536) + " in " + IniPath() +
                                    " is outside 0 to 65535; UDP port " + std::to_string(receivePort) +
                                    " (the value modulo 65536) is used");
  EXPECT_EQ(entries[1].pri, 28);  // daemon, warning
  EXPECT_EQ(entries[2].message, "Setting Interval=soon in " + IniPath() +
                                    " is not a whole number from -2147483648 to 2147483647; the default 21600 is used");
  EXPECT_EQ(entries[3].message, "KVLogService stopped");
}
