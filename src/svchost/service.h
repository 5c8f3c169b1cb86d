// TService: the base class of a service module. It holds the properties the
// service is installed with, keeps the service's current state, reports each
// change of state to the service manager and turns the manager's control
// requests into calls of its event handlers on the request thread.
//
// Threads: RunService and ExecuteService run on the service-main thread that
// the dispatcher makes; PostControlRequest on the dispatcher thread (through
// the module's control handler); the start handler and every request handler
// on the request thread (TServiceThread). Properties and events are set
// before the service runs, on the thread that created the module.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/stringlist.h"
#include "platform/messages.h"
#include "platform/service_control.h"
#include "platform/types.h"
#include "svchost/event_logger.h"

namespace kv {

class TService;
class TServiceThread;

// The service's state; each value is reported as the Windows state
// ordinal + 1 (SERVICE_STOPPED 1 ... SERVICE_PAUSED 7).
enum class ServiceState {
  ssStopped,
  ssStartPending,
  ssStopPending,
  ssRunning,
  ssContinuePending,
  ssPausePending,
  ssPaused,
};
win::DWORD WindowsState(ServiceState state);
bool IsPendingState(ServiceState state);

enum class TServiceType { stWin32, stDevice, stFileSystem };
enum class TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };
enum class TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };

// A service or load-ordering group (IsGroup) this service depends on.
struct TDependency {
  std::string Name;
  bool IsGroup = false;
};

// The ordered collection of a service's dependencies.
class TDependencies {
 public:
  TDependency& Add() { return items_.emplace_back(); }
  void Clear() { items_.clear(); }
  std::size_t Count() const { return items_.size(); }
  TDependency& operator[](std::size_t index) { return items_[index]; }
  const TDependency& operator[](std::size_t index) const { return items_[index]; }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<TDependency> items_;
};

using TServiceEvent = std::function<void(TService& Sender)>;
using TStartEvent = std::function<void(TService& Sender, bool& Started)>;
using TStopEvent = std::function<void(TService& Sender, bool& Stopped)>;
using TPauseEvent = std::function<void(TService& Sender, bool& Paused)>;
using TContinueEvent = std::function<void(TService& Sender, bool& Continued)>;

// The thread message that carries a control request: wParam is the code.
constexpr win::UINT TM_SERVICE_CONTROL = win::WM_USER + 1;

// Owns its dependencies, start arguments, event logger (made by the first
// WriteEventLog) and, while the service runs, its request thread.
class TService {
 public:
  // `name` is the component name: the service name.
  explicit TService(std::string name);
  virtual ~TService();
  TService(const TService&) = delete;
  TService& operator=(const TService&) = delete;

  const std::string& Name() const { return name_; }

  // --- Properties (set before the service runs) ---
  bool AllowStop() const { return allowStop_; }
  void SetAllowStop(bool value) { allowStop_ = value; }
  bool AllowPause() const { return allowPause_; }
  void SetAllowPause(bool value) { allowPause_ = value; }
  TDependencies& Dependencies() { return dependencies_; }
  const TDependencies& Dependencies() const { return dependencies_; }
  // The component name while no display name is set.
  std::string DisplayName() const { return displayName_.empty() ? name_ : displayName_; }
  void SetDisplayName(std::string value) { displayName_ = std::move(value); }
  TErrorSeverity ErrorSeverity() const { return errorSeverity_; }
  void SetErrorSeverity(TErrorSeverity value) { errorSeverity_ = value; }
  // Setting it empties Password and ServiceStartName.
  bool Interactive() const { return interactive_; }
  void SetInteractive(bool value);
  const std::string& LoadGroup() const { return loadGroup_; }
  void SetLoadGroup(std::string value) { loadGroup_ = std::move(value); }
  // A non-empty password or start name clears Interactive.
  const std::string& Password() const { return password_; }
  void SetPassword(std::string value);
  const std::string& ServiceStartName() const { return serviceStartName_; }
  void SetServiceStartName(std::string value);
  TServiceType ServiceType() const { return serviceType_; }
  void SetServiceType(TServiceType value) { serviceType_ = value; }
  TStartType StartType() const { return startType_; }
  void SetStartType(TStartType value) { startType_ = value; }
  std::uint32_t TagID() const { return tagId_; }
  void SetTagID(std::uint32_t value) { tagId_ = value; }
  std::uint32_t WaitHint() const { return waitHint_; }
  void SetWaitHint(std::uint32_t value) { waitHint_ = value; }

  // --- Events (set before the service runs) ---
  const TServiceEvent& BeforeInstall() const { return beforeInstall_; }
  void SetBeforeInstall(TServiceEvent handler) { beforeInstall_ = std::move(handler); }
  const TServiceEvent& AfterInstall() const { return afterInstall_; }
  void SetAfterInstall(TServiceEvent handler) { afterInstall_ = std::move(handler); }
  const TServiceEvent& BeforeUninstall() const { return beforeUninstall_; }
  void SetBeforeUninstall(TServiceEvent handler) { beforeUninstall_ = std::move(handler); }
  const TServiceEvent& AfterUninstall() const { return afterUninstall_; }
  void SetAfterUninstall(TServiceEvent handler) { afterUninstall_ = std::move(handler); }
  const TServiceEvent& OnExecute() const { return onExecute_; }
  void SetOnExecute(TServiceEvent handler) { onExecute_ = std::move(handler); }
  const TServiceEvent& OnShutdown() const { return onShutdown_; }
  void SetOnShutdown(TServiceEvent handler) { onShutdown_ = std::move(handler); }
  const TStartEvent& OnStart() const { return onStart_; }
  void SetOnStart(TStartEvent handler) { onStart_ = std::move(handler); }
  // Assigning a handler also sets AllowStop.
  const TStopEvent& OnStop() const { return onStop_; }
  void SetOnStop(TStopEvent handler);
  // Assigning a handler also sets AllowPause.
  const TPauseEvent& OnPause() const { return onPause_; }
  void SetOnPause(TPauseEvent handler);
  const TContinueEvent& OnContinue() const { return onContinue_; }
  void SetOnContinue(TContinueEvent handler);

