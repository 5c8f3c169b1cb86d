// Facts about the settings that an administrator can act on, in English:
// the event log entries that go with "KVLogService configuation error" and
// with the warnings at start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv {

// The settings of the INI file that the service does not take as written,
// one text each: a value that is no number (its default is used), a port
// outside 0 to 65535 (taken modulo 65536). Nothing for missing keys, which
// take their defaults by design, or when there is no INI file.
std::vector<std::string> SettingFacts();

// Why the relay port cannot be used, or "" when it can: a RepeatPort
// outside 1 to 65535, to which no datagram can go, or the port the service
// receives on (ReceivePort modulo 65536), which would relay every event
// back to the service.
std::string RelayPortProblem(std::int32_t receivePort, std::int32_t repeatPort);

// Why the settings could not be read or their folders made: the folder or
// file that could not be made, with the system's reason. `folder` is the
// log folder the settings name ("" when they were not read).
std::string ConfigFailureFacts(const std::string& folder);

}  // namespace kv
