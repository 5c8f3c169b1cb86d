// Start, stop and shutdown of the logging path.
#include <algorithm>

#include "base/clock.h"
#include "base/exception.h"
#include "config/config_facts.h"
#include "config/log_svc_config.h"
#include "logsvc/event_line.h"
#include "logsvc/kvlog_service.h"
#include "logsvc/log_file.h"
#include "logsvc/start_facts.h"
#include "net/app_event_msg.h"
#include "net/msg_recv.h"
#include "net/relay_sender.h"
#include "platform/durable_file.h"
#include "platform/eventlog.h"
#include "platform/filesystem.h"
#include "platform/messages.h"
#include "platform/service_account.h"

namespace kv {
namespace {

constexpr std::uint32_t kCleanupPeriodMs = 12u * 60u * 60u * 1000u;

// Datagrams still waiting in the socket at stop are taken into the buffer
// first, but a flood must not hold the stop forever. The receive queue holds
// about half a million events of 100 bytes, a few seconds of work.
constexpr int kMaxDrainAtStop = 1000000;

// Lines left behind that are banners only (a start refused after its banner
// was written, an end right after a save) hold no event: saved, they would
// give a log file with nothing in it but the banner.
bool OnlyBanners(const TLogBuffer& lines, std::size_t count) {
  if (lines.Bytes() != count * (kBanner.size() + 2)) return false;
  return std::all_of(lines.begin(), lines.end(), [](const std::string& line) { return line == kBanner; });
}

}  // namespace

void TKVLogService::ServiceStart(TService&, bool& Started) {
  bool configured = false;
  try {
    mainThread_->Invoke([&] { configured = StartLoggingPath(); });
  } catch (const std::exception& failure) {
    // The failure itself is logged by the service host; the facts go first.
    std::string facts = StartFailureFacts(failure, Settings.ReceivePort, Settings.Folder);
    if (!facts.empty()) WriteEventLog(facts, win::EVENTLOG_ERROR_TYPE, 0, 0);
    ReportStartRefused(facts.empty() ? failure.what() : facts);
    throw;
  }
  if (!configured) {
    WriteEventLog("KVLogService configuation error", win::EVENTLOG_ERROR_TYPE, 0, 0);
    std::string facts = refusedSetting_.empty() ? ConfigFailureFacts(Settings.Folder) : refusedSetting_;
    if (facts.empty()) facts = LogFolderAccessFacts(Settings.Folder);
    if (!facts.empty()) WriteEventLog(facts, win::EVENTLOG_ERROR_TYPE, 0, 0);
    ReportStartRefused(facts.empty() ? "KVLogService configuation error" : facts);
    Started = false;
    return;
  }
  WriteEventLog("KVLogService started", win::EVENTLOG_INFORMATION_TYPE, 0, 0);
  for (const std::string& fact : SettingFacts()) WriteEventLog(fact, win::EVENTLOG_WARNING_TYPE, 0, 0);
  // The first cleanup right after each start: a service restarted more
  // often than every 12 hours would otherwise never delete a file.
  mainThread_->Invoke([this] {
    try {
      LogCleanupTimerTimer(*LogCleanupTimer);
    } catch (const std::exception& failure) {
      ReportIntakeFailure(failure);
    }
  });
}

// The reason stays beside the stopped state that follows, where `systemctl
// status` still shows it once the service manager has given up restarting.
void TKVLogService::ReportStartRefused(const std::string& reason) { ReportStatusText("start refused: " + reason); }

bool TKVLogService::AttachLogBuffer() {
  if (LogLines->Attached()) return false;
  const std::size_t recovered = LogLines->Attach(LogBufferPath());
  if (recovered == 0 || OnlyBanners(*LogLines, recovered)) return false;
  // A process ended without saving: its lines become a log file of their
  // own before anything new is added. Without the folder they wait for the
  // next save.
  if (!win::DirectoryExists(Settings.Folder)) return true;
  const DateTimeParts at = CurrentClock().LocalNow();
  const std::optional<std::string> target = SaveTargetFor(at);
  if (!target) return true;
  const std::string& path = *target;
  try {
    SaveBufferAs(path, at);
  } catch (const std::exception& failure) {
    WriteEventLog("KVLogService could not save the " + std::to_string(recovered) + " log lines left unsaved in " +
                      LogLines->Path() + " into " + path + ": " + failure.what(),
                  win::EVENTLOG_WARNING_TYPE, 0, 0);
    return true;
  }
  WriteEventLog("KVLogService recovered " + std::to_string(recovered) + " log lines left unsaved in " +
                    LogLines->Path() + " into " + path,
                win::EVENTLOG_INFORMATION_TYPE, 0, 0);
  return false;
}

bool TKVLogService::StartLoggingPath() {
  refusedSetting_.clear();
  if (!ReadServiceConfig(Settings)) return false;
  // A relay into the service's own port would make every event a new one
  // without end; one to no port would fail for every event.
  refusedSetting_ = RelayPortProblem(Settings.ReceivePort, Settings.RepeatPort);
  if (!refusedSetting_.empty()) return false;
  // A log folder the service's account may not write would fail every
  // save: refused at once, as a folder that cannot be made is.
  if (!win::FolderWriteProblem(Settings.Folder).empty()) return false;
  pendingFlush_.reset();
  lastFlushSave_ = {};
  eventsTaken_ = relaysSent_ = kernelDrops_ = queueDrops_ = 0;
  lastSaveAt_.reset();
  lastSaveFile_.clear();
  figuresRunning_ = true;
  try {
    if (!AttachLogBuffer()) LogLines->Clear();
    bufferTimer_->SetEnabled(true);
    win::SetIdleHandler([this] { LogLines->Flush(); });
    // The product is taken as an unsigned 32-bit count of milliseconds.
    MsgFlushTimer->SetInterval(static_cast<std::uint32_t>(Settings.Interval) * 1000u);
    MsgFlushTimer->SetEnabled(true);
    NoteNextSave();
    LogLines->Add(kBanner);
    LogCleanupTimer->SetInterval(kCleanupPeriodMs);
    LogCleanupTimer->SetEnabled(true);

    Repeater = std::make_unique<TAppEventMsg>(Settings.RepeatPort, "127.0.0.1");
    Repeater->Startup();
    Repeater->Open();
    relaySender_ = std::make_unique<TRelaySender>(
        *Repeater, [window = WindowHandle] { win::PostMessage(window, WM_RELAY_FAILED, 0, 0); });

    Receiver->Startup();
    receiverStarted_ = true;
    receiverOpen_ = true;  // a failed Open leaves a socket for Close to release
    Receiver->Open(WindowHandle, Settings.ReceivePort);
  } catch (...) {
    figuresRunning_ = false;
    ReleaseLoggingPath();
    throw;
  }
  ReportStatusFigures(true);
  return true;
}

// Stops the timers and releases the sockets without saving. A failed start
// leaves nothing running this way: the process ends after it anyway, and a
// timer or socket left behind would only produce noise until then.
void TKVLogService::ReleaseLoggingPath() {
  win::SetIdleHandler(nullptr);
  try {
    bufferTimer_->SetEnabled(false);
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
  relaySender_.reset();
  if (Repeater) {
    try {
      Repeater->Close();
    } catch (const std::exception&) {
    }
    Repeater->Cleanup();
    Repeater.reset();
  }
}

// A stop always ends stopped: once the receive socket is closed, a service
// that reported itself running again would take no event in. So a step that
// fails is reported and the stop goes on; lines a failed save leaves stay
// in the buffer file, where the next start saves them.
void TKVLogService::ServiceStop(TService&, bool& Stopped) {
  try {
    mainThread_->Invoke([this] { StopLoggingPath(); });
  } catch (const std::exception& failure) {
    ReportIntakeFailure(failure);
  }
  WriteEventLog("KVLogService stopped", win::EVENTLOG_INFORMATION_TYPE, 0, 0);
  Stopped = true;
}

// Each step marks itself done before it can fail, so a stop repeated after a
// failure goes on from where the last one stopped.
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
    ReadReceiveDrops();
    receiverOpen_ = false;
    try {
      Receiver->Close();
    } catch (const std::exception& failure) {
      ReportIntakeFailure(failure);  // the socket is let go all the same
    }
  }
  if (receiverStarted_) {
    receiverStarted_ = false;
    Receiver->Cleanup();
  }
  if (relaySender_) {
    // Every relay handed over goes out, and its failure is reported, before
    // the socket closes.
    relaySender_->Finish();
    ReportRelayFailures();
    relaySender_.reset();
  }
  if (Repeater) {
    std::unique_ptr<TAppEventMsg> repeater = std::move(Repeater);
    try {
      repeater->Close();
    } catch (const std::exception& failure) {
      ReportIntakeFailure(failure);
    }
    repeater->Cleanup();
  }
  LogCleanupTimer->SetEnabled(false);
  MsgFlushTimer->SetEnabled(false);
  win::SetIdleHandler(nullptr);
  bufferTimer_->SetEnabled(false);
  figuresRunning_ = false;  // no next save any more: the last follows now
  try {
    SaveLogFile();
  } catch (const std::exception& failure) {
    const std::string reason = win::ErrnoText();
    ReportIntakeFailure(failure);
    const std::string where = LogLines->Attached() ? "wait in " + LogLines->Path() + ", where the next start saves them"
                                                   : "are lost: the log buffer has no file";
    WriteEventLog("KVLogService could not save the log buffer at stop (" + reason + "): its " +
                      std::to_string(LogLines->Count()) + " log lines " + where,
                  win::EVENTLOG_ERROR_TYPE, 0, 0);
  }
  ReportFailureRepeats(true);
  ReportStatusFigures(true);  // also when the folder was missing
}

void TKVLogService::ServiceShutdown(TService& Sender) {
  bool stopped = true;
  ServiceStop(Sender, stopped);
}

}  // namespace kv
