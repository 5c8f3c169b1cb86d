// Saving the log buffer.
#include <cstdint>
#include <utility>

#include "base/clock.h"
#include "base/exception.h"
#include "config/log_svc_config.h"
#include "logsvc/event_line.h"
#include "logsvc/kvlog_service.h"
#include "logsvc/log_file.h"
#include "platform/eventlog.h"
#include "platform/filesystem.h"

namespace kv {

std::string LogBufferPath() { return ServiceConfigFolder() + win::PathDelim + "KVLogService.buf"; }

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
  const std::string path = LogFilePath(Folder, at);
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

void TKVLogService::SaveBufferAs(const std::string& path, const DateTimeParts& at) {
  LogLines->Add(SavedFileLine(path));
  LogLines->SaveAs(path);
  lastSaveAt_ = at;
  lastSaveFile_ = LogFileName(at);
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
