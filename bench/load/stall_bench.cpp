// A started service module whose main thread stalls for one second while
// events arrive at 100,000 per second: how many of them are saved and
// relayed. The stall is a sleep in the message loop, standing for a long
// save or a cleanup run over a large tree.
//   kvload_stall [RATE] [STALL_SECONDS]
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "logsvc/kvlog_service.h"
#include "pacer.h"
#include "platform/messages.h"
#include "scratch_root.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Counts datagrams on a port of 127.0.0.1 on a thread of its own.
class Counter {
 public:
  Counter() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)) {
    const int big = 64 << 20;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("bind");
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Counter() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  std::uint16_t Port() const { return port_; }
  unsigned long long Count() const { return count_; }

 private:
  void Run() {
    char buf[2048];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      while (::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) >= 0) ++count_;
    }
  }
  int fd_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<unsigned long long> count_{0};
  std::thread thread_;
};

std::uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

void PumpFor(Clock::duration span) {
  const auto end = Clock::now() + span;
  win::MSG msg;
  while (Clock::now() < end) {
    if (win::PeekMessage(&msg, nullptr, 0, 0, win::PM_REMOVE)) {
      win::DispatchMessage(&msg);
    } else {
      std::this_thread::sleep_for(1ms);
    }
  }
}

std::size_t SavedEventLines(const std::string& folder) {
  std::size_t lines = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line)) lines += line.find("BenchApp") != std::string::npos;
  }
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  const double rate = argc > 1 ? std::atof(argv[1]) : 100000;
  const double stall = argc > 2 ? std::atof(argv[2]) : 1.0;
  kvbench::ScratchRoot root;
  Counter relays;
  const std::uint16_t port = FreePort();
  root.WriteSettings(port, relays.Port(), 21600);
  auto module = std::make_unique<kv::TKVLogService>();
  std::atomic<unsigned long long> failures{0};
  module->SetIntakeFailureHandler([&](const std::exception&) { ++failures; });
  bool started = true;
  module->ServiceStart(*module, started);
  if (!started) {
    std::fprintf(stderr, "the module did not start\n");
    return 1;
  }
  const double seconds = stall + 2.0;
  std::atomic<unsigned long long> sent{0};
  std::thread sender([&] { sent = kvload::SendPaced(port, rate, seconds); });
  PumpFor(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(0.5)));
  std::this_thread::sleep_for(std::chrono::duration<double>(stall));  // the stall
  PumpFor(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds - 0.5 - stall + 0.5)));
  sender.join();
  PumpFor(500ms);
  bool stopped = true;
  module->ServiceStop(*module, stopped);
  std::this_thread::sleep_for(300ms);
  const std::size_t saved = SavedEventLines(root.LogFolder());
  const unsigned long long relayed = relays.Count();
  root.DrainEventLog();
  std::printf(
      "stall %.1f s at %.0f/s: sent %llu, saved %zu, relayed %llu, lost %lld (saved) %lld (relayed), "
      "failures %llu\n",
      stall, rate, sent.load(), saved, relayed, static_cast<long long>(sent) - static_cast<long long>(saved),
      static_cast<long long>(sent) - static_cast<long long>(relayed), failures.load());
  return saved == sent && relayed == sent ? 0 : 1;
}
