#include "config/config_facts.h"

#include <cstdint>
#include <optional>

#include "config/log_svc_config.h"
#include "config/service_settings.h"
#include "platform/filesystem.h"
#include "platform/profile.h"

namespace kv {
namespace {

std::string Because(const std::string& path) {
  std::string reason = win::CreateProblem(path);
  return reason.empty() ? "" : ": " + reason;
}

}  // namespace

std::vector<std::string> SettingFacts() {
  std::vector<std::string> facts;
  const std::string ini = SettingsFilePath();
  if (!win::FileExists(ini)) return facts;
  for (const SettingKey& key : kSettingKeys) {
    if (key.kind == SettingKind::Folder) continue;
    std::string text = win::GetPrivateProfileString(kSettingsSection, key.name, "", ini);
    if (text.empty()) continue;
    std::optional<std::int32_t> value = ParseSettingNumber(text);
    if (!value) {
      facts.push_back("Setting " + std::string(key.name) + "=" + text + " in " + ini +
                      " is not a whole number from -2147483648 to 2147483647; the default " +
                      std::to_string(key.defaultNumber) + " is used");
    } else if (key.kind == SettingKind::Port && (*value < 0 || *value > 65535)) {
      facts.push_back("Setting " + std::string(key.name) + "=" + text + " in " + ini +
                      " is outside 0 to 65535; UDP port " + std::to_string(*value & 0xFFFF) +
                      " (the value modulo 65536) is used");
    }
  }
  return facts;
}

std::string RelayPortProblem(std::int32_t receivePort, std::int32_t repeatPort) {
  const std::string ini = SettingsFilePath();
  if (repeatPort < 1 || repeatPort > 65535)
    return "Setting RepeatPort=" + std::to_string(repeatPort) + " in " + ini +
           " names no UDP port a relay can go to (1 to 65535)";
  if ((receivePort & 0xFFFF) == repeatPort)
    return "Settings ReceivePort and RepeatPort in " + ini + " are both " + std::to_string(repeatPort) +
           ": every relay would come back to the service as a new event, without end";
  return "";
}

std::string ConfigFailureFacts(const std::string& folder) {
  const std::string configFolder = SettingsFolder();
  if (!win::DirectoryExists(configFolder))
    return "Cannot create the settings folder " + configFolder + Because(configFolder);
  const std::string ini = SettingsFilePath();
  if (!win::FileExists(ini)) return "Cannot write the settings file " + ini + Because(ini);
  if (const std::vector<std::string> cut = SettingsCut(ini); !cut.empty())
    return "Setting " + cut.front() + " in " + ini + " is " + std::to_string(win::ProfileValueMax) +
           " bytes or longer, more than the settings reader takes whole; it is not used cut";
  if (folder.empty()) return "The log folder setting Folder in " + ini + " is empty";
  if (!win::DirectoryExists(folder))
    return "Cannot create the log folder " + folder + Because(folder) +
           " (only its last level is created; the folders above it must exist)";
  return "";
}

}  // namespace kv
