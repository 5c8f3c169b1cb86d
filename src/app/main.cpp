// kvlogserver: the KVLogService service process, and its installer.
//   kvlogserver               run as the service (started by the service manager)
//   kvlogserver /INSTALL      register the service      (/SILENT: no success message)
//   kvlogserver /UNINSTALL    remove the registration
//   kvlogserver --foreground  run the service in a terminal, without a service manager
//   kvlogserver --help | --version
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "app/svc_app.h"
#include "base/datetime.h"
#include "logsvc/kvlog_service.h"
#include "platform/foreground.h"
#include "platform/service_control.h"

namespace {

constexpr int kUsageError = 2;

const char kUsage[] =
    "Usage: kvlogserver [/INSTALL | /UNINSTALL] [/SILENT]\n"
    "       kvlogserver --foreground\n"
    "       kvlogserver --help | --version\n"
    "\n"
    "The KVLogService service: collects event datagrams sent over UDP, keeps them\n"
    "in kvs*.log files and relays each to a second local port.\n"
    "\n"
    "  (no switch)     run as the service; systemd starts it so (Type=notify)\n"
    "  /INSTALL        write the systemd unit KVLogService.service and enable it\n"
    "  /UNINSTALL      remove the unit and its link\n"
    "  /SILENT         with /INSTALL or /UNINSTALL: no message on success\n"
    "                  (switches may start with / or -, in any letter case)\n"
    "  --foreground    run the service here without a service manager: states and\n"
    "                  event log entries on standard error, Ctrl+C stops and saves\n"
    "  --help          show this help and exit\n"
    "  --version       show the version and exit\n"
    "\n"
    "Exit codes: 0 success; 1 an install or uninstall failed, or the service\n"
    "refused to start or ended through a failure; 2 a wrong command line.\n"
    "Settings: /opt/KelvaneSystem/KVLogService.ini. See kvlogserver(8).\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (std::string unknown = kv::FirstUnknownLongOption(args, {"help", "version", "foreground"}); !unknown.empty()) {
    std::fprintf(stderr, "kvlogserver: unknown option '%s' (see kvlogserver --help)\n", unknown.c_str());
    return kUsageError;
  }
  if (kv::HasLongOption(args, "help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (kv::HasLongOption(args, "version")) {
    std::printf("kvlogserver %s\n", KV_VERSION);
    return 0;
  }
  const bool foreground = kv::HasLongOption(args, "foreground");
  if (foreground && (kv::HasSwitch(args, "INSTALL") || kv::HasSwitch(args, "UNINSTALL"))) {
    std::fputs("kvlogserver: --foreground runs the service; it does not go with /INSTALL or /UNINSTALL\n", stderr);
    return kUsageError;
  }

  // Before any thread exists, so that every thread inherits the blocked
  // control signals and only the dispatcher takes them.
  win::PrepareServiceProcess();
  kv::ApplyServiceDateTimeSettings();
  std::unique_ptr<win::ForegroundServiceManager> manager;
  if (foreground) {
    try {
      manager = std::make_unique<win::ForegroundServiceManager>("kvlogserver");
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kvlogserver: %s\n", e.what());
      return 1;
    }
  }
  return kv::RunServiceProgram(std::move(args), "KVLogServer", [](kv::TServiceApplication& application) {
    application.CreateServiceModule(kv::ServiceModule);
  });
}
