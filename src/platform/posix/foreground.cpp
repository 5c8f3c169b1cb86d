// The process as its own service manager: a notify socket of its own that
// a thread reads, printing each report's status text.
#include "platform/foreground.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>

#include "platform/eventlog.h"
#include "platform/posix/detail/unique_fd.h"

namespace win {

struct ForegroundServiceManager::State {
  std::string prefix;
  detail::UniqueFd socketFd;
  detail::UniqueFd stopFd;
  std::thread reader;

  // The STATUS= line of one notify datagram, printed when there is one.
  void Print(const std::string& datagram) const {
    std::size_t at = 0;
    while (at < datagram.size()) {
      std::size_t end = datagram.find('\n', at);
      if (end == std::string::npos) end = datagram.size();
      std::string line = datagram.substr(at, end - at);
      if (line.rfind("STATUS=", 0) == 0) {
        std::string out = prefix + ": " + line.substr(7) + "\n";
        std::fputs(out.c_str(), stderr);
        std::fflush(stderr);
      }
      at = end + 1;
    }
  }

  // Prints every datagram that waits; false when none did.
  bool Drain() const {
    bool any = false;
    char buffer[4096];
    for (;;) {
      ssize_t n = recv(socketFd.Get(), buffer, sizeof(buffer), MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return any;
      any = true;
      Print(std::string(buffer, static_cast<std::size_t>(n)));
    }
  }

  void Run() const {
    for (;;) {
      pollfd fds[2] = {{socketFd.Get(), POLLIN, 0}, {stopFd.Get(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      Drain();
      if (fds[1].revents & POLLIN) return;
    }
  }
};

ForegroundServiceManager::ForegroundServiceManager(std::string prefix) : state_(std::make_unique<State>()) {
  state_->prefix = std::move(prefix);
  state_->socketFd.Reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  state_->stopFd.Reset(eventfd(0, EFD_CLOEXEC));
  if (!state_->socketFd || !state_->stopFd)
    throw std::runtime_error(std::string("no notify socket: ") + std::strerror(errno));
  std::random_device random;
  std::string name = "@kvlogserver-foreground-" + std::to_string(getpid()) + "-" + std::to_string(random());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, name.c_str(), name.size());
  addr.sun_path[0] = '\0';
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (bind(state_->socketFd.Get(), reinterpret_cast<sockaddr*>(&addr), length) != 0)
    throw std::runtime_error(std::string("no notify socket: ") + std::strerror(errno));
  setenv("NOTIFY_SOCKET", name.c_str(), 1);
  SetEventLogToStandardError(true);
  const State* state = state_.get();
  state_->reader = std::thread([state] { state->Run(); });
}

ForegroundServiceManager::~ForegroundServiceManager() {
  std::uint64_t one = 1;
  while (write(state_->stopFd.Get(), &one, sizeof(one)) < 0 && errno == EINTR) {
  }
  if (state_->reader.joinable()) state_->reader.join();
  state_->Drain();
  SetEventLogToStandardError(false);
  unsetenv("NOTIFY_SOCKET");
}

}  // namespace win
