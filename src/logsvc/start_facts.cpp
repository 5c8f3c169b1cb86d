#include "logsvc/start_facts.h"

#include <string_view>

#include "base/exception.h"
#include "config/config_facts.h"
#include "platform/error.h"
#include "platform/service_account.h"

namespace kv {

std::string StartFailureFacts(const std::exception& failure, std::int32_t receivePort, const std::string& folder) {
  const auto* known = dynamic_cast<const Exception*>(&failure);
  const std::string text = known ? known->Message() : std::string(failure.what());
  const std::string port = std::to_string(receivePort & 0xFFFF);
  const std::string_view bind = "Bind Socket failed. stat = ";
  if (text.rfind(bind, 0) == 0) {
    const std::string code = text.substr(bind.size());
    if (code == std::to_string(win::WSAEADDRINUSE))
      return "UDP port " + port + " (ReceivePort) is in use by another program; stop it or choose another port";
    if (code == std::to_string(win::WSAEACCES))
      return "UDP port " + port + " (ReceivePort) may not be used by this process: " +
             win::FormatSystemMessage(static_cast<win::DWORD>(win::WSAEACCES));
    return "";
  }
  // The settings file of a first start could not be written.
  if (text.find(".ini") != std::string::npos) return ConfigFailureFacts(folder);
  return "";
}

std::string LogFolderAccessFacts(const std::string& folder) {
  const std::string problem = win::FolderWriteProblem(folder);
  if (problem.empty()) return "";
  return "The log folder " + folder + " may not be written by the user " + win::ProcessAccountName() +
         " the service runs as (" + problem +
         "); make it writable for that user or set Folder to a folder it may write";
}

}  // namespace kv
