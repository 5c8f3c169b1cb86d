#include "logsvc/log_buffer.h"

#include <algorithm>
#include <optional>

#include "base/exception.h"
#include "logsvc/save_journal.h"
#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/file_read.h"

namespace kv {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr auto kSyncPeriod = std::chrono::seconds(1);
constexpr auto kRetryPeriod = std::chrono::seconds(1);
constexpr auto kIdleWriteGap = std::chrono::milliseconds(2);

std::size_t CountLineEnds(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t at = text.find(kLineEnd); at != std::string_view::npos; at = text.find(kLineEnd, at + 2)) ++count;
  return count;
}

}  // namespace

TLogBuffer::~TLogBuffer() {
  owner_.Check();
  sync_.Stop();
  // What was not saved stays in the file for the next start.
  if (file_.IsOpen()) {
    WritePending();
    if (dirty_) file_.SyncData();
  }
}

void TLogBuffer::Add(std::string_view line) {
  owner_.Check();
  const std::size_t bytes = line.size() + kLineEnd.size();
  if (failing_ && pending_.size() + bytes > memoryBound_) {
    ++dropped_;
    return;
  }
  if (pending_.capacity() == 0) pending_.reserve(kBlockBytes);
  pending_.append(line);
  pending_.append(kLineEnd);
  const std::size_t breaks = CountLineEnds(line);
  if (breaks > 0) multiLine_.emplace_back(count_, breaks + 1);
  ++count_;
  lastLine_.assign(line);
  lastLineKnown_ = true;
  if (pending_.size() >= kBlockBytes && file_.IsOpen() && !failing_) WritePending();
}

void TLogBuffer::Clear() {
  owner_.Check();
  pending_.clear();
  if (pending_.capacity() > 2 * kBlockBytes) pending_ = std::string();
  if (fileBytes_ > 0) EmptyFile();
  fileBytes_ = 0;
  ResetCounts();
}

// Cuts the buffer file to nothing. When that fails the file is let go (the
// buffer goes on in memory until a new one can be opened): writing after
// lines it no longer counts would save them twice.
void TLogBuffer::EmptyFile() {
  if (!file_.IsOpen()) return;
  if (file_.Truncate(0)) {
    dirty_ = true;
    return;
  }
  BeginEpisode("cannot be emptied");
  ReplaceFile(win::LockedAppendFile());
}

void TLogBuffer::ResetCounts() {
  count_ = 0;
  multiLine_.clear();
  lastLine_.clear();
  lastLineKnown_ = false;
}

std::string TLogBuffer::ReadAll() const {
  std::string text;
  text.resize(static_cast<std::size_t>(fileBytes_));
  std::size_t have = 0;
  while (have < text.size()) {
    std::size_t read = 0;
    if (!file_.ReadAt(have, text.data() + have, text.size() - have, &read) || read == 0) break;
    have += read;
  }
  text.resize(have);
  text += pending_;
  return text;
}

std::shared_ptr<const std::vector<std::string>> TLogBuffer::ReadLines() const {
  auto lines = std::make_shared<std::vector<std::string>>();
  lines->reserve(count_);
  const std::string text = ReadAll();
  std::size_t at = 0;
  auto multi = multiLine_.begin();
  while (lines->size() < count_ && at < text.size()) {
    std::size_t pieces = 1;
    if (multi != multiLine_.end() && multi->first == lines->size()) pieces = (multi++)->second;
    std::size_t end = at;
    for (std::size_t i = 0; i < pieces; ++i) {
      std::size_t found = text.find(kLineEnd, end);
      if (found == std::string::npos) found = text.size();
      end = i + 1 < pieces ? found + kLineEnd.size() : found;
      if (end > text.size()) end = text.size();
    }
    lines->emplace_back(text, at, end - at);
    at = end + kLineEnd.size();
  }
  lines->resize(count_);  // a file that could not be read shows empty lines
  return lines;
}

std::string TLogBuffer::operator[](std::size_t index) const {
  owner_.Check();
  if (index + 1 == count_ && lastLineKnown_) return lastLine_;
  auto lines = ReadLines();
  return index < lines->size() ? (*lines)[index] : std::string();
}

