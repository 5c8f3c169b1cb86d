// The settings file as the tests and benchmarks write it: every key of the
// service's table (config/service_settings.h) in its order, `key=value` with
// CR LF, as the service writes a new file.
#pragma once

#include <string>

#include "config/service_settings.h"

namespace kvtest {

std::string SettingsFileText(const kv::ServiceSettings& settings);
// Writes it to `path` (the folder must exist).
void WriteSettingsFile(const std::string& path, const kv::ServiceSettings& settings);

}  // namespace kvtest