  // --- Run-time state ---
  // Safe from any thread.
  ServiceState CurrentState() const { return currentState_.load(); }
  win::SERVICE_STATUS_HANDLE StatusReportHandle() const { return statusReportHandle_.load(); }
  // The service-main arguments, the service name first.
  const TStringList& StartArguments() const { return startArguments_; }
  std::uint32_t Win32ExitCode() const { return win32ExitCode_; }
  void SetWin32ExitCode(std::uint32_t value) { win32ExitCode_ = value; }
  // When not 0, reports carry ERROR_SERVICE_SPECIFIC_ERROR (1066).
  std::uint32_t ServiceExitCode() const { return serviceExitCode_; }
  void SetServiceExitCode(std::uint32_t value) { serviceExitCode_ = value; }
  // True once a start was refused or failed, or the running service ended
  // through a failure: the process then ends with a non-zero exit code, so
  // that the service manager sees the failure. Safe from any thread.
  bool EndedWithFailure() const { return endedWithFailure_.load(); }

  // --- Windows values of the properties ---
  std::uint32_t WindowsServiceType() const;
  std::uint32_t WindowsStartType() const;
  std::uint32_t WindowsErrorControl() const;
  std::uint32_t WindowsControlsAccepted() const;

  // Writes an entry under the source named after the service, registering
  // it on first use. Safe from any thread.
  void WriteEventLog(std::string_view message, std::uint32_t eventType, std::uint16_t category, std::uint32_t eventId);

  // The service-main entry for this service: records the arguments,
  // registers the control handler and runs ExecuteService. Service-main
  // thread only.
  void RunService(win::DWORD argc, char** argv);

  // Reports start pending, runs the request thread to its end, reports
  // stopped. Service-main thread only.
  virtual void ExecuteService();

  // Queues a control request for the request thread and wakes it if paused.
  // Dropped when there is no request thread or it has no queue yet.
  // Safe from any thread (the dispatcher thread calls it).
  void PostControlRequest(win::DWORD control);

  // Sets the state and reports it. Service-main or request thread.
  void ChangeState(ServiceState state);
  // Sends one status report of the current state. Service-main or request
  // thread.
  void ReportServiceStatus();
  // Sets the service's own text that the service manager shows beside the
  // state, now and with every later report (figures an operator wants to
  // see). Best effort: a manager that does not take it loses nothing but
  // the text, so a failure is not reported. Safe from any thread.
  void ReportStatusText(const std::string& text);

  // The control-handler function RunService registers; every service module
  // supplies one that reaches its PostControlRequest.
  virtual win::LPHANDLER_FUNCTION GetControlHandler() = 0;

  // The services that exist in the process, in creation order. Safe from
  // any thread.
  static std::size_t ServiceCount();
  static std::vector<TService*> Services();

 protected:
  // The request operations; request thread only.
  virtual bool HandleStop();
  virtual bool HandlePause();
  virtual bool HandleContinue();
  virtual void HandleInterrogate();
  virtual void HandleShutdown();
  virtual bool HandleCustomControl(win::DWORD control);

 private:
  friend class TServiceThread;

  // Asks the running request thread to end after the current request.
  void TerminateRequestThread();

  std::string name_;
  bool allowStop_ = true;
  bool allowPause_ = true;
  TDependencies dependencies_;
  std::string displayName_;
  TErrorSeverity errorSeverity_ = TErrorSeverity::esNormal;
  bool interactive_ = false;
  std::string loadGroup_;
  std::string password_;
  std::string serviceStartName_;
  TServiceType serviceType_ = TServiceType::stWin32;
  TStartType startType_ = TStartType::stAuto;
  std::uint32_t tagId_ = 0;
  std::uint32_t waitHint_ = 5000;

  TServiceEvent beforeInstall_;
  TServiceEvent afterInstall_;
  TServiceEvent beforeUninstall_;
  TServiceEvent afterUninstall_;
  TServiceEvent onExecute_;
  TServiceEvent onShutdown_;
  TStartEvent onStart_;
  TStopEvent onStop_;
  TPauseEvent onPause_;
  TContinueEvent onContinue_;

  std::atomic<ServiceState> currentState_{ServiceState::ssStopped};
  // Set on the service-main thread, read by any thread that reports a text.
  std::atomic<win::SERVICE_STATUS_HANDLE> statusReportHandle_{nullptr};
  TStringList startArguments_;
  std::mutex serviceLogMutex_;
  std::unique_ptr<TEventLogger> serviceLog_;
  std::uint32_t win32ExitCode_ = 0;
  std::uint32_t serviceExitCode_ = 0;
  std::atomic<bool> endedWithFailure_{false};

  // The running request thread; guarded by requestMutex_ because the
  // dispatcher thread posts to it while the service-main thread makes and
  // frees it.
  std::mutex requestMutex_;
  TServiceThread* requestThread_ = nullptr;
};

}  // namespace kv
