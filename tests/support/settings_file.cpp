#include "support/settings_file.h"

#include "support/temp_dir.h"

namespace kvtest {

std::string SettingsFileText(const kv::ServiceSettings& settings) {
  std::string text = "[" + std::string(kv::kSettingsSection) + "]\r\n";
  for (const kv::SettingKey& key : kv::kSettingKeys) text += key.name + ("=" + kv::SettingText(settings, key)) + "\r\n";
  return text;
}

void WriteSettingsFile(const std::string& path, const kv::ServiceSettings& settings) {
  WriteFile(path, SettingsFileText(settings));
}

}  // namespace kvtest
