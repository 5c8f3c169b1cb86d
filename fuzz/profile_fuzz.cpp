// The profile (INI) reader on any file: the service's five settings read
// from it (the service's own reading is left out: it makes the log folder
// the file names, anywhere on the machine), every value within the profile
// rules, and a value written into it read back unchanged while another key
// keeps its own.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/strconv.h"
#include "fuzz_check.h"
#include "platform/posix/ini_lines.h"
#include "platform/profile.h"
#include "scratch_root.h"

namespace {

constexpr std::array<const char*, 5> kKeys = {"ReceivePort", "RepeatPort", "Interval", "Folder", "LogKeepDays"};
constexpr char kSection[] = "KVLogService";

std::string IniPath() { return kvfuzz::ScratchRoot() + "/opt/KelvaneSystem/KVLogService.ini"; }

void CheckDelivered(const std::string& value) {
  FUZZ_CHECK(value.size() <= 2047);
  FUZZ_CHECK(value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A value the reader gives back exactly as written.
bool ReadsBackAsWritten(std::string_view value) {
  if (value.size() > 2047) return false;
  if (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back()))) return false;
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kvfuzz::ScratchRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = IniPath();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // The line model behind the reader gives any text back byte for byte.
  FUZZ_CHECK(win::detail::IniLines(bytes, win::detail::IniRules::Profile()).Print() == bytes);

  kvfuzz::WriteFileBytes(path, bytes.data(), bytes.size());
  std::array<std::string, kKeys.size()> before;
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    before[i] = win::GetPrivateProfileString(kSection, kKeys[i], "\x01", path);
    CheckDelivered(before[i]);
    // The settings' integer conversion, as the service applies it.
    if (i != 3) (void)kv::StrToIntDef(before[i], 0);
  }

  // A value taken from the input's last line, written to one of the keys.
  std::string_view value =
      bytes.substr(bytes.find_last_of("\r\n") == std::string_view::npos ? 0 : bytes.find_last_of("\r\n") + 1);
  value = value.substr(0, value.find('\0'));
  const std::size_t target = size % kKeys.size();
  if (!win::WritePrivateProfileString(kSection, kKeys[target], std::string(value), path)) return 0;
  const std::string after = win::GetPrivateProfileString(kSection, kKeys[target], "\x01", path);
  CheckDelivered(after);
  if (ReadsBackAsWritten(value)) FUZZ_CHECK(after == value);
  // One other key keeps its value; which one turns with the input's size
  // (each read parses the whole file again, so not all four every time).
  const std::size_t other = (target + 1 + size / kKeys.size() % (kKeys.size() - 1)) % kKeys.size();
  FUZZ_CHECK(win::GetPrivateProfileString(kSection, kKeys[other], "\x01", path) == before[other]);
  return 0;
}
