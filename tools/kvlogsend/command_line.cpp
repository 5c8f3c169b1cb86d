#include "command_line.h"

#include <string_view>

#include "base/strconv.h"

namespace kvlogsend {
namespace {

// A field that the datagram separates with ":" must not hold one.
bool HasSeparator(const std::string& field) { return field.find(':') != std::string::npos; }

}  // namespace

std::string UsageText() {
  return "Usage: kvlogsend [--host HOST] [--port PORT] APP SOURCE TYPE CODE [MESSAGE...]\n"
         "\n"
         "Sends one event to the KVLogServer log service as a UDP datagram.\n"
         "\n"
         "  APP      name of the reporting application (no ':')\n"
         "  SOURCE   a second, wider label of the event (no ':')\n"
         "  TYPE     event type, a signed 32-bit integer (the log shows its first character)\n"
         "  CODE     event code, a signed 32-bit integer\n"
         "  MESSAGE  the message text: the words are joined by single blanks. Without\n"
         "           MESSAGE, every line of standard input is sent as one event.\n"
         "           Texts of 200 bytes or more are cut to 197 bytes and \"...\".\n"
         "\n"
         "  --host HOST  destination host name or IPv4 address (default 127.0.0.1)\n"
         "  --port PORT  destination UDP port, 1 to 65535 (default 2056)\n"
         "  --help       show this text\n"
         "  --version    show the version\n"
         "\n"
         "Integers are decimal, or hexadecimal after \"$\" or \"0x\". Options come before APP;\n"
         "\"--\" ends them.\n"
         "\n"
         "Exit status: 0 when every event was sent, 1 when a send failed or the host\n"
         "does not resolve, 2 for a usage error.\n";
}

std::optional<Options> ParseCommandLine(const std::vector<std::string>& args, std::string& error) {
  Options options;
  std::size_t i = 0;
  // Options first; the first other word starts the positional arguments.
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    }
    if (arg == "--version") {
      options.version = true;
      return options;
    }
    std::string name;
    std::optional<std::string> value;
    if (arg.rfind("--host", 0) == 0 || arg.rfind("--port", 0) == 0) {
      name = arg.substr(0, 6);
      if (arg.size() > 6) {
        if (arg[6] != '=') {
          error = "unknown option: " + arg;
          return std::nullopt;
        }
        value = arg.substr(7);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        error = "option " + name + " needs a value";
        return std::nullopt;
      }
    } else if (arg.size() > 1 && arg[0] == '-' && !kv::TryStrToInt(arg)) {
      error = "unknown option: " + arg;
      return std::nullopt;
    } else {
      break;
    }
    if (name == "--host") {
      if (value->empty()) {
        error = "the host is empty";
        return std::nullopt;
      }
      options.host = *value;
    } else {
      auto port = kv::TryStrToInt(*value);
      if (!port || *port < 1 || *port > 65535) {
        error = "PORT must be a number from 1 to 65535: " + *value;
        return std::nullopt;
      }
      options.port = *port;
    }
  }

  if (args.size() - i < 4) {
    error = "APP, SOURCE, TYPE and CODE are required";
    return std::nullopt;
  }
  options.app = args[i];
  options.source = args[i + 1];
  if (HasSeparator(options.app) || HasSeparator(options.source)) {
    error = "APP and SOURCE must not contain ':'";
    return std::nullopt;
  }
  auto type = kv::TryStrToInt(args[i + 2]);
  if (!type) {
    error = "TYPE must be a signed 32-bit integer: " + args[i + 2];
    return std::nullopt;
  }
  auto code = kv::TryStrToInt(args[i + 3]);
  if (!code) {
    error = "CODE must be a signed 32-bit integer: " + args[i + 3];
    return std::nullopt;
  }
  options.type = *type;
  options.code = *code;
  i += 4;
  if (i < args.size()) {
    std::string message = args[i];
    for (++i; i < args.size(); ++i) {
      message += ' ';
      message += args[i];
    }
    options.message = std::move(message);
  }
  return options;
}

}  // namespace kvlogsend
