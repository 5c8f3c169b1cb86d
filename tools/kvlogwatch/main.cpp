// kvlogwatch: listens on 127.0.0.1 at the log service's repeat port and
// prints every datagram that arrives, one per line, as it arrives.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/strconv.h"
#include "platform/error.h"
#include "platform/messages.h"
#include "platform/winsock.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr win::UINT kSocketRead = win::WM_USER + 1;
constexpr win::UINT_PTR kTimeoutTimer = 1;

const char kUsage[] =
    "Usage: kvlogwatch [--port PORT] [--count N] [--timeout SECONDS]\n"
    "\n"
    "Listens on 127.0.0.1 at PORT (default 2057, the log service's repeat port)\n"
    "and prints every event datagram that arrives, one per line, as it arrives.\n"
    "\n"
    "  --port PORT        UDP port, 1 to 65535\n"
    "  --count N          end after N datagrams (default: no limit)\n"
    "  --timeout SECONDS  end after SECONDS seconds (default: no limit)\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "\n"
    "Once it listens, it says so on standard error. Exit status: 0 at the end\n"
    "of the count or the time, 1 when it cannot listen, 2 for a usage error.\n";

struct Options {
  int port = 2057;
  int count = 0;
  int timeoutSeconds = 0;
};

std::optional<Options> Parse(int argc, char** argv, bool& help, bool& version) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      return options;
    }
    if (arg == "--version") {
      version = true;
      return options;
    }
    int* target = arg == "--port"      ? &options.port
                  : arg == "--count"   ? &options.count
                  : arg == "--timeout" ? &options.timeoutSeconds
                                       : nullptr;
    if (!target || i + 1 >= argc) {
      std::fprintf(stderr, "kvlogwatch: %s %s\n", arg.c_str(), target ? "needs a value" : "is not an option");
      return std::nullopt;
    }
    std::optional<std::int32_t> value = kv::TryStrToInt(argv[++i]);
    if (!value || *value < 0 || (target == &options.port && (*value < 1 || *value > 65535)) ||
        (target == &options.timeoutSeconds && *value > 2000000)) {
      std::fprintf(stderr, "kvlogwatch: %s: '%s' is out of range\n", arg.c_str(), argv[i]);
      return std::nullopt;
    }
    *target = *value;
  }
  return options;
}

// Owns the socket and the window that takes its read notifications.
class Watcher {
 public:
  explicit Watcher(const Options& options) : options_(options) {}
  ~Watcher() {
    if (socket_ != 0 && socket_ != win::INVALID_SOCKET) win::closesocket(socket_);
    if (window_) win::DestroyWindow(window_);
    if (started_) win::WSACleanup();
  }
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // Binds and asks for notifications; the failure's text when it cannot.
  std::optional<std::string> Listen() {
    win::WSADATA data;
    if (int err = win::WSAStartup(win::MAKEWORD(1, 1), &data)) return win::FormatSystemMessage(err);
    started_ = true;
    window_ = win::CreateHiddenWindow([this](win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM) {
      if (msg == kSocketRead) ReadOne();
      if (msg == win::WM_TIMER && wParam == kTimeoutTimer) win::PostQuitMessage(0);
      return win::LRESULT{0};
    });
    if (!window_) return win::FormatSystemMessage(win::GetLastError());
    socket_ = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
    if (socket_ == win::INVALID_SOCKET) return win::FormatSystemMessage(win::WSAGetLastError());
    win::SOCKADDR_IN address{};
    address.sin_family = win::WS_AF_INET;
    address.sin_port = win::htons(static_cast<win::WORD>(options_.port));
    address.sin_addr.S_addr = win::inet_addr("127.0.0.1");
    if (win::bind(socket_, reinterpret_cast<const win::SOCKADDR*>(&address), sizeof address) != 0 ||
        win::WSAAsyncSelect(socket_, window_, kSocketRead, win::WS_FD_READ) != 0)
      return win::FormatSystemMessage(win::WSAGetLastError());
    if (options_.timeoutSeconds > 0 &&
        !win::SetTimer(window_, kTimeoutTimer, static_cast<win::UINT>(options_.timeoutSeconds) * 1000u))
      return win::FormatSystemMessage(win::GetLastError());
    return std::nullopt;
  }

  // Takes and dispatches messages until the count or the time is up.
  void Run() {
    win::MSG msg;
    while (win::GetMessage(&msg, nullptr, 0, 0) > 0) win::DispatchMessage(&msg);
  }

 private:
  void ReadOne() {
    std::vector<char> buffer(65536);
    win::SOCKADDR_IN from{};
    int fromLength = sizeof from;
    int n = win::recvfrom(socket_, buffer.data(), static_cast<int>(buffer.size()), 0,
                          reinterpret_cast<win::SOCKADDR*>(&from), &fromLength);
    if (n < 0) return;
    std::fwrite(buffer.data(), 1, static_cast<std::size_t>(n), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (options_.count > 0 && ++received_ >= options_.count) win::PostQuitMessage(0);
  }

  Options options_;
  bool started_ = false;
  win::HWND window_ = nullptr;
  win::SOCKET socket_ = 0;
  int received_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  bool help = false;
  bool version = false;
  std::optional<Options> options = Parse(argc, argv, help, version);
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (version) {
    std::printf("kvlogwatch %s\n", KV_VERSION);
    return 0;
  }
  if (!options) {
    std::fputs("Try 'kvlogwatch --help' for more information.\n", stderr);
    return kExitUsage;
  }
  Watcher watcher(*options);
  if (std::optional<std::string> error = watcher.Listen()) {
    std::fprintf(stderr, "kvlogwatch: cannot listen on 127.0.0.1:%d: %s\n", options->port, error->c_str());
    return kExitFailure;
  }
  std::fprintf(stderr, "kvlogwatch: listening on 127.0.0.1:%d\n", options->port);
  std::fflush(stderr);
  watcher.Run();
  return 0;
}
