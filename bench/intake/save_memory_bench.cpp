// The log buffer's save and its memory:
//   save   - SaveLogFile of a buffer of 200,000 lines of 80 bytes held in
//            memory (a module that was not started) against one plain
//            write() of the same bytes into the same folder with the same
//            durability (fsync of the file and of the folder), in
//            alternating rounds (each file removed after its round);
//   memory - bytes of memory per byte of line text for a million 80-byte
//            lines in kv::TStringList, by its own account and by the heap's
//            growth (mallinfo2), with std::vector<std::string> for reference.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/stringlist.h"
#include "logsvc/kvlog_service.h"
#include "report.h"
#include "scratch_root.h"

namespace kvbench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kLineBytes = 80;
constexpr std::size_t kSaveLines = 200000;
constexpr std::size_t kMemoryLines = 1000000;
constexpr int kSaveRounds = 7;

// An 80-byte event line; the number makes each one different.
std::string EventLine(std::size_t number) {
  char line[96];
  std::snprintf(line, sizeof line, "2024/03/05 14:07:09 Backup     JobRunner            2 Copy finished: #%07zu",
                number % 10000000);
  std::string text(line);
  text.resize(kLineBytes, ' ');
  return text;
}

double Seconds(Clock::time_point t0, Clock::time_point t1) { return std::chrono::duration<double>(t1 - t0).count(); }

// The one file in `folder` (the save's), and its size.
std::uintmax_t TakeOnlyFile(const std::string& folder, std::string& path) {
  std::uintmax_t size = 0;
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    path = entry.path().string();
    size = entry.file_size();
    ++count;
  }
  if (count != 1) throw std::runtime_error("expected one saved file");
  return size;
}

double PlainWrite(const std::string& path, const std::string& bytes) {
  const auto t0 = Clock::now();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("open failed");
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n <= 0) {
      ::close(fd);
      throw std::runtime_error("write failed");
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  // The save makes its file durable; so does the plain write.
  if (::fsync(fd) != 0) throw std::runtime_error("fsync failed");
  if (::close(fd) != 0) throw std::runtime_error("close failed");
  const std::string folder = std::filesystem::path(path).parent_path().string();
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || ::fsync(dir) != 0) throw std::runtime_error("folder fsync failed");
  ::close(dir);
  const auto t1 = Clock::now();
  return Seconds(t0, t1);
}

void BM_SaveVsPlainWrite(benchmark::State& state) {
  std::vector<double> saves;
  std::vector<double> writes;
  std::uintmax_t fileBytes = 0;
  try {
    ScratchRoot root;
    auto module = std::make_unique<kv::TKVLogService>();
    module->Settings.Folder = root.LogFolder();
    std::vector<std::string> lines;
    lines.reserve(kSaveLines);
    for (std::size_t i = 0; i < kSaveLines; ++i) lines.push_back(EventLine(i));

    for (auto _ : state) {
      for (int round = 0; round < kSaveRounds; ++round) {
        module->LogLines->Clear();
        for (const std::string& line : lines) module->LogLines->Add(line);
        const auto t0 = Clock::now();
        module->SaveLogFile();
        const auto t1 = Clock::now();
        saves.push_back(Seconds(t0, t1));

        // The same bytes, saved-file line included, in one write().
        std::string saved;
        fileBytes = TakeOnlyFile(root.LogFolder(), saved);
        std::string bytes;
        bytes.reserve(fileBytes);
        for (const std::string& line : lines) bytes.append(line).append("\r\n");
        bytes.append("** saved file ").append(saved).append(" **\r\n");
        if (bytes.size() != fileBytes) throw std::runtime_error("the saved file has other bytes than expected");
        std::filesystem::remove(saved);

        const std::string plainPath = root.LogFolder() + "/plain.bin";
        writes.push_back(PlainWrite(plainPath, bytes));
        std::filesystem::remove(plainPath);
      }
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  const double mb = static_cast<double>(fileBytes) / 1e6;
  const double save = Median(saves);
  const double write = Median(writes);
  state.counters["save_MB_per_s"] = mb / save;
  state.counters["write_MB_per_s"] = mb / write;
  state.counters["ratio"] = write / save;
  char line[256];
  std::snprintf(line, sizeof line,
                "save       plain write()+fsyncs %7.0f MB/s  SaveLogFile %7.0f MB/s (%.1f MB, %.1f ms)  ratio %.2f "
                "(target >= 0.80)",
                mb / write, mb / save, mb, save * 1e3, write / save);
  AddSummaryLine(line);
}
BENCHMARK(BM_SaveVsPlainWrite)->Iterations(1)->Unit(benchmark::kMillisecond);

// Bytes the heap hands out now (small blocks and mapped ones).
double HeapInUse() {
  struct mallinfo2 info = ::mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

void BM_BufferMemory(benchmark::State& state) {
  double listOwn = 0;
  double listHeap = 0;
  double vectorHeap = 0;
  double text = 0;
  for (auto _ : state) {
    {
      const double before = HeapInUse();
      kv::TStringList list;
      for (std::size_t i = 0; i < kMemoryLines; ++i) list.Add(EventLine(i));
      listHeap = HeapInUse() - before;
      listOwn = static_cast<double>(list.MemoryBytes());
      text = static_cast<double>(list.TextBytes());
    }
    {
      const double before = HeapInUse();
      std::vector<std::string> lines;
      for (std::size_t i = 0; i < kMemoryLines; ++i) lines.push_back(EventLine(i));
      vectorHeap = HeapInUse() - before;
      benchmark::DoNotOptimize(lines.data());
    }
  }
  state.counters["text_MB"] = text / 1e6;
  state.counters["list_per_text"] = listOwn / text;
  state.counters["heap_per_text"] = listHeap / text;
  state.counters["vector_heap_per_text"] = vectorHeap / text;
  char line[320];
  if (listHeap > 0) {
    std::snprintf(line, sizeof line,
                  "memory     %.0f MB of line text: TStringList %.3f bytes/byte by MemoryBytes(), %.3f by heap "
                  "growth (target <= 1.5); std::vector<std::string> %.3f by heap growth",
                  text / 1e6, listOwn / text, listHeap / text, vectorHeap / text);
  } else {
    // A replaced allocator (a sanitizer's) does not report through mallinfo2.
    std::snprintf(line, sizeof line,
                  "memory     %.0f MB of line text: TStringList %.3f bytes/byte by MemoryBytes() (target <= 1.5); "
                  "heap growth not reported by this allocator",
                  text / 1e6, listOwn / text);
  }
  AddSummaryLine(line);
}
BENCHMARK(BM_BufferMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kvbench
