// A log cleanup run of the service module (its cleanup timer's handler with
// the module's file finder) over a tree of 100,000 log files, most of them
// recent and kept, against plain recursive walks with a stat of every entry
// over the same tree, in alternating rounds. The run is synchronous on the
// main thread, so its wall time is how long arriving datagrams wait; the
// summary also gives how many of them a default receive queue can hold.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "log_tree.h"
#include "logsvc/kvlog_service.h"
#include "plain_walk.h"
#include "report.h"

namespace kvbench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kFiles = 100000;
constexpr int kRounds = 5;

double Seconds(Clock::time_point t0, Clock::time_point t1) { return std::chrono::duration<double>(t1 - t0).count(); }

// How many event datagrams a UDP socket with the system's default receive
// buffer holds while nobody reads it (what the service's receiver can keep
// while a cleanup run holds the main thread). 0 when it cannot be measured.
std::size_t DefaultQueueCapacity() {
  static constexpr char kEvent[] = "2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files";
  int rx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  std::size_t queued = 0;
  if (rx >= 0 && tx >= 0 && ::bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    for (int i = 0; i < 5000; ++i) {
      ::sendto(tx, kEvent, sizeof kEvent - 1, 0, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    }
    char buffer[2048];
    while (::recv(rx, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) ++queued;
  }
  if (rx >= 0) ::close(rx);
  if (tx >= 0) ::close(tx);
  return queued;
}

void BM_CleanupVsPlainWalk(benchmark::State& state) {
  std::vector<double> readdirTimes;
  std::vector<double> nftwTimes;
  std::vector<double> cleanupTimes;
  std::size_t oldFiles = 0;
  double buildSeconds = 0;
  try {
    const auto b0 = Clock::now();
    LogTree tree(kFiles);
    buildSeconds = Seconds(b0, Clock::now());
    oldFiles = tree.OldCount();

    auto module = std::make_unique<kv::TKVLogService>();
    module->Settings.Folder = tree.Path();
    module->Settings.LogKeepDays = 30;
    WalkWithReaddir(tree.Path());  // the same warm caches for every round

    for (auto _ : state) {
      for (int round = 0; round < kRounds; ++round) {
        tree.RestoreOldFiles();

        auto t0 = Clock::now();
        const std::size_t seenByReaddir = WalkWithReaddir(tree.Path());
        readdirTimes.push_back(Seconds(t0, Clock::now()));
        t0 = Clock::now();
        const std::size_t seenByNftw = WalkWithNftw(tree.Path());
        nftwTimes.push_back(Seconds(t0, Clock::now()));
        if (seenByReaddir != kFiles || seenByNftw != kFiles) throw std::runtime_error("a walk missed files");

        module->LogLines->Clear();
        t0 = Clock::now();
        module->LogCleanupTimerTimer(*module->LogCleanupTimer);
        cleanupTimes.push_back(Seconds(t0, Clock::now()));
        if (module->FoundFiles->size() != oldFiles || tree.OldFilesPresent() != 0 || !module->LogLines->Empty())
          throw std::runtime_error("the cleanup run did not delete exactly the old files");
      }
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  const double readdir = Median(readdirTimes);
  const double nftw = Median(nftwTimes);
  const double cleanup = Median(cleanupTimes);
  state.counters["readdir_ms"] = readdir * 1e3;
  state.counters["nftw_ms"] = nftw * 1e3;
  state.counters["cleanup_ms"] = cleanup * 1e3;
  state.counters["ratio_readdir"] = readdir / cleanup;
  state.counters["ratio_nftw"] = nftw / cleanup;
  const std::size_t capacity = DefaultQueueCapacity();
  char line[600];
  std::snprintf(line, sizeof line,
                "cleanup  %zu files in 200 folders, %zu old (deleted each round); tree built in %.1f s\n"
                "           readdir+stat walk %.0f ms, nftw walk %.0f ms, cleanup run %.0f ms (%.2f us per file)\n"
                "           ratio walk/cleanup: readdir+stat %.2f, nftw %.2f (target >= 0.50)\n"
                "           arriving datagrams wait up to %.0f ms while the run holds the main thread;\n"
                "           a default receive queue holds %zu event datagrams, so above about %.0f datagrams/s\n"
                "           some are dropped during the run",
                kFiles, oldFiles, buildSeconds, readdir * 1e3, nftw * 1e3, cleanup * 1e3,
                cleanup * 1e6 / static_cast<double>(kFiles), readdir / cleanup, nftw / cleanup, cleanup * 1e3, capacity,
                static_cast<double>(capacity) / cleanup);
  AddSummaryLine(line);
}
BENCHMARK(BM_CleanupVsPlainWalk)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kvbench
