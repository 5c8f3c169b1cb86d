// Saving the log buffer.
#include "base/clock.h"
#include "logsvc/event_line.h"
#include "logsvc/kvlog_service.h"
#include "logsvc/log_file.h"
#include "platform/filesystem.h"

namespace kv {

void TKVLogService::SaveLogFile() {
  if (!win::DirectoryExists(Folder)) return;
  std::string path = LogFilePath(Folder, CurrentClock().LocalNow());
  LogLines->Add(SavedFileLine(path));
  WriteLogFile(path, *LogLines);
  LogLines->Clear();
}

void TKVLogService::MsgFlushTimerTimer(TTimer&) {
  SaveLogFile();
  LogLines->Add(kBanner);
}

}  // namespace kv
