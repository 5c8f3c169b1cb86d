// Deleting old log files below the log folder.
#include "base/ascii.h"
#include "base/datetime.h"
#include "logsvc/kvlog_service.h"
#include "platform/filesystem.h"

namespace kv {
namespace {

// "dir/kvs1.log" -> ".log"; "" when the last "." is not in the file name.
std::string_view ExtractFileExt(std::string_view path) {
  std::size_t dot = path.rfind('.');
  std::size_t delim = path.rfind(win::PathDelim);
  if (dot == std::string_view::npos || (delim != std::string_view::npos && dot < delim)) return {};
  return path.substr(dot);
}

std::string_view ExtractFileName(std::string_view path) {
  std::size_t delim = path.rfind(win::PathDelim);
  return delim == std::string_view::npos ? path : path.substr(delim + 1);
}

}  // namespace

void TKVLogService::LogCleanupTimerTimer(TTimer&) {
  FoundFiles->clear();
  LogFindFile->SetSearchDirectory(Settings.Folder);
  LogFindFile->SetLastWriteDateTo(Date() - Settings.LogKeepDays);
  LogFindFile->SetLastWriteDateFrom(0);
  LogFindFile->StartSearch();  // what was collected before a failure is still handled

  // The search names every file below the folder as it, less one trailing
  // separator, followed by the path below it.
  std::string base = Settings.Folder;
  if (!base.empty() && base.back() == win::PathDelim) base.pop_back();
  const std::size_t count = FoundFiles->size();
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& entry = (*FoundFiles)[i];
    if (UpperAscii(ExtractFileExt(entry)) != ".LOG") continue;
    if (!UpperAscii(ExtractFileName(entry)).starts_with("KVS")) continue;
    if (!win::FileExists(entry) || entry.size() <= base.size() + 1) continue;
    // Reached again from the folder without following any link: a folder on
    // the way replaced by a link since the search never leads outside.
    if (!win::DeleteFileBelow(base, entry.substr(base.size() + 1)))
      LogLines->Add("LogCleanup:*ERROR* log delete error, file = " + entry);
  }
}

void TKVLogService::LogFindFileFindFile(TFindFile&, const std::string& SearchPath, const TSearchRec& CurrentRec) {
  FoundFiles->push_back(SearchPath + win::PathDelim + CurrentRec.Name);
}

}  // namespace kv
