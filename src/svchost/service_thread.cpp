#include "svchost/service_thread.h"

#include "platform/eventlog.h"
#include "platform/messages.h"
#include "platform/service_control.h"
#include "svchost/service.h"
#include "svchost/service_texts.h"

namespace kv {

TServiceThread::TServiceThread(TService& service) : service_(service) {}

TServiceThread::~TServiceThread() {
  if (thread_.joinable()) thread_.join();
}

void TServiceThread::Start() {
  thread_ = std::thread([this] { Execute(); });
}

void TServiceThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TServiceThread::PostRequest(win::DWORD control) {
  std::lock_guard lock(mutex_);
  if (threadId_ == 0) return;
  if (!win::PostThreadMessage(threadId_, TM_SERVICE_CONTROL, control, 0)) return;
  ++pendingRequests_;
  wake_.notify_all();
}

void TServiceThread::SuspendUntilRequest() {
  std::unique_lock lock(mutex_);
  suspended_ = true;
  wake_.wait(lock, [this] { return pendingRequests_ > 0; });
  suspended_ = false;
}

bool TServiceThread::Suspended() const {
  std::lock_guard lock(mutex_);
  return suspended_;
}

void TServiceThread::NoteRequestTaken() {
  std::lock_guard lock(mutex_);
  if (pendingRequests_ > 0) --pendingRequests_;
}

void TServiceThread::PumpRequests(bool wait) {
  for (;;) {
    if (wait && terminated_) return;
    win::MSG msg;
    if (wait) {
      if (win::GetMessage(&msg, nullptr, 0, 0) <= 0) return;  // WM_QUIT or no queue
    } else {
      if (!win::PeekMessage(&msg, nullptr, 0, 0, win::PM_REMOVE)) return;
      if (msg.message == win::WM_QUIT) return;
    }
    if (msg.message == TM_SERVICE_CONTROL && msg.hwnd == nullptr) {
      NoteRequestTaken();
      ProcessRequest(static_cast<win::DWORD>(msg.wParam));
    } else {
      win::DispatchMessage(&msg);
    }
  }
}

void TServiceThread::ProcessRequest(win::DWORD control) {
  // Once a stop has been carried out, requests still queued behind it (a
  // second SIGTERM close after the first, a pause) are dropped: a second
  // stop would report the stop twice, and a pause would suspend a thread
  // that no request wakes any more. Interrogate still reports the state.
  if (terminated_ && control != win::SERVICE_CONTROL_INTERROGATE) return;
  ServiceState saved = service_.CurrentState();
  try {
    bool result = true;
    switch (control) {
      case win::SERVICE_CONTROL_STOP: result = service_.HandleStop(); break;
      case win::SERVICE_CONTROL_PAUSE: result = service_.HandlePause(); break;
      case win::SERVICE_CONTROL_CONTINUE: result = service_.HandleContinue(); break;
      case win::SERVICE_CONTROL_INTERROGATE: service_.HandleInterrogate(); break;
      case win::SERVICE_CONTROL_SHUTDOWN: service_.HandleShutdown(); break;
      default: result = service_.HandleCustomControl(control); break;
    }
    if (!result) service_.ChangeState(saved);
  } catch (...) {
    std::string failure = CurrentFailureText();
    if (control != win::SERVICE_CONTROL_SHUTDOWN) service_.ChangeState(saved);
    if (control >= win::SERVICE_CONTROL_STOP && control <= win::SERVICE_CONTROL_SHUTDOWN) {
      service_.WriteEventLog(ServiceFailedMessage(ControlNames[control - 1], failure), win::EVENTLOG_ERROR_TYPE, 0, 0);
    } else {
      service_.WriteEventLog(CustomControlFailedMessage(control, failure), win::EVENTLOG_ERROR_TYPE, 0, 0);
    }
  }
}

void TServiceThread::Execute() {
  // The queue comes first, so that requests can be posted from here on.
  win::MSG msg;
  win::PeekMessage(&msg, nullptr, win::WM_USER, win::WM_USER, win::PM_NOREMOVE);
  {
    std::lock_guard lock(mutex_);
    threadId_ = win::GetCurrentThreadId();
  }
  try {
    bool started = false;
    try {
      service_.ChangeState(ServiceState::ssStartPending);
      started = true;
      if (service_.OnStart()) service_.OnStart()(service_, started);
    } catch (...) {
      started = false;
      service_.WriteEventLog(ServiceFailedMessage(StartPhaseName, CurrentFailureText()), win::EVENTLOG_ERROR_TYPE, 0,
                             0);
    }
    if (!started) service_.endedWithFailure_ = true;
    if (started) {
      try {
        service_.ChangeState(ServiceState::ssRunning);
        if (service_.OnExecute()) service_.OnExecute()(service_);
        else PumpRequests(true);
        PumpRequests(false);
      } catch (...) {
        service_.endedWithFailure_ = true;
        service_.WriteEventLog(ServiceFailedMessage(RunPhaseName, CurrentFailureText()), win::EVENTLOG_ERROR_TYPE, 0,
                               0);
      }
    }
  } catch (...) {
    // Writing the entry itself failed; the thread still ends in order.
  }
  // From here on requests are dropped: the queue ends with the thread.
  std::lock_guard lock(mutex_);
  threadId_ = 0;
}

}  // namespace kv
