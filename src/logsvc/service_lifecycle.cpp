// Start, stop and shutdown of the logging path.
#include "base/exception.h"
#include "config/log_svc_config.h"
#include "logsvc/event_line.h"
#include "logsvc/kvlog_service.h"
#include "net/app_event_msg.h"
#include "net/msg_recv.h"
#include "platform/eventlog.h"

namespace kv {
namespace {

constexpr std::uint32_t kCleanupPeriodMs = 12u * 60u * 60u * 1000u;

// Datagrams still waiting in the socket at stop are taken into the buffer
// first, but a flood must not hold the stop forever. The receive queue holds
// about half a million events of 100 bytes, a few seconds of work.
constexpr int kMaxDrainAtStop = 1000000;

}  // namespace

void TKVLogService::ServiceStart(TService&, bool& Started) {
  bool configured = false;
  mainThread_->Invoke([&] { configured = StartLoggingPath(); });
  if (!configured) {
    WriteEventLog("KVLogService configuation error", win::EVENTLOG_ERROR_TYPE, 0, 0);
    Started = false;
    return;
  }
  WriteEventLog("KVLogService started", win::EVENTLOG_INFORMATION_TYPE, 0, 0);
}

bool TKVLogService::StartLoggingPath() {
  if (!ReadServiceConfig(ReceivePort, RepeatPort, Interval, Folder, LogKeepDays)) return false;
  try {
    LogLines->Clear();
    // The product is taken as an unsigned 32-bit count of milliseconds.
    MsgFlushTimer->SetInterval(static_cast<std::uint32_t>(Interval) * 1000u);
    MsgFlushTimer->SetEnabled(true);
    LogLines->Add(kBanner);
    LogCleanupTimer->SetInterval(kCleanupPeriodMs);
    LogCleanupTimer->SetEnabled(true);

    Repeater = std::make_unique<TAppEventMsg>(RepeatPort, "127.0.0.1");
    Repeater->Startup();
    Repeater->Open();

    Receiver->Startup();
    receiverStarted_ = true;
    receiverOpen_ = true;  // a failed Open leaves a socket for Close to release
    Receiver->Open(WindowHandle, ReceivePort);
  } catch (...) {
    ReleaseLoggingPath();
    throw;
  }
  return true;
}

// Stops the timers and releases the sockets without saving. A failed start
// leaves nothing running this way: the process ends after it anyway, and a
// timer or socket left behind would only produce noise until then.
void TKVLogService::ReleaseLoggingPath() {
  try {
    MsgFlushTimer->SetEnabled(false);
    LogCleanupTimer->SetEnabled(false);
  } catch (const std::exception&) {
  }
  if (receiverOpen_) {
    receiverOpen_ = false;
    try {
      Receiver->Close();
    } catch (const std::exception&) {
    }
  }
  if (receiverStarted_) {
    receiverStarted_ = false;
    Receiver->Cleanup();
  }
  if (Repeater) {
    try {
      Repeater->Close();
    } catch (const std::exception&) {
    }
    Repeater->Cleanup();
    Repeater.reset();
  }
}

void TKVLogService::ServiceStop(TService&, bool& Stopped) {
  mainThread_->Invoke([this] { StopLoggingPath(); });
  WriteEventLog("KVLogService stopped", win::EVENTLOG_INFORMATION_TYPE, 0, 0);
  Stopped = true;
}

// Each step marks itself done before it can fail, so a stop repeated after a
// failure goes on from where the last one stopped instead of failing again
// at a socket that is already closed.
void TKVLogService::StopLoggingPath() {
  if (receiverOpen_) {
    // What has reached the socket before the stop is logged and relayed.
    for (int i = 0; i < kMaxDrainAtStop; ++i) {
      bool more = false;
      try {
        more = ReadDatagram();
      } catch (const std::exception& failure) {
        ReportIntakeFailure(failure);
      }
      if (!more) break;
    }
    SendRelays();
    ReportReceiveLoss(true);
    receiverOpen_ = false;
    Receiver->Close();
  }
  if (receiverStarted_) {
    receiverStarted_ = false;
    Receiver->Cleanup();
  }
  if (Repeater) {
    std::unique_ptr<TAppEventMsg> repeater = std::move(Repeater);
    try {
      repeater->Close();
    } catch (...) {
      repeater->Cleanup();
      throw;
    }
    repeater->Cleanup();
  }
  LogCleanupTimer->SetEnabled(false);
  MsgFlushTimer->SetEnabled(false);
  SaveLogFile();
}

void TKVLogService::ServiceShutdown(TService& Sender) {
  bool stopped = true;
  ServiceStop(Sender, stopped);
}

}  // namespace kv
