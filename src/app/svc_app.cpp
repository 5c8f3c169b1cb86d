#include "app/svc_app.h"

#include <atomic>
#include <cstdio>

#include "app/command_line.h"
#include "app/executable_name.h"
#include "app/service_start_thread.h"
#include "app/unhandled_failure.h"
#include "base/app_failure.h"
#include "base/ascii.h"
#include "base/exception.h"
#include "platform/eventlog.h"
#include "platform/messages.h"
#include "platform/module.h"
#include "platform/service_control.h"
#include "svchost/service_texts.h"

namespace kv {
namespace {

std::atomic<TServiceApplication*> gInstance{nullptr};

// Claims the one application slot of the process before anything is built.
std::vector<std::string> ClaimInstance(TServiceApplication* self, std::vector<std::string> args) {
  TServiceApplication* expected = nullptr;
  if (!gInstance.compare_exchange_strong(expected, self)) throw Exception("A service application exists already");
  return args;
}

}  // namespace

TServiceApplication::TServiceApplication(std::vector<std::string> args) try
    : args_(ClaimInstance(this, std::move(args))), applicationLog_(ExecutableFileName()) {
  endSessionHook_ =
      application_.HookMainWindow([](win::UINT msg, win::WPARAM, win::LPARAM) { return IgnoreEndSession(msg); });
} catch (...) {
  TServiceApplication* self = this;
  gInstance.compare_exchange_strong(self, nullptr);
  throw;
}

TServiceApplication::~TServiceApplication() {
  ReleaseAtExit();
  SetApplicationFailureHandler({});
  application_.UnhookMainWindow(endSessionHook_);
  TServiceApplication* self = this;
  gInstance.compare_exchange_strong(self, nullptr);
}

TServiceApplication* TServiceApplication::Instance() { return gInstance.load(); }

void TServiceApplication::WriteApplicationLog(std::string_view message, std::uint32_t eventType) {
  std::lock_guard<std::mutex> guard(logMutex_);
  applicationLog_.WriteEntry(message, eventType, 0, 0);
}

// A user logging off must not end the service: the session's end is
// reported as handled before the main window sees it.
bool TServiceApplication::IgnoreEndSession(win::UINT msg) { return msg == win::WM_ENDSESSION; }

void TServiceApplication::AddService(std::unique_ptr<TService> service, std::function<void()> clearReference) {
  services_.push_back(OwnedService{std::move(service), std::move(clearReference)});
}

std::vector<TService*> TServiceApplication::Services() const {
  std::vector<TService*> list;
  for (const OwnedService& owned : services_) list.push_back(owned.service.get());
  return list;
}

bool TServiceApplication::HasSwitch(std::string_view name) const { return kv::HasSwitch(args_, name); }

void TServiceApplication::RunApplication() {
  exitCode_ = 0;
  if (HasSwitch("INSTALL")) {
    if (!InstallOrUninstall(true, HasSwitch("SILENT"))) exitCode_ = 1;
    return;
  }
  if (HasSwitch("UNINSTALL")) {
    if (!InstallOrUninstall(false, HasSwitch("SILENT"))) exitCode_ = 1;
    return;
  }
  RunServices();
  for (const OwnedService& owned : services_) {
    if (owned.service->EndedWithFailure()) exitCode_ = 1;
  }
}

void TServiceApplication::RunServices() {
  SetApplicationFailureHandler([this](const std::exception& failure) { LogUnhandledFailure(failure); });

  std::vector<win::SERVICE_TABLE_ENTRY> table(services_.size() + 1, win::SERVICE_TABLE_ENTRY{nullptr, nullptr});
  for (std::size_t i = 0; i < services_.size(); ++i)
    table[i] = win::SERVICE_TABLE_ENTRY{services_[i].service->Name().c_str(), &ServiceMainCallback};

  // The thread is waited for when this scope ends, also after a failure.
  TServiceStartThread startThread(std::move(table), application_.MainWindow());
  application_.Run();
  application_.Terminate();
  if (win::DWORD result = startThread.DispatcherResult()) {
    WriteApplicationLog(SysErrorMessage(result), win::EVENTLOG_ERROR_TYPE);
    if (result == win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) PrintRunByHandHint();
  }
}

// A person who started the program from a shell learns how to run it.
void TServiceApplication::PrintRunByHandHint() const {
  std::string name = ExecutableFileName();
  if (name.empty()) name = "kvlogserver";
  const std::string service = services_.empty() ? std::string("KVLogService") : services_.front().service->Name();
  std::string line = name + ": no service manager started this process; " + win::RunByHandAdvice(name, service) + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

void TServiceApplication::LogUnhandledFailure(const std::exception& failure) {
  const auto* known = dynamic_cast<const Exception*>(&failure);
  WriteApplicationLog(known ? known->Message() : std::string(failure.what()), win::EVENTLOG_ERROR_TYPE);
}

void TServiceApplication::ServiceMainCallback(win::DWORD argc, char** argv) {
  if (TServiceApplication* application = Instance()) application->DispatchToService(argc, argv);
}

void TServiceApplication::DispatchToService(win::DWORD argc, char** argv) {
  if (argc == 0 || !argv || !argv[0]) return;
  for (OwnedService& owned : services_) {
    if (EqualsNoCase(owned.service->Name(), argv[0])) {
      owned.service->RunService(argc, argv);
      return;
    }
  }
}

void TServiceApplication::ReleaseAtExit() {
  // Last created first, as owned components are freed.
  while (!services_.empty()) {
    OwnedService owned = std::move(services_.back());
    services_.pop_back();
    if (owned.clearReference) owned.clearReference();
    owned.service.reset();
  }
}

int RunServiceProgram(std::vector<std::string> args, std::string title,
                      const std::function<void(TServiceApplication&)>& createModules) {
  std::unique_ptr<TServiceApplication> application;
  try {
    application = std::make_unique<TServiceApplication>(std::move(args));
    application->InitializeApplication();
    application->SetTitle(std::move(title));
    createModules(*application);
    application->RunApplication();
  } catch (...) {
    ShowUnhandledFailure(std::current_exception());
    if (application) application->ReleaseAtExit();
    return 1;
  }
  application->ReleaseAtExit();
  return application->ExitCode();
}

}  // namespace kv
