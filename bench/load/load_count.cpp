// Counts the datagrams that arrive on a UDP port of 127.0.0.1 (only those
// that contain MATCH, when given) until it gets SIGTERM or SIGINT, then
// prints "received N of ALL cpu SECONDS" (its own user + system CPU). It asks for a 64 MiB receive buffer and reads in
// batches, so that it loses nothing itself. PORT 0 takes a free port; the
// port is printed to standard error ("listening PORT") once it listens.
//   kvload_count PORT [MATCH]
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cpu_seconds.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

constexpr unsigned kBatch = 64;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: kvload_count PORT [MATCH]\n");
    return 2;
  }
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  const int big = 64 << 20;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("bind");
    return 1;
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::fprintf(stderr, "listening %u\n", ntohs(addr.sin_port));
  static char buffers[kBatch][2048];
  mmsghdr messages[kBatch];
  iovec vectors[kBatch];
  unsigned long long received = 0;
  unsigned long long all = 0;
  while (!gStop) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    for (;;) {
      for (unsigned i = 0; i < kBatch; ++i) {
        vectors[i] = iovec{buffers[i], sizeof buffers[i]};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const int n = ::recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
      if (n <= 0) break;
      all += static_cast<unsigned>(n);
      for (int i = 0; i < n; ++i) {
        received += argc < 3 || ::memmem(buffers[i], messages[i].msg_len, argv[2], std::strlen(argv[2])) != nullptr;
      }
    }
  }
  std::printf("received %llu of %llu cpu %.3f\n", received, all, kvload::CpuSeconds());
  std::fflush(stdout);
  return 0;
}
