// Saving the log buffer.
#include <cstdint>
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

std::string LogBufferPath() {
  return GetProgramFilesDir() + win::PathDelim + "KelvaneSystem" + win::PathDelim + "KVLogService.buf";
}

void TKVLogService::SaveLogFile() {
  if (!win::DirectoryExists(Folder)) {
    // The lines stay in the buffer; one warning until a save works again.
    if (!folderMissingReported_) {
      folderMissingReported_ = true;
      WriteEventLog("KVLogService log folder " + Folder +
                        " does not exist; the log lines are kept in the log buffer until it does",
                    win::EVENTLOG_WARNING_TYPE, 0, 0);
    }
    return;
  }
  const DateTimeParts at = CurrentClock().LocalNow();
  const std::optional<std::string> target = SaveTargetFor(at);
  if (!target) return;  // the lines stay in the buffer for the next save
  const std::string& path = *target;
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
  const std::string usual = LogFilePath(Folder, at);
  const std::string taken = win::ForeignEntry(usual);
  if (taken.empty()) return usual;
  // Someone else's entry under the name (a planted link or FIFO, a folder):
  // never written through, never waited for.
  std::optional<std::string> chosen;
  for (int alternative = 1; alternative <= kAlternativeLogNames && !chosen; ++alternative) {
    std::string path = LogFilePath(Folder, at, alternative);
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
  // Relay failures whose notice could not be posted wait no longer than this.
  ReportRelayFailures();
  ReportStatusFigures(false);
}

}  // namespace kv
