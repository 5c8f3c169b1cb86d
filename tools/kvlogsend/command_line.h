// The command line of kvlogsend:
//   kvlogsend [--host HOST] [--port PORT] APP SOURCE TYPE CODE [MESSAGE...]
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvlogsend {

constexpr const char* kDefaultHost = "127.0.0.1";
constexpr std::int32_t kDefaultPort = 2056;

struct Options {
  bool help = false;
  bool version = false;
  std::string host = kDefaultHost;
  std::int32_t port = kDefaultPort;
  std::string app;
  std::string source;
  std::int32_t type = 0;
  std::int32_t code = 0;
  // The MESSAGE words joined by single blanks; nullopt: one event per line
  // of standard input.
  std::optional<std::string> message;
};

// Parses argv[1...]. Returns the options, or sets `error` to what is wrong
// and returns nullopt.
std::optional<Options> ParseCommandLine(const std::vector<std::string>& args, std::string& error);

// The --help text.
std::string UsageText();

}  // namespace kvlogsend
