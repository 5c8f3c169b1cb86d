// The unit-file reader on any unit file: the service key found by its unit,
// the service opened through the service manager, its description read, and
// a description written into the unit read back unchanged.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "scratch_root.h"

namespace {

constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\KVLogService";

std::string UnitFile() { return kvfuzz::ScratchRoot() + "/etc/systemd/system/KVLogService.service"; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::optional<std::string> Description(win::HKEY key) {
  win::DWORD type = 0, size = 0;
  if (win::RegQueryValueEx(key, "Description", nullptr, &type, nullptr, &size) != win::ERROR_SUCCESS) return {};
  FUZZ_CHECK(type == win::REG_SZ && size >= 1);
  std::vector<win::BYTE> buffer(size);
  FUZZ_CHECK(win::RegQueryValueEx(key, "Description", nullptr, &type, buffer.data(), &size) == win::ERROR_SUCCESS);
  FUZZ_CHECK(buffer[size - 1] == 0);
  return std::string(reinterpret_cast<const char*>(buffer.data()), size - 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kvfuzz::ScratchRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  kvfuzz::WriteFileBytes(UnitFile(), bytes.data(), bytes.size());

  win::SC_HANDLE manager = win::OpenSCManager(nullptr, nullptr, win::SC_MANAGER_CONNECT);
  FUZZ_CHECK(manager != nullptr);
  win::SC_HANDLE service = win::OpenService(manager, "KVLogService", win::SERVICE_QUERY_STATUS);
  FUZZ_CHECK(service != nullptr);
  FUZZ_CHECK(win::CloseServiceHandle(service));
  FUZZ_CHECK(win::CloseServiceHandle(manager));

  win::HKEY key = nullptr;
  FUZZ_CHECK(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, kServiceKey, 0, win::KEY_READ | win::KEY_SET_VALUE, &key) ==
             win::ERROR_SUCCESS);
  (void)Description(key);

  // A description from the input's last line.
  std::string_view value =
      bytes.substr(bytes.find_last_of("\r\n") == std::string_view::npos ? 0 : bytes.find_last_of("\r\n") + 1);
  value = value.substr(0, value.find('\0'));
  std::string stored(value);
  stored.push_back('\0');
  const win::LONG wrote =
      win::RegSetValueEx(key, "Description", 0, win::REG_SZ, reinterpret_cast<const win::BYTE*>(stored.data()),
                         static_cast<win::DWORD>(stored.size()));
  if (!value.empty() && value.back() == '\\') {
    FUZZ_CHECK(wrote == win::ERROR_INVALID_PARAMETER);
  } else {
    FUZZ_CHECK(wrote == win::ERROR_SUCCESS);
    const std::optional<std::string> back = Description(key);
    FUZZ_CHECK(back.has_value());
    // Blanks around a unit value are not part of it.
    if (value.empty() || (!IsBlank(value.front()) && !IsBlank(value.back()))) FUZZ_CHECK(*back == value);
  }
  FUZZ_CHECK(win::RegCloseKey(key) == win::ERROR_SUCCESS);
  return 0;
}
