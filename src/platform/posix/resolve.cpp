#include "platform/resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>

namespace win {

std::optional<std::string> ResolveIPv4(const std::string& name, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
  if (rc != 0 || !found) {
    if (error) *error = rc != 0 ? ::gai_strerror(rc) : "no IPv4 address";
    return std::nullopt;
  }
  char text[INET_ADDRSTRLEN] = {};
  const auto* addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  if (!::inet_ntop(AF_INET, &addr->sin_addr, text, sizeof text)) {
    if (error) *error = "address cannot be written";
    return std::nullopt;
  }
  return std::string(text);
}

}  // namespace win
