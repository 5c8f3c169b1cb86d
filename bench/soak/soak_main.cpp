// Soak run: a started service module for a long time under a steady load
// (numbered events at a fixed rate, relayed to a listener, saved every
// Interval seconds) with cleanup runs over a tree of log files in the log
// folder (its cleanup period shortened so that runs happen during the
// soak; the old files are made again after each run). Every 10 s it checks
// and deletes the saved files, and prints resident memory and descriptors.
// At the end: events sent, relayed and saved, lost and doubled, files and
// lines, memory growth and descriptors. Exit code 1 when anything was lost
// or doubled or descriptors grew.
//
//   bench_soak [--seconds 1800] [--rate 50000] [--interval 10] [--tree 10000]
//              [--cleanup-every 60]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/timer.h"
#include "logsvc/kvlog_service.h"
#include "platform/messages.h"
#include "scratch_root.h"
#include "soak_load.h"

namespace {

struct Settings {
  long seconds = 1800;
  long rate = 50000;
  long interval = 10;
  long tree = 10000;
  long cleanupEvery = 60;
};

Settings Parse(int argc, char** argv) {
  Settings s;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const long value = std::strtol(argv[i + 1], nullptr, 10);
    if (value <= 0) throw std::runtime_error("bad value for " + name);
    if (name == "--seconds") s.seconds = value;
    else if (name == "--rate") s.rate = value;
    else if (name == "--interval") s.interval = value;
    else if (name == "--tree") s.tree = value;
    else if (name == "--cleanup-every") s.cleanupEvery = value;
    else throw std::runtime_error("unknown option " + name);
  }
  return s;
}

std::uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  close(fd);
  return ntohs(addr.sin_port);
}

