// The facts behind a start that failed with an exception, for a second event
// log entry in English beside the failure's own text.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kv {

// "UDP port 2056 (ReceivePort) is in use by another program" for a bind that
// found the port taken; the settings file or folder and the system's reason
// when the settings file could not be written; "" when the failure's text
// says all there is.
std::string StartFailureFacts(const std::exception& failure, std::int32_t receivePort, const std::string& folder);

// "The log folder F may not be written by the user U the service runs as
// (reason) ..." when this process may not create files in the log folder;
// "" when it may.
std::string LogFolderAccessFacts(const std::string& folder);

}  // namespace kv
