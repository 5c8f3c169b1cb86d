// The registry store reader on any store file: the Program Files directory
// read from it, values read with the registry's buffer rules, and a string
// and a number written into it read back unchanged while the other value
// keeps its own.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/log_svc_config.h"
#include "fuzz_check.h"
#include "platform/error.h"
#include "platform/posix/ini_lines.h"
#include "platform/registry.h"
#include "scratch_root.h"

namespace {

constexpr char kKeyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

struct Read {
  win::LONG result = 0;
  win::DWORD type = 0;
  std::string data;
  bool operator==(const Read&) const = default;
};

// Reads a value in one call, into a buffer of `capacity` bytes: more than
// any value the store can hold (its size and a little).
Read QueryOnce(win::HKEY key, const std::string& name, std::size_t capacity) {
  Read read;
  std::vector<win::BYTE> buffer(capacity);
  win::DWORD got = static_cast<win::DWORD>(buffer.size());
  read.result = win::RegQueryValueEx(key, name, nullptr, &read.type, buffer.data(), &got);
  if (read.result == win::ERROR_SUCCESS) read.data.assign(reinterpret_cast<const char*>(buffer.data()), got);
  return read;
}

// Asks for the size first, then reads into a buffer of that size, and
// checks that one byte less is refused.
Read Query(win::HKEY key, const std::string& name) {
  Read read;
  win::DWORD size = 0;
  read.result = win::RegQueryValueEx(key, name, nullptr, &read.type, nullptr, &size);
  if (read.result != win::ERROR_SUCCESS) return read;
  std::vector<win::BYTE> buffer(size + 1);
  win::DWORD got = size;
  read.result = win::RegQueryValueEx(key, name, nullptr, &read.type, buffer.data(), &got);
  FUZZ_CHECK(read.result == win::ERROR_SUCCESS);
  FUZZ_CHECK(got == size);
  if (size > 0) {
    // Too small by one byte: ERROR_MORE_DATA with the size needed.
    win::DWORD small = size - 1;
    FUZZ_CHECK(win::RegQueryValueEx(key, name, nullptr, nullptr, buffer.data(), &small) == win::ERROR_MORE_DATA);
    FUZZ_CHECK(small == size);
  }
  read.data.assign(reinterpret_cast<const char*>(buffer.data()), got);
  if (read.type == win::REG_SZ || read.type == win::REG_EXPAND_SZ) {
    FUZZ_CHECK(!read.data.empty() && read.data.back() == '\0');
  } else {
    FUZZ_CHECK(read.type == win::REG_DWORD && read.data.size() == sizeof(win::DWORD));
  }
  return read;
}

std::string StoreFile() { return kvfuzz::ScratchRoot() + "/etc/kvregistry.conf"; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kvfuzz::ScratchRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The store's line model gives any text back byte for byte.
  FUZZ_CHECK(win::detail::IniLines(bytes, win::detail::IniRules::Store()).Print() == bytes);
  kvfuzz::WriteFileBytes(StoreFile(), bytes.data(), bytes.size());

  const std::string programFiles = kv::GetProgramFilesDir();
  FUZZ_CHECK(programFiles.find('\0') == std::string::npos);

  win::HKEY key = nullptr;
  const win::LONG opened =
      win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, kKeyPath, 0, win::KEY_READ | win::KEY_SET_VALUE, &key);
  if (opened != win::ERROR_SUCCESS) {
    FUZZ_CHECK(key == nullptr);
    return 0;
  }
  const Read path = Query(key, "ProgramFilesDir");
  const Read count = Query(key, "Count");

  // A string from the input's last line, written and read back.
  std::string_view value =
      bytes.substr(bytes.find_last_of("\r\n") == std::string_view::npos ? 0 : bytes.find_last_of("\r\n") + 1);
  value = value.substr(0, value.find('\0'));
  std::string stored(value);
  stored.push_back('\0');
  win::LONG wrote =
      win::RegSetValueEx(key, "ProgramFilesDir", 0, win::REG_SZ, reinterpret_cast<const win::BYTE*>(stored.data()),
                         static_cast<win::DWORD>(stored.size()));
  FUZZ_CHECK(wrote == win::ERROR_SUCCESS);
  // Each query reads the whole store again: after the writes, one call each.
  const std::size_t room = size + 16;
  const Read pathAfter = QueryOnce(key, "ProgramFilesDir", room);
  FUZZ_CHECK(pathAfter.result == win::ERROR_SUCCESS && pathAfter.type == win::REG_SZ && pathAfter.data == stored);
  FUZZ_CHECK(QueryOnce(key, "Count", room) == count);

  // A number from the input's first bytes, written and read back.
  win::DWORD number = 0;
  std::memcpy(&number, bytes.data(), std::min(bytes.size(), sizeof number));
  wrote =
      win::RegSetValueEx(key, "Count", 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&number), sizeof number);
  FUZZ_CHECK(wrote == win::ERROR_SUCCESS);
  const Read countAfter = QueryOnce(key, "Count", room);
  FUZZ_CHECK(countAfter.result == win::ERROR_SUCCESS && countAfter.type == win::REG_DWORD);
  FUZZ_CHECK(std::memcmp(countAfter.data.data(), &number, sizeof number) == 0);
  FUZZ_CHECK(QueryOnce(key, "ProgramFilesDir", room) == pathAfter);
  (void)path;

  FUZZ_CHECK(win::RegCloseKey(key) == win::ERROR_SUCCESS);
  return 0;
}
