// Saving the log buffer.
#include "base/clock.h"
#include "config/log_svc_config.h"
#include "logsvc/event_line.h"
#include "logsvc/kvlog_service.h"
#include "logsvc/log_file.h"
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
  SaveBufferAs(LogFilePath(Folder, CurrentClock().LocalNow()));
  folderMissingReported_ = false;
}

void TKVLogService::SaveBufferAs(const std::string& path) {
  LogLines->Add(SavedFileLine(path));
  LogLines->SaveAs(path);
}

void TKVLogService::MsgFlushTimerTimer(TTimer&) {
  SaveLogFile();
  LogLines->Add(kBanner);
}

void TKVLogService::WriteBufferTimerTimer(TTimer&) { LogLines->Tick(); }

}  // namespace kv
