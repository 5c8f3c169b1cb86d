#include "platform/resolve.h"

#include "platform/win32/sdk.h"

#include <ws2tcpip.h>

namespace win {

std::optional<std::string> ResolveIPv4(const std::string& name, std::string* error) {
  // getaddrinfo needs Windows Sockets started; the count is the process's.
  WSADATA data{};
  const bool started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  std::optional<std::string> result;
  if (rc == 0 && found) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text))) result = text;
  }
  if (found) ::freeaddrinfo(found);
  if (!result && error) *error = rc != 0 ? ::gai_strerrorA(rc) : "no IPv4 address";
  if (started) ::WSACleanup();
  return result;
}

}  // namespace win
