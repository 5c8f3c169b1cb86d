#include "support/datagram_collector.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace kvtest {

namespace {

// Datagrams with this prefix are the collector's own flush markers.
constexpr char kFlushMarker[] = "\x01kvtest-flush ";

// A path, or "@name" for the abstract namespace (no trailing NUL counted).
bool AddressOf(const std::string& address, sockaddr_un& addr, socklen_t& length) {
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  if (address.empty() || address.size() >= sizeof(addr.sun_path)) return false;
  std::memcpy(addr.sun_path, address.data(), address.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() + 1);
  if (address[0] == '@') {
    addr.sun_path[0] = '\0';
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
  }
  return true;
}

}  // namespace

DatagramCollector::DatagramCollector(std::string address) : address_(std::move(address)) {
  sockaddr_un addr{};
  socklen_t length = 0;
  if (!AddressOf(address_, addr, length)) throw std::runtime_error("unusable socket address: " + address_);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    int err = errno;
    close(fd_);
    throw std::runtime_error("bind " + address_ + ": " + std::strerror(err));
  }
  // Room for bursts of reports while the collecting thread is busy.
  int size = 4 * 1024 * 1024;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  stopFd_ = eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { Run(); });
}

DatagramCollector::~DatagramCollector() {
  // Wakes the collecting thread; it takes what has arrived and ends.
  std::uint64_t one = 1;
  while (write(stopFd_, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
  thread_.join();
  close(stopFd_);
  close(fd_);
  if (address_[0] != '@') unlink(address_.c_str());
}

void DatagramCollector::Run() {
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents & POLLIN) {
      ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n >= 0) {
        std::string datagram(buffer.data(), static_cast<std::size_t>(n));
        std::lock_guard lock(mutex_);
        if (datagram.rfind(kFlushMarker, 0) == 0) ++flushesSeen_;
        else datagrams_.push_back(std::move(datagram));
        arrived_.notify_all();
      }
      continue;  // drain before looking at the stop request
    }
    if (fds[1].revents & POLLIN) return;
  }
}

std::vector<std::string> DatagramCollector::Datagrams() const {
  std::lock_guard lock(mutex_);
  return datagrams_;
}

std::size_t DatagramCollector::Count() const {
  std::lock_guard lock(mutex_);
  return datagrams_.size();
}

bool DatagramCollector::Flush(std::chrono::milliseconds timeout) const {
  sockaddr_un addr{};
  socklen_t length = 0;
  if (!AddressOf(address_, addr, length)) return false;
  unsigned long long target;
  {
    std::lock_guard lock(mutex_);
    target = ++flushesSent_;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  std::string marker = kFlushMarker + std::to_string(target);
  ssize_t sent = sendto(fd, marker.data(), marker.size(), 0, reinterpret_cast<sockaddr*>(&addr), length);
  close(fd);
  if (sent < 0) return false;
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return flushesSeen_ >= target; });
}

bool DatagramCollector::WaitUntil(const std::function<bool(const std::vector<std::string>&)>& done,
                                  std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return done(datagrams_); });
}

}  // namespace kvtest