TLogBuffer::const_iterator TLogBuffer::begin() const {
  owner_.Check();
  return const_iterator(ReadLines(), 0);
}

TLogBuffer::const_iterator TLogBuffer::end() const { return const_iterator(nullptr, count_); }

std::size_t TLogBuffer::Attach(const std::string& path) {
  owner_.Check();
  path_ = path;
  folder_ = win::FolderOf(path);
  if (!file_.Open(path)) {
    if (win::GetLastError() == win::ERROR_SHARING_VIOLATION) {
      path_.clear();
      throw Exception("The log buffer file " + path + " is in use by another process");
    }
    BeginEpisode("cannot be opened");
    return 0;
  }
  // A file just made must stay in its folder: syncing its lines alone would
  // not keep them through a power cut.
  win::FlushFolder(folder_);
  UndoUnfinishedSave();
  return TakeFileContent();
}

// A save that copied the buffer file into a log file and was cut short by
// the end of the process: the lines are still in the buffer file, so what
// the copy put into the log file goes again, and they are saved once.
void TLogBuffer::UndoUnfinishedSave() {
  const std::string journalPath = SaveJournal::PathFor(path_);
  const std::optional<SaveJournal> journal = SaveJournal::Read(journalPath);
  if (!journal) return;
  std::uint64_t targetNow = 0;
  if (win::GetFileSizeOf(journal->target, &targetNow) && journal->Unfinished(targetNow, file_.Size())) {
    if (win::CutFileBack(journal->target, journal->targetBytes)) {
      Report("KVLogService took back " + std::to_string(targetNow - journal->targetBytes) +
                 " bytes of an unfinished save from " + journal->target + ": their lines are still in " + path_,
             win::EVENTLOG_INFORMATION_TYPE);
    } else {
      Report("KVLogService could not take back an unfinished save from " + journal->target + ": " + win::ErrnoText() +
                 ". Some lines may be in it and in the next log file",
             win::EVENTLOG_WARNING_TYPE);
    }
  }
  SaveJournal::Remove(journalPath);
}

std::size_t TLogBuffer::TakeFileContent() {
  // Lines left in the file come before those already in memory.
  fileBytes_ = file_.Size();
  std::size_t lines = 0;
  if (fileBytes_ > 0) {
    std::vector<char> block(static_cast<std::size_t>(std::min<std::uint64_t>(fileBytes_, 1 << 20)));
    std::uint64_t at = 0;
    std::uint64_t whole = 0;  // bytes up to the end of the last whole line
    char previous = 0;
    while (at < fileBytes_) {
      std::size_t read = 0;
      if (!file_.ReadAt(at, block.data(), block.size(), &read) || read == 0) break;
      for (std::size_t i = 0; i < read; ++i) {
        if (block[i] == '\n' && previous == '\r') {
          ++lines;
          whole = at + i + 1;
        }
        previous = block[i];
      }
      at += read;
    }
    if (whole < fileBytes_) {
      // A last line cut short: a power cut in mid-write (or the zeros some
      // file systems leave there). It was never durable whole, and saved it
      // would be a torn line in a log file, so it goes. Should the file not
      // take the cut, the line is ended, so that the lines after it stay
      // lines of their own.
      if (file_.Truncate(whole)) {
        Report("KVLogService left out " + std::to_string(fileBytes_ - whole) +
                   " bytes of a log line cut short at the end of " + path_,
               win::EVENTLOG_INFORMATION_TYPE);
        fileBytes_ = whole;
        dirty_ = true;
      } else if (file_.Append(kLineEnd)) {
        fileBytes_ += kLineEnd.size();
        ++lines;
      }
    }
    for (auto& entry : multiLine_) entry.first += lines;
    count_ += lines;
    if (lines > 0) lastLineKnown_ = lastLineKnown_ && count_ > lines;
  }
  lastSync_ = win::MonotonicNow();
  WritePending();
  return lines;
}

