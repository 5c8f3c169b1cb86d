#include "svchost/service.h"

#include <algorithm>

#include "base/exception.h"
#include "platform/error.h"
#include "platform/eventlog.h"
#include "svchost/service_texts.h"
#include "svchost/service_thread.h"

namespace kv {
namespace {

// The services of the process, in creation order.
std::mutex gServicesMutex;
std::vector<TService*> gServices;

// Process-wide status report bookkeeping: the state of the previous report
// and the checkpoint counter. Reports come from one thread at a time; the
// lock only keeps several services in one process (tests) apart.
std::mutex gStatusMutex;
ServiceState gLastReportedState = ServiceState::ssStartPending;
std::uint32_t gStatusCheckPoint = 0;

}  // namespace

win::DWORD WindowsState(ServiceState state) { return static_cast<win::DWORD>(state) + 1; }

bool IsPendingState(ServiceState state) {
  return state == ServiceState::ssStartPending || state == ServiceState::ssStopPending ||
         state == ServiceState::ssContinuePending || state == ServiceState::ssPausePending;
}

TService::TService(std::string name) : name_(std::move(name)) {
  std::lock_guard lock(gServicesMutex);
  gServices.push_back(this);
}

TService::~TService() {
  std::lock_guard lock(gServicesMutex);
  gServices.erase(std::remove(gServices.begin(), gServices.end(), this), gServices.end());
}

std::size_t TService::ServiceCount() {
  std::lock_guard lock(gServicesMutex);
  return gServices.size();
}

std::vector<TService*> TService::Services() {
  std::lock_guard lock(gServicesMutex);
  return gServices;
}

void TService::SetInteractive(bool value) {
  interactive_ = value;
  if (value) {
    password_.clear();
    serviceStartName_.clear();
  }
}

void TService::SetPassword(std::string value) {
  password_ = std::move(value);
  if (!password_.empty()) interactive_ = false;
}

void TService::SetServiceStartName(std::string value) {
  serviceStartName_ = std::move(value);
  if (!serviceStartName_.empty()) interactive_ = false;
}

void TService::SetOnStop(TStopEvent handler) {
  onStop_ = std::move(handler);
  allowStop_ = true;
}

void TService::SetOnPause(TPauseEvent handler) {
  onPause_ = std::move(handler);
  allowPause_ = true;
}

void TService::SetOnContinue(TContinueEvent handler) {
  onContinue_ = std::move(handler);
  allowPause_ = true;
}

std::uint32_t TService::WindowsServiceType() const {
  switch (serviceType_) {
    case TServiceType::stDevice: return win::SERVICE_KERNEL_DRIVER;
    case TServiceType::stFileSystem: return win::SERVICE_FILE_SYSTEM_DRIVER;
    case TServiceType::stWin32: break;
  }
  std::uint32_t type = win::SERVICE_WIN32_OWN_PROCESS;
  if (interactive_) type |= win::SERVICE_INTERACTIVE_PROCESS;
  if (ServiceCount() > 1) type = (type & ~win::SERVICE_WIN32_OWN_PROCESS) | win::SERVICE_WIN32_SHARE_PROCESS;
  return type;
}

std::uint32_t TService::WindowsStartType() const {
  switch (startType_) {
    case TStartType::stBoot:
      return serviceType_ == TServiceType::stDevice ? win::SERVICE_BOOT_START : win::SERVICE_AUTO_START;
    case TStartType::stSystem:
      return serviceType_ == TServiceType::stDevice ? win::SERVICE_SYSTEM_START : win::SERVICE_AUTO_START;
    case TStartType::stAuto: return win::SERVICE_AUTO_START;
    case TStartType::stManual: return win::SERVICE_DEMAND_START;
    case TStartType::stDisabled: return win::SERVICE_DISABLED;
  }
  return win::SERVICE_AUTO_START;
}

std::uint32_t TService::WindowsErrorControl() const {
  switch (errorSeverity_) {
    case TErrorSeverity::esIgnore: return win::SERVICE_ERROR_IGNORE;
    case TErrorSeverity::esNormal: return win::SERVICE_ERROR_NORMAL;
    case TErrorSeverity::esSevere: return win::SERVICE_ERROR_SEVERE;
    case TErrorSeverity::esCritical: return win::SERVICE_ERROR_CRITICAL;
  }
  return win::SERVICE_ERROR_NORMAL;
}

std::uint32_t TService::WindowsControlsAccepted() const {
  std::uint32_t accepted = win::SERVICE_ACCEPT_SHUTDOWN;
  if (allowStop_) accepted |= win::SERVICE_ACCEPT_STOP;
  if (allowPause_) accepted |= win::SERVICE_ACCEPT_PAUSE_CONTINUE;
  return accepted;
}

void TService::WriteEventLog(std::string_view message, std::uint32_t eventType, std::uint16_t category,
                             std::uint32_t eventId) {
  std::lock_guard lock(serviceLogMutex_);
  if (!serviceLog_) serviceLog_ = std::make_unique<TEventLogger>(name_);
  serviceLog_->WriteEntry(message, eventType, category, eventId);
}

void TService::RunService(win::DWORD argc, char** argv) {
  for (win::DWORD i = 0; argv && i < argc; ++i) startArguments_.Add(argv[i] ? argv[i] : "");
  statusReportHandle_ = win::RegisterServiceCtrlHandler(name_.c_str(), GetControlHandler());
  if (!statusReportHandle_) {
    WriteEventLog(SysErrorMessage(win::GetLastError()), win::EVENTLOG_ERROR_TYPE, 0, 0);
    return;
  }
  ExecuteService();
}

void TService::ExecuteService() {
  std::unique_ptr<TServiceThread> thread;
  auto forgetThread = [this, &thread] {
    {
      std::lock_guard lock(requestMutex_);
      requestThread_ = nullptr;
    }
    thread.reset();
  };
  try {
    try {
      ChangeState(ServiceState::ssStartPending);
      thread = std::make_unique<TServiceThread>(*this);
      {
        std::lock_guard lock(requestMutex_);
        requestThread_ = thread.get();
      }
      thread->Start();
      thread->WaitFor();
      forgetThread();
    } catch (...) {
      forgetThread();
      ChangeState(ServiceState::ssStopped);
      throw;
    }
    ChangeState(ServiceState::ssStopped);
  } catch (...) {
    WriteEventLog(ServiceFailedMessage(RunPhaseName, CurrentFailureText()), win::EVENTLOG_ERROR_TYPE, 0, 0);
  }
}

void TService::PostControlRequest(win::DWORD control) {
  std::lock_guard lock(requestMutex_);
  if (requestThread_) requestThread_->PostRequest(control);
}

void TService::ChangeState(ServiceState state) {
  currentState_ = state;
  ReportServiceStatus();
}

void TService::ReportServiceStatus() {
  ServiceState state = currentState_;
  win::SERVICE_STATUS status;
  status.dwServiceType = WindowsServiceType();
  status.dwCurrentState = WindowsState(state);
  status.dwControlsAccepted = state == ServiceState::ssStartPending ? 0 : WindowsControlsAccepted();
  status.dwWin32ExitCode = serviceExitCode_ != 0 ? win::ERROR_SERVICE_SPECIFIC_ERROR : win32ExitCode_;
  status.dwServiceSpecificExitCode = serviceExitCode_;
  {
    std::lock_guard lock(gStatusMutex);
    if (IsPendingState(state) && state == gLastReportedState) ++gStatusCheckPoint;
    else gStatusCheckPoint = 0;
    gLastReportedState = state;
    status.dwCheckPoint = gStatusCheckPoint;
  }
  status.dwWaitHint = waitHint_;
  if (!win::SetServiceStatus(statusReportHandle_, &status)) {
    WriteEventLog(SysErrorMessage(win::GetLastError()), win::EVENTLOG_ERROR_TYPE, 0, 0);
  }
}

void TService::ReportStatusText(const std::string& text) {
  win::SetServiceStatusText(statusReportHandle_.load(), text.c_str());
}

void TService::TerminateRequestThread() {
  // Runs on the request thread itself, which the service-main thread only
  // forgets after it has ended.
  if (requestThread_) requestThread_->Terminate();
}

bool TService::HandleStop() {
  bool stopped = true;
  ChangeState(ServiceState::ssStopPending);
  if (onStop_) onStop_(*this, stopped);
  if (stopped) TerminateRequestThread();
  return stopped;
}

bool TService::HandlePause() {
  bool paused = true;
  ChangeState(ServiceState::ssPausePending);
  if (onPause_) onPause_(*this, paused);
  if (paused) {
    ChangeState(ServiceState::ssPaused);
    if (requestThread_) requestThread_->SuspendUntilRequest();
  }
  return paused;
}

bool TService::HandleContinue() {
  bool continued = true;
  ChangeState(ServiceState::ssContinuePending);
  if (onContinue_) onContinue_(*this, continued);
  if (continued) ChangeState(ServiceState::ssRunning);
  return continued;
}

void TService::HandleInterrogate() { ReportServiceStatus(); }

void TService::HandleShutdown() {
  ChangeState(ServiceState::ssStopPending);
  try {
    if (onShutdown_) onShutdown_(*this);
  } catch (...) {
    TerminateRequestThread();
    throw;
  }
  TerminateRequestThread();
}

bool TService::HandleCustomControl(win::DWORD /*control*/) { return true; }

}  // namespace kv
