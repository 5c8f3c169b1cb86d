#include "findfile/find_file.h"

#include <cmath>

#include "platform/error.h"

namespace kv {
namespace {

constexpr std::int32_t kAnyFile = 63;              // read-only, hidden, system, volume label, directory, archive
constexpr std::int32_t kSpecialAttributes = 0x1E;  // hidden, system, volume label, directory

// One directory enumeration with an attribute mask, closed on every path.
class DirectoryEnumeration {
 public:
  DirectoryEnumeration(const std::string& folder, std::int32_t attributes, TSearchRec& rec) : rec_(rec) {
    rec_.ExcludeAttr = ~attributes & kSpecialAttributes;
    handle_ = win::FindFirstFile(folder, &rec_.FindData);
    if (handle_ != win::INVALID_HANDLE_VALUE && !Fill()) more_ = Next();
  }
  ~DirectoryEnumeration() {
    if (handle_ != win::INVALID_HANDLE_VALUE) win::FindClose(handle_);
  }
  DirectoryEnumeration(const DirectoryEnumeration&) = delete;
  DirectoryEnumeration& operator=(const DirectoryEnumeration&) = delete;

  // An entry is in `rec`.
  bool HasEntry() const { return handle_ != win::INVALID_HANDLE_VALUE && more_; }

  // Moves to the next entry the mask lets through; false at the end (or
  // when the platform can read no further).
  bool Next() {
    while (win::FindNextFile(handle_, &rec_.FindData)) {
      if (Fill()) return more_ = true;
    }
    return more_ = false;
  }

 private:
  // Copies the find data into the record; false when the mask leaves the
  // entry out.
  bool Fill() {
    const win::WIN32_FIND_DATA& data = rec_.FindData;
    if ((static_cast<std::int32_t>(data.dwFileAttributes) & rec_.ExcludeAttr) != 0) return false;
    win::FILETIME local;
    win::WORD date = 0;
    win::WORD time = 0;
    if (win::FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) &&
        win::FileTimeToDosDateTime(&local, &date, &time)) {
      rec_.Time = static_cast<std::int32_t>((static_cast<std::uint32_t>(date) << 16) | time);
    } else {
      rec_.Time = 0;
    }
    rec_.Size = data.nFileSizeLow;
    rec_.Attr = static_cast<std::int32_t>(data.dwFileAttributes);
    rec_.Name = data.cFileName;
    return true;
  }

  TSearchRec& rec_;
  win::HANDLE handle_ = win::INVALID_HANDLE_VALUE;
  bool more_ = true;
};

// The whole-day part, truncated toward zero.
double WholeDays(TDateTime value) { return std::trunc(value); }

}  // namespace

void TFindFile::SetLastWriteDateFrom(TDateTime value) {
  if (value != lastWriteDateFrom_) lastWriteDateFrom_ = value;
}

void TFindFile::SetLastWriteDateTo(TDateTime value) {
  if (value != lastWriteDateTo_) lastWriteDateTo_ = value;
}

bool TFindFile::StartSearch() {
  // A search from the whole file system's root is never what an empty
  // setting means; and a nested call would corrupt the running search's
  // level count.
  if (searchDirectory_.empty() || searching_) return false;
  std::string path = searchDirectory_;
  if (path.back() == win::PathDelim) path.pop_back();
  searching_ = true;
  bool completed = true;
  try {
    ScanDirectory(path);
  } catch (...) {
    completed = false;
  }
  nestLevel_ = 0;
  searching_ = false;
  return completed;
}

void TFindFile::ScanDirectory(const std::string& path) {
  if (nestLevel_ > maxNestLevel_) throw ENestLevelError("Maximum Nest level exceeded");
  ++nestLevel_;
  {
    TSearchRec rec;
    // "" is what is left of the root folder "/" once its separator is gone.
    DirectoryEnumeration entries(path.empty() ? std::string(1, win::PathDelim) : path, kAnyFile, rec);
    for (bool more = entries.HasEntry(); more; more = entries.Next()) {
      // A link (symbolic link, junction, any reparse point) is neither
      // entered nor reported: what it leads to lies outside the tree, or in
      // it already (a loop), and a file named through it is not in it.
      if ((rec.Attr & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
      if ((rec.Attr & win::FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (recurse_ && rec.Name != "." && rec.Name != "..") ScanDirectory(path + win::PathDelim + rec.Name);
        continue;
      }
      if (!useLastWriteDate_ || InDateRange(path + win::PathDelim + rec.Name)) Report(path, rec);
    }
  }
  --nestLevel_;
}

bool TFindFile::InDateRange(const std::string& filePath) const {
  win::FILETIME lastWrite;
  win::FILETIME local;
  win::WORD date = 0;
  win::WORD time = 0;
  if (!win::GetFileLastWriteTime(filePath, &lastWrite) || !win::FileTimeToLocalFileTime(&lastWrite, &local) ||
      !win::FileTimeToDosDateTime(&local, &date, &time))
    RaiseLastOSError();
  TDateTime written = 0;
  if (!TryEncodeDateTime((date >> 9) + 1980, (date >> 5) & 0x0F, date & 0x1F, time >> 11, (time >> 5) & 0x3F,
                         (time & 0x1F) * 2, 0, written))
    throw Exception("Invalid argument to date encode");
  const double day = WholeDays(written);
  return WholeDays(lastWriteDateFrom_) <= day && day <= WholeDays(lastWriteDateTo_);
}

void TFindFile::Report(const std::string& path, const TSearchRec& rec) {
  // A copy: the handler may replace itself while it runs.
  TFindFileEvent handler = onFindFile_;
  if (handler) handler(*this, path, rec);
}

}  // namespace kv
