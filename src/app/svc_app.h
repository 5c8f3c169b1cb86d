// TServiceApplication: the process's service application. One run of the
// program installs the services, uninstalls them, or runs as the service:
// a start thread hands the service table to the service manager's
// dispatcher while the main thread runs the message loop on which the
// services' hidden windows and timers live.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "app/window_application.h"
#include "platform/service_manager.h"
#include "platform/types.h"
#include "svchost/event_logger.h"
#include "svchost/service.h"

namespace kv {

// The dependency list CreateService takes: for each item a '+' when it is a
// group, its name and a NUL, then one more NUL; "" for no items. One
// unnamed item gives two NULs.
std::string BuildDependencyList(const TService& service);

// Owns the services (the service modules, destroyed by ReleaseAtExit or at
// the latest with the application), the application's event log writer
// (source: the executable's file name) and the windowing part with its
// hidden main window. One per process; made and destroyed on the main
// thread. Operations are for the main thread unless they say otherwise.
class TServiceApplication {
 public:
  // `args` are the command-line arguments, the program path first. Hooks
  // IgnoreEndSession into the main window. Raises kv::Exception when an
  // application exists already, EOSError when no main window can be had.
  explicit TServiceApplication(std::vector<std::string> args);
  // Releases the services still owned, removes the failure handler and the
  // hook.
  ~TServiceApplication();
  TServiceApplication(const TServiceApplication&) = delete;
  TServiceApplication& operator=(const TServiceApplication&) = delete;

  // The process's application, or null. Safe from any thread.
  static TServiceApplication* Instance();

  const std::vector<std::string>& Arguments() const { return args_; }
  TWindowApplication& Application() { return application_; }
  const std::string& ApplicationLogSource() const { return applicationLog_.EventSourceName(); }
  // Writes an entry through the application's event log writer (category
  // and id 0). Safe from any thread.
  void WriteApplicationLog(std::string_view message, std::uint32_t eventType);

  // No window is ever shown: nothing to set up beyond the main window.
  void InitializeApplication() {}
  void SetTitle(std::string title) { application_.SetTitle(std::move(title)); }

  // Creates a service module of class T, owned by the application, and
  // stores it in `reference` (cleared again when the module is released,
  // so the reference must outlive the module: a process-wide variable).
  // When the creation fails, `reference` is null and the failure goes on.
  template <class T>
  void CreateServiceModule(T*& reference);

  // The services in the order they were created.
  std::vector<TService*> Services() const;

  // Decides the mode from the command line and carries it out: INSTALL
  // (tested first), UNINSTALL, each with SILENT, else run mode, which
  // returns when the dispatcher has returned. An OpenSCManager failure
  // escapes as EOSError.
  void RunApplication();

  // The process's exit code after RunApplication: 1 when an install or
  // uninstall failed, or when a service refused its start or ended through
  // a failure; 0 otherwise (a run by hand without a service manager
  // included).
  int ExitCode() const { return exitCode_; }

  // True when the command line holds "/name" or "-name" (see HasSwitch).
  bool HasSwitch(std::string_view name) const;

  // Installs (or uninstalls) every service; a failure of one is shown in an
  // error box and the others are still handled; the success box follows
  // when all succeeded and `silent` is false. Returns true when all
  // succeeded. Raises EOSError when the service manager cannot be opened.
  bool InstallOrUninstall(bool install, bool silent);
  // Registers one service with the executable's full path; raises EOSError
  // when CreateService fails or what AfterInstall raises (the new service
  // is then deleted again).
  void InstallService(TService& service, win::SC_HANDLE manager);
  // Deletes one service; raises EOSError when it cannot be opened or deleted.
  void UninstallService(TService& service, win::SC_HANDLE manager);

  // Writes the failure's message to the application's event log as an
  // error entry. Safe from any thread.
  void LogUnhandledFailure(const std::exception& failure);

  // The service-main function of every table entry: hands the arguments to
  // DispatchToService of the application. Service-main thread.
  static void ServiceMainCallback(win::DWORD argc, char** argv);
  // Runs RunService of the first service whose name equals argv[0] without
  // regard to letter case; nothing when none does. Service-main thread.
  void DispatchToService(win::DWORD argc, char** argv);

  // Destroys the services (their destruction handlers run here) and clears
  // the references CreateServiceModule filled. Runs at the end of the
  // process in every mode; a second call does nothing.
  void ReleaseAtExit();

 private:
  struct OwnedService {
    std::unique_ptr<TService> service;
    std::function<void()> clearReference;
  };

  void AddService(std::unique_ptr<TService> service, std::function<void()> clearReference);
  void RunServices();
  void PrintRunByHandHint() const;
  static bool IgnoreEndSession(win::UINT msg);

  std::vector<std::string> args_;
  TWindowApplication application_;
  int endSessionHook_ = 0;
  std::mutex logMutex_;
  TEventLogger applicationLog_;
  std::vector<OwnedService> services_;
  int exitCode_ = 0;
};

template <class T>
void TServiceApplication::CreateServiceModule(T*& reference) {
  static_assert(std::is_base_of_v<TService, T>, "a service module is a TService");
  reference = nullptr;
  auto module = std::make_unique<T>();
  reference = module.get();
  AddService(std::move(module), [&reference] { reference = nullptr; });
}

// The program entry after the process-wide settings: creates the
// application, sets its title, lets `createModules` make the service
// modules, runs the application and releases the modules. A failure that
// escapes is shown in the "Application Error" box. Returns the exit code:
// the application's ExitCode, or 1 after such a failure. Main thread.
int RunServiceProgram(std::vector<std::string> args, std::string title,
                      const std::function<void(TServiceApplication&)>& createModules);

}  // namespace kv
