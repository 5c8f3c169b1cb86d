// TLogBuffer: the log buffer (LogLines). Its lines live in an append-only
// buffer file, laid out exactly as a log file (each line followed by CR LF),
// so that a save turns the buffer file into the log file by a rename or a
// kernel-side copy, and a process that ends without saving leaves its lines
// behind for the next start. Memory holds only the write-behind block.
//
// Write-behind: appended lines collect in a block that is written when it
// reaches 64 KiB, when Flush() is called (the message loop has handled a
// burst; at most once per 2 ms) and on every Tick() (every 100 ms); the file
// is made durable at most once a second, by a thread of the buffer's own so
// that the intake never waits for the disk, and at every save.
//
// When the buffer file cannot be written (disk full, permissions, removed
// folder), lines are kept in memory up to 64 MiB and one warning goes out
// per episode; kept lines go to the file first when it works again. Beyond
// the bound lines are counted as dropped and the count is reported.
//
// Before Attach() (and when the file cannot be had at all) the buffer lives
// in memory only.
//
// Thread contract: the thread that makes the buffer owns it (the module's
// main thread) and alone calls its members, checked in debug and sanitizer
// builds; the durability worker's thread only syncs the file.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/owner_thread.h"
#include "logsvc/sync_worker.h"
#include "platform/durable_file.h"
#include "platform/monotonic_clock.h"

namespace kv {

class TLogBuffer {
 public:
  // Receives the warning and information texts the buffer reports (with
  // their event type); the module writes them to the event log.
  using ReportSink = std::function<void(const std::string& text, std::uint16_t eventType)>;

  static constexpr std::size_t kBlockBytes = 64 * 1024;
  static constexpr std::size_t kMemoryBound = 64 * 1024 * 1024;

  TLogBuffer() = default;
  ~TLogBuffer();
  TLogBuffer(const TLogBuffer&) = delete;
  TLogBuffer& operator=(const TLogBuffer&) = delete;

  void SetReportSink(ReportSink sink) { report_ = std::move(sink); }
  // Lowers the memory bound for lines kept while the file fails (tests and
  // fuzzing: under a sanitizer, reserving the full bound costs milliseconds).
  void SetMemoryBound(std::size_t bytes) { memoryBound_ = bytes; }

  // --- The list: append, count, read back, empty ---
  void Add(std::string_view line);
  // Empties the buffer: the buffer file is cut to nothing.
  void Clear();
  std::size_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }
  // Reads the line back (from the file and the block); meant for tests and
  // tools: every call but the one for the last line reads the whole buffer.
  std::string operator[](std::size_t index) const;
  // Bytes of line text with their CR LF, in the file and in memory.
  std::uint64_t Bytes() const { return fileBytes_ + pending_.size(); }
  // Bytes of memory held for lines (the write-behind block or kept lines).
  std::size_t MemoryBytes() const { return pending_.capacity(); }
  std::uint64_t Dropped() const { return dropped_; }

  // Reads all lines once; iterators hold the current line.
  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = std::string;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::string*;
    using reference = const std::string&;

    const_iterator() = default;
    const std::string& operator*() const { return (*lines_)[index_]; }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    bool operator==(const const_iterator& other) const { return index_ == other.index_; }

   private:
    friend class TLogBuffer;
    const_iterator(std::shared_ptr<const std::vector<std::string>> lines, std::size_t index)
        : lines_(std::move(lines)), index_(index) {}
    std::shared_ptr<const std::vector<std::string>> lines_;
    std::size_t index_ = 0;
  };
  const_iterator begin() const;
  const_iterator end() const;

  // --- The buffer file ---
  // Opens (or creates) the buffer file at `path` and locks it. Lines of a
  // file left behind stay in the buffer, before those already in memory;
  // returns their count (text lines ended by CR LF). Raises kv::Exception
  // when another process holds the file. A file that cannot be opened for
  // another reason leaves the buffer in memory and reports a warning.
  std::size_t Attach(const std::string& path);
  bool Attached() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }

  // Writes the write-behind block (and kept lines) to the file; at most
  // once per 2 ms, for the idle moments of a busy message loop.
  void Flush();
  // Writes the block now. Called before relays go out, so that an event
  // whose relay has been sent is in the file: a process crash after that
  // loses nothing that was acknowledged.
  void WriteThrough();
  // Every 100 ms: Flush, notice a removed file, make the file durable when
  // the last time is a second or more ago.
  void Tick();

  // Writes the whole buffer into the log file `target`: a rename when
  // `target` does not exist and both lie on one file system, else a copy to
  // its end; then the target and its folder are made durable and the buffer
  // starts empty. Raises EInOutError with the platform's code; the buffer
  // then keeps every line.
  void SaveAs(const std::string& target);

 private:
  // The monotonic clock of the platform, so that tests can move it on.
  using Clock = win::MonotonicClock;

  std::string ReadAll() const;
  std::shared_ptr<const std::vector<std::string>> ReadLines() const;
  bool WritePending();
  void RequestSync(Clock::time_point now);
  // Runs on the durability worker's thread: "" or the reason.
  std::string SyncFile();
  void ReplaceFile(win::LockedAppendFile fresh);
  void EmptyFile();
  // The reason defaults to the system's text for the last failure.
  void BeginEpisode(const std::string& what, const std::string& reason = win::ErrnoText());
  void EndEpisode();
  void ReportDropped();
  void Report(const std::string& text, std::uint16_t eventType);
  void ResetCounts();
  void OpenFresh();
  void ReplaceRemovedFile();
  std::size_t TakeFileContent();
  void UndoUnfinishedSave();

  OwnerThread owner_{"TLogBuffer"};
  std::string path_;
  std::string folder_;
  win::LockedAppendFile file_;
  std::uint64_t fileBytes_ = 0;  // bytes of lines in the file
  std::string pending_;          // lines not yet in the file
  bool failing_ = false;         // in a failure episode
  bool dirty_ = false;           // written since the last durable point
  Clock::time_point lastSync_{};
  Clock::time_point lastRetry_{};
  Clock::time_point lastWrite_{};
  std::size_t count_ = 0;
  std::size_t memoryBound_ = kMemoryBound;
  std::uint64_t dropped_ = 0;
  std::string lastLine_;
  bool lastLineKnown_ = false;
  // Lines holding CR LF themselves: (index, number of text lines).
  std::vector<std::pair<std::size_t, std::size_t>> multiLine_;
  ReportSink report_;

  // Makes the file durable off the owner's thread; the file is replaced
  // only under its Hold.
  TSyncWorker sync_{[this] { return SyncFile(); }};
};

}  // namespace kv
