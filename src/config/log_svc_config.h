// The service's five settings: the Program Files directory from the
// registry, the configuration folder `KelvaneSystem` below it, the INI file
// `KVLogService.ini` (created with the defaults on the first start) and the
// log folder. Read once per service start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/service_settings.h"

namespace kv {

// The "ProgramFilesDir" value of HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion.
// When the key cannot be opened, the system default (win::DefaultProgramFilesDir);
// when the value is missing or empty, ""; when it is not a string, the
// default. Never fails. Safe from any thread.
std::string GetProgramFilesDir();

// Makes sure the configuration folder exists, creates the INI file with the
// defaults when it is missing, reads the settings (no range tests) and
// makes sure the log folder exists. True when both folders exist at the end.
// False without touching `settings` when the configuration folder cannot be
// made. Raises kv::Exception("<ini path> に書き込めません") when a new INI
// file cannot be written (`settings` then holds the defaults).
// A value that may have been cut by the reader (see SettingsCut) gives false
// before the log folder is made.
// One call at a time (the service's request thread).
bool ReadServiceConfig(ServiceSettings& settings);

// The keys of the INI file `iniFile` whose values fill the settings
// reader's buffer, so that they may have been cut from longer ones.
std::vector<std::string> SettingsCut(const std::string& iniFile);

}  // namespace kv
