// Saving the log buffer.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "base/clock.h"
#include "base/exception.h"
#include "config/log_svc_config.h"
#include "logsvc/event_line.h"
#include "logsvc/kvlog_service.h"
#include "logsvc/log_file.h"
#include "platform/durable_file.h"
#include "platform/eventlog.h"
#include "platform/filesystem.h"

namespace kv {
namespace {

// Flush commands closer together than this are saved together: at most
// five durable writes a second, however many commands come.
constexpr auto kFlushSaveGap = std::chrono::milliseconds(200);

}  // namespace

std::string LogBufferPath() { return SettingsFolder() + win::PathDelim + "KVLogService.buf"; }

bool TKVLogService::LogFolderThere() {
  if (win::DirectoryExists(Settings.Folder)) return true;
  // The lines stay in the buffer; one warning until a save works again.
  if (!folderMissingReported_) {
    folderMissingReported_ = true;
    WriteEventLog("KVLogService log folder " + Settings.Folder +
                      " does not exist; the log lines are kept in the log buffer until it does",
                  win::EVENTLOG_WARNING_TYPE, 0, 0);
  }
  return false;
}

void TKVLogService::SaveLogFile() {
  mainThreadOwner_.Check();
  if (!LogFolderThere()) return;
  const DateTimeParts at = CurrentClock().LocalNow();
  const std::string usual = LogFilePath(Settings.Folder, at);
  // Flush commands waiting for a file of another second go there first;
  // those of this second are written by this save, into the file they name.
  if (pendingFlush_ && pendingFlush_->usual != usual) CompleteFlushSave();
  const std::optional<std::string> target = pendingFlush_ ? pendingFlush_->path : SaveTargetFor(at);
  pendingFlush_.reset();
  if (!target) return;  // the lines stay in the buffer for the next save
  SaveInto(*target, at);
}

bool TKVLogService::FlushCommandSave() {
  const auto now = win::MonotonicNow();
  const DateTimeParts at = CurrentClock().LocalNow();
  const std::string usual = LogFilePath(Settings.Folder, at);
  if (pendingFlush_ && pendingFlush_->usual != usual) CompleteFlushSave();
  // The folder is looked at when the lines are written; a command that
  // joins those waiting needs no look of its own.
  if (!pendingFlush_ && !LogFolderThere()) return true;  // nothing to do, as for any save
  if (pendingFlush_ || now - lastFlushSave_ < kFlushSaveGap) {
    // Saved with the next write into the same file: the saved-file line
    // marks the place, as a save of its own would. The file is chosen once
    // for the commands of one second, so a taken name warns once.
    if (!pendingFlush_) pendingFlush_ = PendingFlush{usual, SaveTargetFor(at), at};
    if (pendingFlush_->path) LogLines->Add(SavedFileLine(*pendingFlush_->path));
    return true;
  }
  lastFlushSave_ = now;
  const std::optional<std::string> target = SaveTargetFor(at);
  if (!target) return true;  // the lines stay in the buffer for the next save
  return SaveReportingOnce([&] { SaveInto(*target, at); });
}

void TKVLogService::CompleteFlushSave() {
  if (!pendingFlush_) return;
  const PendingFlush pending = std::move(*pendingFlush_);
  pendingFlush_.reset();
  lastFlushSave_ = win::MonotonicNow();
  if (!pending.path || !LogFolderThere()) return;
  if (SaveReportingOnce([&] { SaveInto(*pending.path, pending.at); })) LogLines->Add(kBanner);
}

bool TKVLogService::SaveReportingOnce(const std::function<void()>& save) {
  try {
    save();
    return true;
  } catch (const std::exception& failure) {
    if (failure.what() == reportedSaveFailure_) return false;
    reportedSaveFailure_ = failure.what();
    const std::string reason = win::ErrnoText();
    ReportIntakeFailure(failure);
    try {
      WriteEventLog("KVLogService could not save the log buffer (" + reason + "); its lines wait in " +
                        (LogLines->Attached() ? LogLines->Path() : std::string("memory")) +
                        " for the next save that works",
                    win::EVENTLOG_WARNING_TYPE, 0, 0);
    } catch (const std::exception&) {
      // The event log's own failure must not take the intake down.
    }
    return false;
  }
}

void TKVLogService::SaveInto(const std::string& path, const DateTimeParts& at) {
  try {
    SaveBufferAs(path, at);
  } catch (const std::exception&) {
    ++failedSaves_;
    ReportStatusFigures(true);
    throw;
  }
  folderMissingReported_ = false;
  const std::uint64_t failed = std::exchange(failedSaves_, 0);
  ReportStatusFigures(true);
  if (failed == 0) return;
  reportedSaveFailure_.clear();
  try {
    WriteEventLog(
        "KVLogService saved the log buffer again, into " + path + ", after " + std::to_string(failed) + " failed saves",
        win::EVENTLOG_INFORMATION_TYPE, 0, 0);
  } catch (const std::exception&) {
    // The save itself worked; the event log's failure must not undo it.
  }
}

void TKVLogService::SaveLogFileReportingOnce() {
  try {
    SaveLogFile();
  } catch (const std::exception& failure) {
    if (failure.what() == reportedSaveFailure_) throw EAbort();
    reportedSaveFailure_ = failure.what();
    throw;
  }
}

std::optional<std::string> TKVLogService::SaveTargetFor(const DateTimeParts& at) {
  const std::string usual = LogFilePath(Settings.Folder, at);
  const std::string taken = win::ForeignEntry(usual);
  if (taken.empty()) return usual;
  // Someone else's entry under the name (a planted link or FIFO, a folder):
  // never written through, never waited for.
  std::optional<std::string> chosen;
  for (int alternative = 1; alternative <= kAlternativeLogNames && !chosen; ++alternative) {
    std::string path = LogFilePath(Settings.Folder, at, alternative);
    if (win::ForeignEntry(path).empty()) chosen = std::move(path);
  }
  WriteEventLog("KVLogService did not save into " + usual + ": it " + taken +
                    (chosen ? "; the log lines went into " + *chosen
                            : "; the " + std::to_string(kAlternativeLogNames) +
                                  " names after it are taken as well, so the log lines stay in the log buffer for "
                                  "the next save"),
                win::EVENTLOG_WARNING_TYPE, 0, 0);
  return chosen;
}

void TKVLogService::SaveBufferAs(const std::string& path, const DateTimeParts& at) {
  LogLines->Add(SavedFileLine(path));
  LogLines->SaveAs(path);
  lastSaveAt_ = at;
  lastSaveFile_ = path.substr(path.rfind(win::PathDelim) + 1);
}

void TKVLogService::MsgFlushTimerTimer(TTimer&) {
  NoteNextSave();  // the timer counts the next period from now
  SaveLogFileReportingOnce();
  LogLines->Add(kBanner);
}

void TKVLogService::WriteBufferTimerTimer(TTimer&) {
  LogLines->Tick();
  if (pendingFlush_ && win::MonotonicNow() - lastFlushSave_ >= kFlushSaveGap) CompleteFlushSave();
  ReportFailureRepeats(false);
  // Relay failures whose notice could not be posted wait no longer than this.
  ReportRelayFailures();
  ReportStatusFigures(false);
}

}  // namespace kv
