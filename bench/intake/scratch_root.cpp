#include "scratch_root.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/settings_file.h"

namespace kvbench {

ScratchRoot::ScratchRoot() : logFolder_(Sub("logs")) {
  std::filesystem::create_directories(Sub("opt/KelvaneSystem"));
  std::filesystem::create_directories(logFolder_);

  // Without a socket the entries would go to standard error, in between
  // the figures.
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string socketPath = Sub("dev/log");
  if (socketPath.size() < sizeof addr.sun_path) {
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    syslog_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (syslog_ >= 0 && ::bind(syslog_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(syslog_);
      syslog_ = -1;
    }
  }
}

ScratchRoot::~ScratchRoot() {
  if (syslog_ >= 0) ::close(syslog_);
}

void ScratchRoot::WriteSettings(std::uint16_t receivePort, std::uint16_t repeatPort, int intervalSeconds) const {
  std::ofstream ini(Sub("opt/KelvaneSystem/KVLogService.ini"), std::ios::binary | std::ios::trunc);
  ini << kvtest::SettingsFileText({receivePort, repeatPort, intervalSeconds, logFolder_, 30});
  if (!ini.flush()) throw std::runtime_error("cannot write the INI file");
}

void ScratchRoot::DrainEventLog() const {
  if (syslog_ < 0) return;
  char buffer[4096];
  while (::recv(syslog_, buffer, sizeof buffer, 0) >= 0) {
  }
}

}  // namespace kvbench
