// A small service for the host's tests: a TService whose handlers are
// chosen on the command line, hosted the way the real program hosts its
// module (signals prepared first, then the dispatcher with a one-entry
// table whose service-main calls RunService). Each handler that runs prints
// one line ("start", "stop", ...) to standard output.
//
//   --name=NAME                 service name (KVTestService)
//   --start=ok|refuse|raise     start handler: leave Started, clear it, raise
//   --stop=none|ok|refuse|raise|raise-once|slow   (slow: takes 300 ms)
//   --pause=none|ok|refuse|raise       (none: no handler assigned)
//   --continue=none|ok|refuse|raise
//   --shutdown=none|ok|raise
//   --execute=none|raise        an OnExecute handler that raises
//   --custom=ok|raise           custom control codes
//   --no-stop, --no-pause       AllowStop / AllowPause false
//   --service-exit-code=N, --win32-exit-code=N
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "base/exception.h"
#include "platform/error.h"
#include "platform/service_control.h"
#include "svchost/service.h"

namespace {

using Options = std::map<std::string, std::string>;

void Say(const char* what) {
  std::printf("%s\n", what);
  std::fflush(stdout);
}

class TTestService : public kv::TService {
 public:
  TTestService(const std::string& name, const Options& options) : TService(name), options_(options) {
    SetOnStart([this](kv::TService&, bool& started) {
      Say("start");
      std::string mode = Option("start", "ok");
      if (mode == "refuse") started = false;
      if (mode == "raise") throw kv::Exception("start handler failed");
    });
    if (Option("stop", "ok") != "none") {
      SetOnStop([this](kv::TService&, bool& stopped) {
        Say("stop");
        std::string mode = Option("stop", "ok");
        if (mode == "refuse") stopped = false;
        if (mode == "slow") std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (mode == "raise" || (mode == "raise-once" && !stopRaised_)) {
          stopRaised_ = true;
          throw kv::Exception("stop handler failed");
        }
      });
    }
    if (Option("pause", "none") != "none") {
      SetOnPause([this](kv::TService&, bool& paused) {
        Say("pause");
        std::string mode = Option("pause", "none");
        if (mode == "refuse") paused = false;
        if (mode == "raise") throw kv::Exception("pause handler failed");
      });
    }
    if (Option("continue", "none") != "none") {
      SetOnContinue([this](kv::TService&, bool& continued) {
        Say("continue");
        std::string mode = Option("continue", "none");
        if (mode == "refuse") continued = false;
        if (mode == "raise") throw kv::Exception("continue handler failed");
      });
    }
    if (Option("shutdown", "none") != "none") {
      SetOnShutdown([this](kv::TService&) {
        Say("shutdown");
        if (Option("shutdown", "none") == "raise") throw kv::Exception("shutdown handler failed");
      });
    }
    if (Option("execute", "none") == "raise") {
      SetOnExecute([](kv::TService&) {
        Say("execute");
        throw kv::Exception("execute handler failed");
      });
    }
    if (options_.count("no-stop")) SetAllowStop(false);
    if (options_.count("no-pause")) SetAllowPause(false);
    SetServiceExitCode(static_cast<std::uint32_t>(std::strtoul(Option("service-exit-code", "0").c_str(), nullptr, 10)));
    SetWin32ExitCode(static_cast<std::uint32_t>(std::strtoul(Option("win32-exit-code", "0").c_str(), nullptr, 10)));
  }

  win::LPHANDLER_FUNCTION GetControlHandler() override;

 protected:
  bool HandleCustomControl(win::DWORD control) override {
    std::printf("custom %u\n", control);
    std::fflush(stdout);
    if (Option("custom", "ok") == "raise") throw kv::Exception("custom handler failed");
    return TService::HandleCustomControl(control);
  }

 private:
  std::string Option(const std::string& name, const std::string& fallback) const {
    auto it = options_.find(name);
    return it == options_.end() ? fallback : it->second;
  }

  Options options_;
  bool stopRaised_ = false;
};

TTestService* gService = nullptr;

void ControlHandler(win::DWORD control) { gService->PostControlRequest(control); }

void ServiceMain(win::DWORD argc, char** argv) { gService->RunService(argc, argv); }

win::LPHANDLER_FUNCTION TTestService::GetControlHandler() { return ControlHandler; }

}  // namespace

int main(int argc, char** argv) {
  win::PrepareServiceProcess();
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      std::fprintf(stderr, "unknown argument: %s\n", argv[i]);
      return 2;
    }
    auto eq = arg.find('=');
    options[arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2)] =
        eq == std::string::npos ? "" : arg.substr(eq + 1);
  }
  std::string name = options.count("name") ? options["name"] : "KVTestService";
  auto service = std::make_unique<TTestService>(name, options);
  gService = service.get();

  win::SERVICE_TABLE_ENTRY table[] = {{service->Name().c_str(), ServiceMain}, {nullptr, nullptr}};
  if (!win::StartServiceCtrlDispatcher(table)) {
    std::printf("dispatcher failed %u\n", win::GetLastError());
    return 1;
  }
  Say("dispatcher returned");
  return 0;
}
