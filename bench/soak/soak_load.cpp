#include "soak_load.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kvsoak {
namespace {

constexpr std::string_view kPrefix = "2024/03/05 14.07.09:1:SoakApp:SoakSource:1:2:soak event ";
constexpr std::string_view kMarker = "soak event ";

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

}  // namespace

std::string EventDatagram(std::uint64_t n) { return std::string(kPrefix) + std::to_string(n); }

std::int64_t EventNumber(std::string_view line) {
  const std::size_t at = line.rfind(kMarker);
  if (at == std::string_view::npos) return -1;
  const std::string_view digits = line.substr(at + kMarker.size());
  std::uint64_t n = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size()) return -1;
  return static_cast<std::int64_t>(n);
}

std::uint64_t SendPaced(std::uint16_t port, std::uint64_t rate, const std::atomic<bool>& stop) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("no sender socket");
  const sockaddr_in to = Loopback(port);
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t sent = 0;
  while (!stop.load()) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto due = static_cast<std::uint64_t>(elapsed * static_cast<double>(rate));
    while (sent < due) {
      const std::string text = EventDatagram(sent);
      if (sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) break;
      ++sent;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  close(fd);
  return sent;
}

RelayListener::RelayListener() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int big = 64 << 20;
  // Root may go past the system's limit; the relay listener must not be
  // the one that drops.
  if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  sockaddr_in addr = Loopback(0);
  socklen_t length = sizeof addr;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
    throw std::runtime_error("no relay listener");
  port_ = ntohs(addr.sin_port);
}

RelayListener::~RelayListener() { close(fd_); }

void RelayListener::Run(SeenSet& relayed, std::atomic<std::uint64_t>& count, const std::atomic<bool>& stop) {
  char buffer[4096];
  while (!stop.load()) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    for (;;) {
      const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0) break;
      const std::int64_t number = EventNumber(std::string_view(buffer, static_cast<std::size_t>(n)));
      if (number >= 0 && relayed.Mark(static_cast<std::uint64_t>(number))) ++count;
    }
  }
}

void CheckSavedFiles(const std::string& folder, bool all, SeenSet& saved, FileFigures& figures) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.starts_with("kvs") && name.ends_with(".log")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  if (!all && !names.empty()) names.pop_back();
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      ++figures.lines;
      const std::int64_t number = EventNumber(line);
      if (number < 0) continue;
      ++figures.eventLines;
      if (!saved.Mark(static_cast<std::uint64_t>(number))) ++figures.duplicates;
    }
    ++figures.files;
    std::filesystem::remove(path);
  }
}

namespace {

// Makes `path` (empty) if needed and dates its last write 60 days back.
bool MakeOld(const std::string& path) {
  const time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() - std::chrono::hours(24 * 60));
  const timespec times[2] = {{t, 0}, {t, 0}};
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  futimens(fd, times);
  close(fd);
  return true;
}

}  // namespace

OldFileTree::OldFileTree(const std::string& folder, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::string dir = folder + "/tree" + std::to_string(i % 100);
    if (i < 100) std::filesystem::create_directories(dir);
    const std::string path = dir + "/kvs2020" + std::to_string(100000000 + i) + ".log";
    if (i % 100 == 0) {
      if (!MakeOld(path)) throw std::runtime_error("cannot make " + path);
      old_.push_back(path);
      continue;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot make " + path);
    close(fd);
  }
}

std::size_t OldFileTree::Restore() const {
  std::size_t made = 0;
  for (const std::string& path : old_) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) continue;
    made += MakeOld(path);
  }
  return made;
}

std::uint64_t UdpReceiveQueueDrops() {
  std::ifstream snmp("/proc/net/snmp");
  std::string header, values;
  while (std::getline(snmp, header)) {
    if (!header.starts_with("Udp: ") || !std::getline(snmp, values)) continue;
    std::istringstream names(header), numbers(values);
    std::string name, number;
    while (names >> name && numbers >> number) {
      if (name == "RcvbufErrors") return std::stoull(number);
    }
  }
  return 0;
}

std::uint64_t ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

}  // namespace kvsoak
