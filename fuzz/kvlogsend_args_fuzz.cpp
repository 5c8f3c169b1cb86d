// kvlogsend's command line on any words: options or a usage error, never
// both and never neither; accepted options hold a port in range, a host,
// names without ":", and the message words joined by single blanks.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "command_line.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> args = kvfuzz::SplitArgs(data, size);
  std::string error;
  const std::optional<kvlogsend::Options> options = kvlogsend::ParseCommandLine(args, error);
  if (!options) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  FUZZ_CHECK(error.empty());
  if (options->help) return 0;
  FUZZ_CHECK(options->port >= 1 && options->port <= 65535);
  FUZZ_CHECK(!options->host.empty());
  FUZZ_CHECK(options->app.find(':') == std::string::npos);
  FUZZ_CHECK(options->source.find(':') == std::string::npos);
  if (options->message) {
    // The message is the last words of the command line, joined.
    std::string tail;
    for (std::size_t i = args.size(); i-- > 0;) {
      tail = i + 1 == args.size() ? args[i] : args[i] + " " + tail;
      if (tail.size() >= options->message->size()) break;
    }
    FUZZ_CHECK(tail.size() >= options->message->size());
    FUZZ_CHECK(tail.ends_with(*options->message));
  }
  return 0;
}
