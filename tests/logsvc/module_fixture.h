// A service module running in the test process: a temporary platform root
// with its INI file, a log folder, a syslog socket, a relay listener and the
// test thread as the module's main thread.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "config/log_svc_config.h"
#include "logsvc/kvlog_service.h"
#include "platform/filesystem.h"
#include "support/message_pump.h"
#include "support/settings_file.h"
#include "support/syslog_listener.h"
#include "support/temp_dir.h"
#include "support/udp_listener.h"

namespace kvtest {

class ModuleTest : public ::testing::Test {
 protected:
  ModuleTest() {
    std::filesystem::remove_all(ConfigFolder());  // what an earlier test left (Windows)
    std::filesystem::create_directories(ConfigFolder());
    std::filesystem::create_directories(logs);
  }

  ~ModuleTest() override {
    if (module && module->Listening()) {
      bool stopped = true;
      try {
        module->ServiceStop(*module, stopped);
      } catch (const std::exception&) {
      }
    }
  }

  // Where the service looks for its settings: below the temporary root on
  // Linux, in the Program Files folder of the (throwaway) Wine prefix on
  // Windows, where the root has no meaning.
  static std::string ConfigFolder() { return kv::SettingsFolder(); }
  std::string IniPath() const { return kv::SettingsFilePath(); }

  void WriteIni(const std::string& folder, int interval = 21600, int keepDays = 30) {
    kvtest::WriteSettingsFile(IniPath(), {receivePort, relay.Port(), interval, folder, keepDays});
  }

  // Creates the module and starts it on the test thread.
  void Start(int interval = 21600, int keepDays = 30) {
    WriteIni(logs, interval, keepDays);
    module = std::make_unique<kv::TKVLogService>();
    module->SetIntakeFailureHandler([this](const std::exception& e) { failures.push_back(e.what()); });
    bool started = true;
    module->ServiceStart(*module, started);
    ASSERT_TRUE(started);
  }

  void Stop() {
    bool stopped = true;
    module->ServiceStop(*module, stopped);
  }

  // Sends a raw datagram to the receive port and pumps until it is handled.
  bool SendAndWait(const std::string& payload, std::size_t linesAfter) {
    SendUdp(receivePort, payload);
    return PumpMessagesUntil([&] { return module->LogLines->Count() >= linesAfter; });
  }

  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    for (std::string_view line : *module->LogLines) out.emplace_back(line);
    return out;
  }

  std::vector<std::string> LogFiles() const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(logs)) out.push_back(entry.path().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  ScopedPlatformRoot root;
  SyslogListener syslog{root};
  UdpListener relay;
  std::uint16_t receivePort = FreeUdpPort();
  std::string logs = root.Sub("logs");
  kv::FixedClock clock{{2024, 3, 5, 14, 7, 9, 0}};
  kv::ScopedClockOverride useClock{clock};
  std::unique_ptr<kv::TKVLogService> module;
  std::vector<std::string> failures;
};

}  // namespace kvtest
