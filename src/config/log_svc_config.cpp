#include "config/log_svc_config.h"

#include <string_view>

#include "base/exception.h"
#include "base/format.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/filesystem.h"
#include "platform/profile.h"
#include "platform/registry.h"

namespace kv {
namespace {

constexpr const char* kCurrentVersionKey = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// An open registry key, closed on every path.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (key_) win::RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Opens the key for reading with the first access right that works.
  bool OpenReadOnly(const std::string& path) {
    const win::REGSAM tries[] = {
        win::KEY_READ,
        win::STANDARD_RIGHTS_READ | win::KEY_QUERY_VALUE | win::KEY_ENUMERATE_SUB_KEYS,
        win::KEY_QUERY_VALUE,
    };
    for (win::REGSAM access : tries) {
      if (win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, path, 0, access, &key_) == win::ERROR_SUCCESS) return true;
      key_ = nullptr;
    }
    return false;
  }
  win::HKEY Get() const { return key_; }

 private:
  win::HKEY key_ = nullptr;
};

// The folder exists as a directory, or has just been created (last path
// element only) with the access given.
bool EnsureFolder(const std::string& folder, win::FolderAccess access) {
  if (win::DirectoryExists(folder)) return true;
  return win::CreateDirectory(folder, access) || win::DirectoryExists(folder);
}

// The value of `key` in the settings file `iniFile`, as the service reads it.
void ReadSetting(const std::string& iniFile, const SettingKey& key, const ServiceSettings& defaults,
                 ServiceSettings& settings) {
  if (key.number) {
    const std::string text = win::GetPrivateProfileString(kSettingsSection, key.name, "", iniFile);
    settings.*key.number = ParseSettingNumber(text).value_or(key.defaultNumber);
  } else {
    settings.*key.text = win::GetPrivateProfileString(kSettingsSection, key.name, defaults.*key.text, iniFile);
  }
}

void WriteValue(const std::string& iniFile, const char* key, const std::string& value) {
  if (!win::WritePrivateProfileString(kSettingsSection, key, value, iniFile))
    throw Exception(Format(win::Utf8ToAnsi("%s に書き込めません"), {iniFile}));
}

}  // namespace

std::string GetProgramFilesDir() {
  std::string result = win::DefaultProgramFilesDir();
  RegistryKey key;
  if (!key.OpenReadOnly(kCurrentVersionKey)) return result;
  win::DWORD type = 0;
  win::DWORD size = 0;
  win::LONG err = win::RegQueryValueEx(key.Get(), "ProgramFilesDir", nullptr, &type, nullptr, &size);
  if (err == win::ERROR_FILE_NOT_FOUND || (err == win::ERROR_SUCCESS && size == 0)) return "";
  if (err != win::ERROR_SUCCESS || (type != win::REG_SZ && type != win::REG_EXPAND_SZ)) return result;
  std::string data(size, '\0');
  err = win::RegQueryValueEx(key.Get(), "ProgramFilesDir", nullptr, &type, reinterpret_cast<win::BYTE*>(data.data()),
                             &size);
  if (err != win::ERROR_SUCCESS || (type != win::REG_SZ && type != win::REG_EXPAND_SZ)) return result;
  data.resize(size < data.size() ? size : data.size());
  return data.substr(0, data.find('\0'));
}

bool ReadServiceConfig(ServiceSettings& settings) {
  const std::string configFolder = SettingsFolder();
  const std::string iniFile = SettingsFilePath();
  const ServiceSettings defaults = DefaultSettings(configFolder);

  // Everyone may read the settings; the log lines are for the service's own
  // user and group.
  if (!EnsureFolder(configFolder, win::FolderAccess::Everyone)) return false;

  if (win::FileExists(iniFile)) {
    // Keys missing from an existing file take their defaults and are not
    // added: the service never changes a file it did not create.
    for (const SettingKey& key : kSettingKeys) ReadSetting(iniFile, key, defaults, settings);
  } else {
    settings = defaults;
    for (const SettingKey& key : kSettingKeys) WriteValue(iniFile, key.name, SettingText(settings, key));
  }

  // A value the reader had to cut names something else than the operator
  // wrote (a cut Folder another folder): refused, before a folder is made.
  if (!SettingsCut(iniFile).empty()) return false;
  return EnsureFolder(settings.Folder, win::FolderAccess::OwnerAndGroup);
}

std::vector<std::string> SettingsCut(const std::string& iniFile) {
  std::vector<std::string> cut;
  if (!win::FileExists(iniFile)) return cut;
  for (const SettingKey& key : kSettingKeys) {
    if (win::GetPrivateProfileString(kSettingsSection, key.name, "", iniFile).size() >= win::ProfileValueMax)
      cut.push_back(key.name);
  }
  return cut;
}

}  // namespace kv
