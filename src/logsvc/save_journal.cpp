#include "logsvc/save_journal.h"

#include <sstream>
#include <string_view>

#include "platform/durable_file.h"
#include "platform/file_read.h"
#include "platform/filesystem.h"

namespace kv {

std::string SaveJournal::PathFor(const std::string& bufferPath) { return bufferPath + ".saving"; }

// Two numbers on the first line, the target on the second: a path cannot
// hold a line break that the INI reader would give.
bool SaveJournal::Write(const std::string& path) const {
  const std::string text = std::to_string(targetBytes) + " " + std::to_string(bufferBytes) + "\n" + target + "\n";
  return win::ReplaceFileDurably(path, text);
}

std::optional<SaveJournal> SaveJournal::Read(const std::string& path) {
  // Only a regular file of the service's own is read: a FIFO planted under
  // the name would hold the start.
  if (!win::ForeignEntry(path).empty()) return std::nullopt;
  std::string text;
  if (!win::ReadFileContent(path, &text)) return std::nullopt;
  std::istringstream in(text);
  SaveJournal journal;
  std::string numbers;
  if (!std::getline(in, numbers) || !std::getline(in, journal.target) || journal.target.empty()) return std::nullopt;
  std::istringstream fields(numbers);
  if (!(fields >> journal.targetBytes >> journal.bufferBytes)) return std::nullopt;
  // Only ever a log file: a damaged journal must not cut anything else.
  const std::size_t slash = journal.target.rfind(win::PathDelim);
  const std::string_view name = std::string_view(journal.target).substr(slash == std::string::npos ? 0 : slash + 1);
  if (!name.starts_with("kvs") || !name.ends_with(".log")) return std::nullopt;
  return journal;
}

void SaveJournal::Remove(const std::string& path) { win::RemoveFileDurably(path); }

}  // namespace kv
