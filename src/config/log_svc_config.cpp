#include "config/log_svc_config.h"

#include <string_view>

#include "base/exception.h"
#include "base/format.h"
#include "base/strconv.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/filesystem.h"
#include "platform/profile.h"
#include "platform/registry.h"

namespace kv {
namespace {

constexpr const char* kCurrentVersionKey = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kSection = "KVLogService";

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

std::int32_t ReadInteger(const std::string& iniFile, const char* key, std::int32_t fallback) {
  std::string text = win::GetPrivateProfileString(kSection, key, "", iniFile);
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.replace(0, 2, "$");
  return StrToIntDef(text, fallback);
}

void WriteValue(const std::string& iniFile, const char* key, const std::string& value) {
  if (!win::WritePrivateProfileString(kSection, key, value, iniFile))
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

bool ReadServiceConfig(std::int32_t& ReceivePort, std::int32_t& RepeatPort, std::int32_t& Interval, std::string& Folder,
                       std::int32_t& LogKeepDays) {
  const std::string configFolder = GetProgramFilesDir() + win::PathDelim + "KelvaneSystem";
  const std::string iniFile = configFolder + win::PathDelim + "KVLogService.ini";
  const std::string defaultLogFolder = configFolder + win::PathDelim + "Logs";

  // Everyone may read the settings; the log lines are for the service's own
  // user and group.
  if (!EnsureFolder(configFolder, win::FolderAccess::Everyone)) return false;

  if (win::FileExists(iniFile)) {
    // Keys missing from an existing file take their defaults and are not
    // added: the service never changes a file it did not create.
    ReceivePort = ReadInteger(iniFile, "ReceivePort", DefaultReceivePort);
    RepeatPort = ReadInteger(iniFile, "RepeatPort", DefaultRepeatPort);
    Interval = ReadInteger(iniFile, "Interval", DefaultInterval);
    Folder = win::GetPrivateProfileString(kSection, "Folder", defaultLogFolder, iniFile);
    LogKeepDays = ReadInteger(iniFile, "LogKeepDays", DefaultLogKeepDays);
  } else {
    ReceivePort = DefaultReceivePort;
    RepeatPort = DefaultRepeatPort;
    Interval = DefaultInterval;
    Folder = defaultLogFolder;
    LogKeepDays = DefaultLogKeepDays;
    WriteValue(iniFile, "ReceivePort", std::to_string(ReceivePort));
    WriteValue(iniFile, "RepeatPort", std::to_string(RepeatPort));
    WriteValue(iniFile, "Interval", std::to_string(Interval));
    WriteValue(iniFile, "Folder", Folder);
    WriteValue(iniFile, "LogKeepDays", std::to_string(LogKeepDays));
  }

  return EnsureFolder(Folder, win::FolderAccess::OwnerAndGroup);
}

}  // namespace kv