bool TLogBuffer::WritePending() {
  if (!file_.IsOpen()) return false;
  if (!pending_.empty()) {
    if (!file_.Append(pending_)) {
      BeginEpisode("cannot be written");
      return false;
    }
    fileBytes_ += pending_.size();
    pending_.clear();
    lastWrite_ = win::MonotonicNow();
    // Memory that held kept lines goes back once they are written.
    if (pending_.capacity() > 2 * kBlockBytes) {
      pending_ = std::string();
      pending_.reserve(kBlockBytes);
    }
    dirty_ = true;
  }
  if (failing_ && file_.IsAt(path_)) EndEpisode();
  return true;
}

void TLogBuffer::Flush() {
  owner_.Check();
  if (failing_ || pending_.empty()) return;
  // While datagrams keep coming the loop falls idle between almost every
  // two of them; one write per 2 ms is enough there, and the tick writes
  // whatever a skipped moment left.
  const Clock::time_point now = win::MonotonicNow();
  if (now - lastWrite_ < kIdleWriteGap) return;
  WritePending();
}

void TLogBuffer::WriteThrough() {
  owner_.Check();
  if (failing_ || pending_.empty()) return;
  WritePending();
}

void TLogBuffer::Tick() {
  owner_.Check();
  if (!Attached()) return;
  const Clock::time_point now = win::MonotonicNow();
  if (failing_) {
    if (now - lastRetry_ < kRetryPeriod) return;
    lastRetry_ = now;
  }
  if (!file_.IsOpen()) {
    OpenFresh();
  } else if (!file_.IsAt(path_)) {
    ReplaceRemovedFile();
  }
  WritePending();
  if (dirty_ && now - lastSync_ >= kSyncPeriod) RequestSync(now);
}

// The durability worker syncs while the intake goes on; a sync still
// running when the next one is due makes that one wait for the next tick.
void TLogBuffer::RequestSync(Clock::time_point now) {
  std::string failure;
  if (!sync_.Request(file_.IsOpen(), failure)) return;
  if (!failure.empty()) BeginEpisode("cannot be made durable", failure);
  if (!file_.IsOpen()) return;
  dirty_ = false;
  lastSync_ = now;
}

std::string TLogBuffer::SyncFile() { return file_.IsOpen() && !file_.SyncData() ? win::ErrnoText() : std::string(); }

void TLogBuffer::ReplaceFile(win::LockedAppendFile fresh) {
  std::unique_lock<std::mutex> noSync = sync_.Hold();
  file_ = std::move(fresh);
}

// Opens a new buffer file at the path. Whatever a file there holds already
// belongs to the buffer, before the lines in memory.
void TLogBuffer::OpenFresh() {
  win::LockedAppendFile fresh;
  if (!fresh.Open(path_)) {
    BeginEpisode("cannot be opened");
    return;
  }
  win::FlushFolder(folder_);  // as in Attach
  ReplaceFile(std::move(fresh));
  fileBytes_ = 0;
  TakeFileContent();
}

// The buffer file was removed (or replaced) under the running process. Its
// lines are still in the open file; they move into a new file at the path
// as soon as one can be made there. Meanwhile lines go on into the open
// file, which the save copies from.
void TLogBuffer::ReplaceRemovedFile() {
  win::LockedAppendFile fresh;
  if (!fresh.Open(path_) || fresh.Size() != 0) {
    BeginEpisode("was removed and cannot be made again");
    return;
  }
  if (!WritePending() || !file_.CopyTo(path_, fileBytes_, {})) {
    BeginEpisode("was removed and cannot be made again");
    return;
  }
  ReplaceFile(std::move(fresh));
  dirty_ = false;
  lastSync_ = win::MonotonicNow();
  if (failing_) EndEpisode();
}

