// Paced sender: sleeps until the next datagram is due, then sends what is
// due in one sendmmsg call of at most 64.
#include "pacer.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kvload {
namespace {

constexpr unsigned kBatch = 64;
constexpr std::size_t kSize = 96;

// "2026/12/09 12.00.00:4711:BenchApp:LoadSender:4:0:load message 0000000001 ..."
void Fill(char* out, unsigned long long seq) {
  std::snprintf(out, kSize, "2026/12/09 12.00.00:4711:BenchApp:LoadSender:4:0:load message %010llu xxxxxxxx", seq);
}

}  // namespace

unsigned long long SendPaced(std::uint16_t port, double rate, double seconds) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int big = 4 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  std::vector<char> text(kBatch * kSize);
  mmsghdr messages[kBatch];
  iovec vectors[kBatch];
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  unsigned long long sent = 0;
  for (;;) {
    const auto now = Clock::now();
    if (now >= end) break;
    unsigned long long due;
    if (rate > 0) {
      due = static_cast<unsigned long long>(std::chrono::duration<double>(now - start).count() * rate) + 1;
      if (due <= sent) {
        // Sleep until the next datagram is due (at most a millisecond).
        const double wait =
            std::min(1e-3, (static_cast<double>(sent) + 1) / rate - std::chrono::duration<double>(now - start).count());
        timespec ts{0, static_cast<long>(wait * 1e9)};
        if (ts.tv_nsec > 0) ::nanosleep(&ts, nullptr);
        continue;
      }
    } else {
      due = sent + kBatch;
    }
    const unsigned n = static_cast<unsigned>(std::min<unsigned long long>(due - sent, kBatch));
    for (unsigned i = 0; i < n; ++i) {
      char* p = text.data() + i * kSize;
      Fill(p, sent + i + 1);
      vectors[i] = iovec{p, std::strlen(p)};
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_name = &to;
      messages[i].msg_hdr.msg_namelen = sizeof to;
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int done = ::sendmmsg(fd, messages, n, 0);
    if (done > 0) sent += static_cast<unsigned>(done);
  }
  ::close(fd);
  return sent;
}

}  // namespace kvload
