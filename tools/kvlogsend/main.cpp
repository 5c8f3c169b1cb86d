// kvlogsend: sends events to the log service, as `logger` does for syslog.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "net/app_event_msg.h"
#include "platform/resolve.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Sends the events of `options`: the one message, or one per input line.
void SendAll(kv::TAppEventMsg& sender, const kvlogsend::Options& options) {
  auto send = [&](const std::string& text) {
    sender.SendEvent(options.app, text, options.source, options.type, options.code);
  };
  if (options.message) {
    send(*options.message);
    return;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    send(line);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  auto options = kvlogsend::ParseCommandLine(args, error);
  if (!options) {
    std::cerr << "kvlogsend: " << error << "\n"
              << "Try 'kvlogsend --help' for more information.\n";
    return kExitUsage;
  }
  if (options->help) {
    std::cout << kvlogsend::UsageText();
    return 0;
  }
  if (options->version) {
    std::cout << "kvlogsend " << KV_VERSION << "\n";
    return 0;
  }

  auto address = win::ResolveIPv4(options->host, &error);
  if (!address) {
    std::cerr << "kvlogsend: cannot resolve host '" << options->host << "': " << error << "\n";
    return kExitFailure;
  }

  kv::TAppEventMsg sender(options->port, *address);
  try {
    sender.Startup();
  } catch (const std::exception& e) {
    std::cerr << "kvlogsend: " << e.what() << "\n";
    return kExitFailure;
  }
  int status = 0;
  try {
    sender.Open();
    SendAll(sender, *options);
  } catch (const std::exception& e) {
    std::cerr << "kvlogsend: " << e.what() << "\n";
    status = kExitFailure;
  }
  // Closing a socket that was never made fails harmlessly; the process ends.
  try {
    sender.Close();
  } catch (const std::exception&) {
  }
  sender.Cleanup();
  return status;
}