void TLogBuffer::SaveAs(const std::string& target) {
  owner_.Check();
  if (file_.IsOpen()) WritePending();
  const std::string targetFolder = win::FolderOf(target);

  // Every save starts from lines made durable in the buffer file. A rename
  // that a power cut keeps while the lines are not would leave a log file
  // ending in a torn line, which no start repairs, and the name would stand
  // for less than them; and the journal of a copy notes the buffer file's
  // size, which must be the one a power cut leaves, or the next start takes
  // the copy for a finished one and saves its lines a second time.
  const bool durable = file_.IsOpen() && pending_.empty() && file_.Sync();
  if (durable && file_.IsAt(path_) && win::MoveFileNoReplace(path_, target)) {
    // The open file is the log file now: make its new name durable, then
    // start a new buffer file.
    win::FlushFolder(targetFolder);
    if (targetFolder != folder_) win::FlushFolder(folder_);
    ReplaceFile(win::LockedAppendFile());
    fileBytes_ = 0;
    dirty_ = false;
    ResetCounts();
    ReportDropped();
    OpenFresh();
    return;
  }

  // The target exists (a second save within one second), lies on another
  // file system, or the lines are not (all) in a file of the buffer's own.
  // When they all are, a journal lets the next start undo a copy that the
  // end of the process cuts short (lines kept in memory would be lost by
  // that end anyway, so the journal covers only the file's).
  const std::string journalPath = SaveJournal::PathFor(path_);
  bool journaled = false;
  if (durable && fileBytes_ > 0) {
    // A target that does not exist yet holds 0 bytes; one whose size cannot
    // be told gets no journal.
    std::uint64_t targetBytes = 0;
    const bool sized = win::GetFileSizeOf(target, &targetBytes) || win::GetLastError() == win::ERROR_FILE_NOT_FOUND ||
                       win::GetLastError() == win::ERROR_PATH_NOT_FOUND;
    journaled = sized && SaveJournal{target, targetBytes, fileBytes_}.Write(journalPath);
  }
  if (!file_.CopyTo(target, file_.IsOpen() ? fileBytes_ : 0, pending_)) {
    const int failure = static_cast<int>(win::GetLastError());
    if (journaled) SaveJournal::Remove(journalPath);  // the copy cut the target back itself
    throw EInOutError(failure);
  }
  win::FlushFolder(targetFolder);
  pending_.clear();
  if (pending_.capacity() > 2 * kBlockBytes) pending_ = std::string();
  EmptyFile();
  // A buffer file that could not be emptied (or made durable so) still
  // holds the lines: the journal stays, so that the next start takes them
  // out of the target.
  if (journaled && file_.IsOpen() && file_.SyncData()) SaveJournal::Remove(journalPath);
  fileBytes_ = 0;
  ResetCounts();
  ReportDropped();
}

void TLogBuffer::BeginEpisode(const std::string& what, const std::string& reason) {
  if (failing_) return;
  failing_ = true;
  lastRetry_ = win::MonotonicNow();
  // One allocation of the whole bound: no copies of kept lines while they
  // grow, and pages are only taken as lines fill them.
  pending_.reserve(memoryBound_);
  Report("KVLogService log buffer file " + path_ + " " + what + ": " + reason + ". Up to " +
             std::to_string(memoryBound_ / (1024 * 1024)) + " MiB of log lines are kept in memory until it works again",
         win::EVENTLOG_WARNING_TYPE);
}

void TLogBuffer::EndEpisode() {
  failing_ = false;
  if (pending_.empty() && pending_.capacity() > 2 * kBlockBytes) pending_ = std::string();
  Report("KVLogService log buffer file " + path_ + " works again", win::EVENTLOG_INFORMATION_TYPE);
  ReportDropped();
}

void TLogBuffer::ReportDropped() {
  if (dropped_ == 0) return;
  Report("KVLogService dropped " + std::to_string(dropped_) + " log lines: the log buffer file " + path_ +
             " could not be written and the lines kept in memory reached " +
             std::to_string(memoryBound_ / (1024 * 1024)) + " MiB",
         win::EVENTLOG_WARNING_TYPE);
  dropped_ = 0;
}

void TLogBuffer::Report(const std::string& text, std::uint16_t eventType) {
  if (!report_) return;
  try {
    report_(text, eventType);
  } catch (...) {
    // A report that cannot be written must not cost the buffer its lines.
  }
}

}  // namespace kv
