// The log buffer in its buffer file:
//   resident  - resident memory of the process with 10 million buffered
//               80-byte lines against the same buffer empty;
//   save 1 GB - SaveLogFile of a 1 GB buffer (its file made durable as the
//               once-a-second sync leaves it) against the in-memory save of
//               the same lines (a TStringList written by WriteLogFile), same
//               run, same folder; also the copy that a second save within the
//               same second makes.
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/stringlist.h"
#include "logsvc/kvlog_service.h"
#include "logsvc/log_buffer.h"
#include "logsvc/log_file.h"
#include "report.h"
#include "scratch_root.h"

namespace kvbench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kLineBytes = 80;
constexpr std::size_t kResidentLines = 10000000;
constexpr std::uint64_t kSaveBytes = 1000000000;

std::string EventLine(std::size_t number) {
  char line[96];
  std::snprintf(line, sizeof line, "2024/03/05 14:07:09 Backup     JobRunner            2 Copy finished: #%08zu",
                number % 100000000);
  std::string text(line);
  text.resize(kLineBytes, ' ');
  return text;
}

double Seconds(Clock::time_point t0, Clock::time_point t1) { return std::chrono::duration<double>(t1 - t0).count(); }

// VmRSS of this process in bytes.
double ResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      double kib = 0;
      status >> kib;
      return kib * 1024;
    }
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

// Appends lines as the intake does: the write-behind block goes out when
// full, and the 100 ms tick comes now and then.
std::size_t Fill(kv::TLogBuffer& buffer, std::uint64_t bytes) {
  std::size_t n = 0;
  while (buffer.Bytes() < bytes) {
    buffer.Add(EventLine(n++));
    if (n % 100000 == 0) buffer.Tick();
  }
  return n;
}

// Lets the once-a-second sync come and finish, as in a running service,
// whose buffer grows far slower than this benchmark fills it.
void LetTheSyncCome(kv::TLogBuffer& buffer) {
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  buffer.Tick();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
}

void BM_BufferFileResidentMemory(benchmark::State& state) {
  double empty = 0;
  double full = 0;
  try {
    ScratchRoot root;
    for (auto _ : state) {
      kv::TLogBuffer buffer;
      buffer.Attach(root.Sub("KVLogService.buf"));
      for (std::size_t i = 0; i < 1000; ++i) buffer.Add(EventLine(i));  // warm the block
      buffer.Clear();
      empty = ResidentBytes();
      std::size_t n = 0;
      while (buffer.Count() < kResidentLines) {
        buffer.Add(EventLine(n++));
        if (n % 100000 == 0) buffer.Tick();
      }
      full = ResidentBytes();
      if (buffer.Count() != kResidentLines) throw std::runtime_error("lines missing");
      buffer.Clear();
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  const double grown = (full - empty) / (1024.0 * 1024.0);
  state.counters["resident_MiB_above_empty"] = grown;
  char line[256];
  std::snprintf(line, sizeof line,
                "resident   %zu buffered %zu-byte lines: %.1f MiB above an empty buffer (target < 16 MiB)",
                kResidentLines, kLineBytes, grown);
  AddSummaryLine(line);
}
BENCHMARK(BM_BufferFileResidentMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SaveOneGigabyte(benchmark::State& state) {
  double rename = 0;
  double copy = 0;
  double memory = 0;
  double gigabytes = 0;
  try {
    ScratchRoot root;
    for (auto _ : state) {
      auto module = std::make_unique<kv::TKVLogService>();
      module->Settings.Folder = root.LogFolder();
      module->LogLines->Attach(root.Sub("KVLogService.buf"));
      const std::size_t lines = Fill(*module->LogLines, kSaveBytes);
      gigabytes = static_cast<double>(module->LogLines->Bytes()) / 1e9;
      LetTheSyncCome(*module->LogLines);
      auto t0 = Clock::now();
      module->SaveLogFile();
      auto t1 = Clock::now();
      rename = Seconds(t0, t1);

      // The same amount again, saved within the same second onto that file.
      Fill(*module->LogLines, kSaveBytes);
      LetTheSyncCome(*module->LogLines);
      std::string saved;
      for (const auto& entry : std::filesystem::directory_iterator(root.LogFolder())) saved = entry.path().string();
      t0 = Clock::now();
      module->LogLines->Add("** saved file " + saved + " **");
      module->LogLines->SaveAs(saved);
      t1 = Clock::now();
      copy = Seconds(t0, t1);
      std::filesystem::remove(saved);
      module.reset();

      // Today's in-memory save of the same lines.
      {
        kv::TStringList list;
        for (std::size_t i = 0; i < lines; ++i) list.Add(EventLine(i));
        const std::string path = root.LogFolder() + "/kvs-memory.log";
        t0 = Clock::now();
        list.Add("** saved file " + path + " **");
        kv::WriteLogFile(path, list);
        list.Clear();
        t1 = Clock::now();
        memory = Seconds(t0, t1);
        std::filesystem::remove(path);
      }
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  state.counters["rename_ms"] = rename * 1e3;
  state.counters["copy_ms"] = copy * 1e3;
  state.counters["memory_ms"] = memory * 1e3;
  char line[320];
  std::snprintf(line, sizeof line,
                "save 1 GB  %.2f GB: SaveLogFile %.1f ms (target < 50 ms); in-memory save of the same lines %.0f ms; "
                "same-second save by kernel copy %.0f ms",
                gigabytes, rename * 1e3, memory * 1e3, copy * 1e3);
  AddSummaryLine(line);
}
BENCHMARK(BM_SaveOneGigabyte)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kvbench