int Run(const Settings& s) {
  using namespace std::chrono;
  kvbench::ScratchRoot root;
  kvsoak::RelayListener relay;
  const std::uint16_t receivePort = FreePort();
  root.WriteSettings(receivePort, relay.Port(), static_cast<int>(s.interval));
  kvsoak::OldFileTree tree(root.LogFolder(), static_cast<std::size_t>(s.tree));

  kv::TKVLogService module;
  bool started = true;
  module.ServiceStart(module, started);
  if (!started) throw std::runtime_error("the module did not start");
  module.LogCleanupTimer->SetInterval(static_cast<std::uint32_t>(s.cleanupEvery * 1000));

  const std::size_t capacity = static_cast<std::size_t>(s.rate) * static_cast<std::size_t>(s.seconds + 60);
  kvsoak::SeenSet relayed(capacity), saved(capacity);
  std::atomic<std::uint64_t> relayCount{0};
  std::atomic<bool> stopSending{false}, stopRelay{false};
  std::uint64_t sent = 0;
  kvsoak::FileFigures files;
  std::size_t cleanupDeleted = 0;
  std::uint64_t rssFirst = 0, rssFirstThirdMax = 0, rssLastThirdMax = 0, rssMax = 0;
  // Descriptors come and go with saves and cleanup runs; the least seen in
  // the first and in the last third of the run are compared.
  std::size_t fdsFirst = 0, fdsMax = 0, fdsLast = 0;
  std::size_t fdsFirstThirdMin = SIZE_MAX, fdsLastThirdMin = SIZE_MAX;

  const std::uint64_t dropsBefore = kvsoak::UdpReceiveQueueDrops();
  const win::DWORD mainThread = win::GetCurrentThreadId();
  std::thread relayThread([&] { relay.Run(relayed, relayCount, stopRelay); });
  std::thread sender([&] { sent = kvsoak::SendPaced(receivePort, static_cast<std::uint64_t>(s.rate), stopSending); });
  std::thread controller([&] {
    const auto start = steady_clock::now();
    for (long tick = 1;; ++tick) {
      std::this_thread::sleep_until(start + seconds(10 * tick));
      const long elapsed = 10 * tick;
      kvsoak::CheckSavedFiles(root.LogFolder(), false, saved, files);
      cleanupDeleted += tree.Restore();
      root.DrainEventLog();
      const std::uint64_t rss = kvsoak::ResidentKiB();
      const std::size_t fds = kvsoak::OpenDescriptors();
      if (tick == 1) {
        rssFirst = rss;
        fdsFirst = fds;
      }
      rssMax = std::max(rssMax, rss);
      fdsMax = std::max(fdsMax, fds);
      fdsLast = fds;
      if (elapsed <= std::max(s.seconds / 3, 10L)) {
        rssFirstThirdMax = std::max(rssFirstThirdMax, rss);
        fdsFirstThirdMin = std::min(fdsFirstThirdMin, fds);
      }
      if (elapsed > s.seconds - s.seconds / 3) {
        rssLastThirdMax = std::max(rssLastThirdMax, rss);
        fdsLastThirdMin = std::min(fdsLastThirdMin, fds);
      }
      std::printf(
          "%5ld s  relayed %12llu  saved lines %12llu  files %5llu  cleanup deleted %6zu  rss %7llu KiB  fds %3zu\n",
          elapsed, static_cast<unsigned long long>(relayCount.load()),
          static_cast<unsigned long long>(files.eventLines), static_cast<unsigned long long>(files.files),
          cleanupDeleted, static_cast<unsigned long long>(rss), fds);
      std::fflush(stdout);
      if (elapsed >= s.seconds) break;
    }
    stopSending = true;
    std::this_thread::sleep_for(seconds(2));  // what is under way arrives
    win::PostThreadMessage(mainThread, win::WM_QUIT, 0, 0);
  });

  win::MSG msg;
  while (win::GetMessage(&msg, nullptr, 0, 0) > 0) win::DispatchMessage(&msg);
  controller.join();
  sender.join();
  bool stopped = true;
  module.ServiceStop(module, stopped);
  std::this_thread::sleep_for(seconds(1));
  stopRelay = true;
  relayThread.join();
  kvsoak::CheckSavedFiles(root.LogFolder(), true, saved, files);

  std::uint64_t lost = 0, relayMissing = 0;
  for (std::uint64_t n = 0; n < sent; ++n) {
    lost += !saved.Has(n);
    relayMissing += !relayed.Has(n);
  }
  const long long growth = static_cast<long long>(rssLastThirdMax) - static_cast<long long>(rssFirstThirdMax);
  std::printf("\nsoak %ld s at %ld events/s, Interval=%ld, tree %ld files, cleanup every %ld s\n", s.seconds, s.rate,
              s.interval, s.tree, s.cleanupEvery);
  std::printf("events sent        %llu (%.0f/s)\n", static_cast<unsigned long long>(sent),
              static_cast<double>(sent) / static_cast<double>(s.seconds));
  std::printf("events relayed     %llu (missing %llu)\n", static_cast<unsigned long long>(relayCount.load()),
              static_cast<unsigned long long>(relayMissing));
  std::printf("events saved       %llu (lost %llu, doubled %llu)\n", static_cast<unsigned long long>(files.eventLines),
              static_cast<unsigned long long>(lost), static_cast<unsigned long long>(files.duplicates));
  std::printf("receive queue drops %llu (whole system, during the run)\n",
              static_cast<unsigned long long>(kvsoak::UdpReceiveQueueDrops() - dropsBefore));
  std::printf("files / lines      %llu / %llu\n", static_cast<unsigned long long>(files.files),
              static_cast<unsigned long long>(files.lines));
  std::printf("cleanup deleted    %zu old files (%zu per run)\n", cleanupDeleted, tree.OldCount());
  std::printf("resident memory    first %llu KiB, max %llu KiB, growth (last third - first third max) %lld KiB\n",
              static_cast<unsigned long long>(rssFirst), static_cast<unsigned long long>(rssMax), growth);
  std::printf("open descriptors   first %zu, max %zu, last %zu, least in first/last third %zu/%zu\n", fdsFirst, fdsMax,
              fdsLast, fdsFirstThirdMin, fdsLastThirdMin);
  const bool ok = lost == 0 && files.duplicates == 0 && fdsLastThirdMin <= fdsFirstThirdMin;
  std::printf("%s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(Parse(argc, argv));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_soak: %s\n", e.what());
    return 2;
  }
}
