// Receive throughput of the async-select path (notification posted to a
// hidden window, GetMessage/DispatchMessage, one recvfrom per notification)
// against a plain poll + recvfrom loop on a UDP socket of the same kind.
//
// Two loads, each measured for both paths in alternating rounds:
//   flood    - a sender thread sends as fast as it can; the receiver never
//              waits, so this is the most each loop can take;
//   lockstep - the sender sends the next datagram only after the previous
//              one was read, so every datagram pays the full wake-up.
// Loopback only; ends by itself after about 15 seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "platform/winsock.h"
#include "support/udp_listener.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kWarmup = 200ms;
constexpr auto kMeasure = 1000ms;
constexpr int kRounds = 3;
constexpr win::UINT kSocketRead = win::WM_USER + 1;
// About the size of a typical event datagram.
const std::string kPayload = "2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files";

enum class Load { Flood, Lockstep };

// Sends to 127.0.0.1 `port` until stopped.
class Sender {
 public:
  Sender(std::uint16_t port, Load load, const std::atomic<std::uint64_t>& received)
      : thread_([this, port, load, &received] { Run(port, load, received); }) {}
  ~Sender() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run(std::uint16_t port, Load load, const std::atomic<std::uint64_t>& received) {
    kvtest::UdpListener socket;
    std::uint64_t sent = 0;
    while (!stop_.load(std::memory_order_relaxed)) {
      if (load == Load::Lockstep) {
        while (received.load(std::memory_order_acquire) < sent && !stop_.load(std::memory_order_relaxed)) {
        }
      }
      if (socket.TrySendTo(port, kPayload)) ++sent;
    }
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Runs the load against a receiver and returns datagrams per second.
template <typename StopFn>
double Measure(std::uint16_t port, Load load, std::atomic<std::uint64_t>& received, StopFn stopReceiver) {
  double rate;
  {
    Sender sender(port, load, received);
    std::this_thread::sleep_for(kWarmup);
    const std::uint64_t c0 = received.load();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(kMeasure);
    const std::uint64_t c1 = received.load();
    const auto t1 = Clock::now();
    rate = static_cast<double>(c1 - c0) / std::chrono::duration<double>(t1 - t0).count();
    stopReceiver();
  }
  return rate;
}

double PlainLoop(Load load) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::atomic<std::uint64_t> received{0};
  std::atomic<bool> stop{false};
  std::thread rx([&] {
    pollfd p{fd, POLLIN, 0};
    char buf[2048];
    while (!stop.load(std::memory_order_relaxed)) {
      if (::poll(&p, 1, 50) <= 0) continue;
      sockaddr_in from{};
      socklen_t fromLen = sizeof from;
      if (::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen) >= 0) {
        received.fetch_add(1, std::memory_order_release);
      }
    }
  });
  double rate = Measure(ntohs(addr.sin_port), load, received, [&] { stop = true; });
  rx.join();
  ::close(fd);
  return rate;
}

double MessagePath(Load load) {
  std::atomic<std::uint64_t> received{0};
  std::promise<std::pair<win::DWORD, std::uint16_t>> ready;
  std::thread rx([&] {
    win::WSADATA data;
    win::WSAStartup(win::MAKEWORD(1, 1), &data);
    win::SOCKET s = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
    win::SOCKADDR_IN addr{};
    addr.sin_family = win::WS_AF_INET;
    addr.sin_addr.S_addr = win::inet_addr("127.0.0.1");
    win::bind(s, reinterpret_cast<win::SOCKADDR*>(&addr), sizeof addr);
    int len = sizeof addr;
    win::getsockname(s, reinterpret_cast<win::SOCKADDR*>(&addr), &len);
    win::HWND hwnd = win::CreateHiddenWindow([&](win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM) {
      if (msg != kSocketRead) return win::LRESULT{0};
      char buf[2048];
      win::SOCKADDR_IN from{};
      int fromLen = sizeof from;
      if (win::recvfrom(static_cast<win::SOCKET>(wParam), buf, sizeof buf, 0, reinterpret_cast<win::SOCKADDR*>(&from),
                        &fromLen) >= 0) {
        received.fetch_add(1, std::memory_order_release);
      }
      return win::LRESULT{0};
    });
    win::WSAAsyncSelect(s, hwnd, kSocketRead, win::WS_FD_READ);
    ready.set_value({win::GetCurrentThreadId(), ntohs(addr.sin_port)});
    win::MSG msg;
    while (win::GetMessage(&msg, nullptr, 0, 0) > 0) win::DispatchMessage(&msg);
    win::closesocket(s);
    win::DestroyWindow(hwnd);
    win::WSACleanup();
  });
  auto [tid, port] = ready.get_future().get();
  double rate = Measure(port, load, received, [tid = tid] { win::PostThreadMessage(tid, win::WM_QUIT, 0, 0); });
  rx.join();
  return rate;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Compare(const char* name, Load load) {
  std::vector<double> plain;
  std::vector<double> message;
  for (int round = 0; round < kRounds; ++round) {
    plain.push_back(PlainLoop(load));
    message.push_back(MessagePath(load));
  }
  const double p = Median(plain);
  const double m = Median(message);
  std::printf("%-9s plain poll+recvfrom: %10.0f datagrams/s   message path: %10.0f datagrams/s   ratio %.2f\n", name, p,
              m, m / p);
  std::fflush(stdout);
}

}  // namespace

int main() {
  std::printf("Receive throughput, median of %d rounds of %lld ms (loopback UDP, %zu-byte datagrams)\n", kRounds,
              static_cast<long long>(kMeasure.count()), kPayload.size());
  Compare("flood", Load::Flood);
  Compare("lockstep", Load::Lockstep);
  return 0;
}
