// TFindFile: walks a directory and, when asked, its subdirectories, and
// reports every file (never a directory) to a handler, optionally only files
// whose last-write day lies in a range of days. A nest limit stops runaway
// descents. Links (symbolic links, junctions, other reparse points) are
// neither followed nor reported, so a search never leaves the tree it
// starts in and a link loop cannot end it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/datetime.h"
#include "base/exception.h"
#include "platform/filesystem.h"

namespace kv {

// Raised when a search would go deeper than MaxNestLevel.
class ENestLevelError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "ENestLevelError"; }
};

// One directory entry as the enumeration found it.
struct TSearchRec {
  std::int32_t Time = 0;         // local DOS date-time (date high, time low); 0 outside 1980..2107
  std::uint32_t Size = 0;        // low 32 bits of the file size
  std::int32_t Attr = 0;         // attribute bits (win::FILE_ATTRIBUTE_*)
  std::string Name;              // name only, no folder
  std::int32_t ExcludeAttr = 0;  // attribute bits the enumeration leaves out
  win::WIN32_FIND_DATA FindData;
};

class TFindFile;

// sender, the directory the file was found in (as the search built it, no
// trailing separator), the entry.
using TFindFileEvent = std::function<void(TFindFile& sender, const std::string& searchPath, const TSearchRec& rec)>;

// Owns its settings and, during a search, the directory enumerations it has
// open (each closed on every path).
//
// Thread contract: one thread at a time per instance; the handler runs on
// the thread that called StartSearch, before StartSearch returns.
class TFindFile {
 public:
  TFindFile() = default;
  TFindFile(const TFindFile&) = delete;
  TFindFile& operator=(const TFindFile&) = delete;

  const std::string& SearchDirectory() const { return searchDirectory_; }
  void SetSearchDirectory(std::string directory) { searchDirectory_ = std::move(directory); }

  bool Recurse() const { return recurse_; }  // default false
  void SetRecurse(bool recurse) { recurse_ = recurse; }

  // Directories down to this many levels below the start are searched; one
  // level more raises ENestLevelError. Default 10.
  std::int32_t MaxNestLevel() const { return maxNestLevel_; }
  void SetMaxNestLevel(std::int32_t level) { maxNestLevel_ = level; }

  bool UseLastWriteDate() const { return useLastWriteDate_; }  // default false
  void SetUseLastWriteDate(bool use) { useLastWriteDate_ = use; }

  // Only the whole-day parts count; both bounds are inclusive.
  TDateTime LastWriteDateFrom() const { return lastWriteDateFrom_; }
  void SetLastWriteDateFrom(TDateTime value);
  TDateTime LastWriteDateTo() const { return lastWriteDateTo_; }
  void SetLastWriteDateTo(TDateTime value);

  const TFindFileEvent& OnFindFile() const { return onFindFile_; }
  void SetOnFindFile(TFindFileEvent handler) { onFindFile_ = std::move(handler); }

  // Directory levels currently being searched; 0 when idle.
  std::int32_t NestLevel() const { return nestLevel_; }

  // Runs one complete search from SearchDirectory (one trailing separator
  // dropped). True when it ran to its end, false when an error ended it (the
  // nest limit, a file whose date cannot be converted, the handler, the
  // platform); never passes an error on. An empty SearchDirectory searches
  // nothing and gives false, as does a call from inside a running search.
  bool StartSearch();

 private:
  void ScanDirectory(const std::string& path);
  bool InDateRange(const std::string& filePath) const;
  void Report(const std::string& path, const TSearchRec& rec);

  TFindFileEvent onFindFile_;
  std::int32_t maxNestLevel_ = 10;
  bool recurse_ = false;
  bool useLastWriteDate_ = false;
  TDateTime lastWriteDateFrom_ = 0;
  TDateTime lastWriteDateTo_ = 0;
  std::string searchDirectory_;
  std::int32_t nestLevel_ = 0;
  bool searching_ = false;
};

}  // namespace kv
