// The service's five settings as one value, where their file is, and the
// one table of their keys in it: name, kind and default. Reading
// (ReadServiceConfig), writing the defaults of a new file, the facts of a
// refused start and the tests' settings writer all go through the table, so
// that a setting added is a row of kSettingKeys, a member of
// ServiceSettings, and the code that uses it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kv {

struct ServiceSettings {
  std::int32_t ReceivePort = 0;
  std::int32_t RepeatPort = 0;
  std::int32_t Interval = 0;
  std::string Folder;
  std::int32_t LogKeepDays = 0;
};

enum class SettingKind {
  // A whole number: decimal, or hexadecimal after "$" or "0x"; a text that
  // is none takes the default.
  Number,
  // A Number that names a UDP port, taken modulo 65536.
  Port,
  // A folder's path as written; when missing, the default log folder (the
  // settings folder's "Logs").
  Folder,
};

struct SettingKey {
  const char* name;
  SettingKind kind;
  std::int32_t defaultNumber;             // Number and Port
  std::int32_t ServiceSettings::*number;  // Number and Port
  std::string ServiceSettings::*text;     // Folder
};

// In the order the file the service creates lists them.
inline constexpr SettingKey kSettingKeys[] = {
    {"ReceivePort", SettingKind::Port, 2056, &ServiceSettings::ReceivePort, nullptr},
    {"RepeatPort", SettingKind::Port, 2057, &ServiceSettings::RepeatPort, nullptr},
    {"Interval", SettingKind::Number, 21600, &ServiceSettings::Interval, nullptr},
    {"Folder", SettingKind::Folder, 0, nullptr, &ServiceSettings::Folder},
    {"LogKeepDays", SettingKind::Number, 30, &ServiceSettings::LogKeepDays, nullptr},
};

// The section of the settings file that holds the keys.
inline constexpr const char* kSettingsSection = "KVLogService";

// The settings folder, `KelvaneSystem` in the Program Files directory
// (GetProgramFilesDir), which holds the settings file, the buffer file and
// by default the log folder; and the settings file in it,
// `KVLogService.ini`. Safe from any thread.
std::string SettingsFolder();
std::string SettingsFilePath();

// Every setting at its default, the log folder in `settingsFolder`. Pure.
ServiceSettings DefaultSettings(const std::string& settingsFolder);

// The value of `key` in `settings` as the settings file holds it: a number
// in plain signed decimal, a folder as its text. Pure.
std::string SettingText(const ServiceSettings& settings, const SettingKey& key);

// A Number's or Port's text as the service converts it; nullopt for a text
// that is no number (the setting then takes its default). Pure.
std::optional<std::int32_t> ParseSettingNumber(std::string text);

}  // namespace kv
