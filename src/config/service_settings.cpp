#include "config/service_settings.h"

#include "base/strconv.h"
#include "config/log_svc_config.h"
#include "platform/filesystem.h"

namespace kv {

std::string SettingsFolder() { return GetProgramFilesDir() + win::PathDelim + "KelvaneSystem"; }

std::string SettingsFilePath() { return SettingsFolder() + win::PathDelim + "KVLogService.ini"; }

ServiceSettings DefaultSettings(const std::string& settingsFolder) {
  ServiceSettings settings;
  for (const SettingKey& key : kSettingKeys) {
    if (key.number) settings.*key.number = key.defaultNumber;
    if (key.kind == SettingKind::Folder) settings.*key.text = settingsFolder + win::PathDelim + "Logs";
  }
  return settings;
}

std::string SettingText(const ServiceSettings& settings, const SettingKey& key) {
  return key.number ? std::to_string(settings.*key.number) : settings.*key.text;
}

std::optional<std::int32_t> ParseSettingNumber(std::string text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.replace(0, 2, "$");
  return TryStrToInt(text);
}

}  // namespace kv
