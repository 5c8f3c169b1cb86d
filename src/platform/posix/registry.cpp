// The registry emulation: a text store for ordinary keys, systemd unit files
// for the service keys. Every call reads the files afresh, so a person may
// edit them while the program runs.
//
// The store is a small human-editable text file under the system root,
// `<root>/etc/kvregistry.conf`:
//
//   ; comment
//   [SOFTWARE\Microsoft\Windows\CurrentVersion]
//   ProgramFilesDir = sz:/opt
//   Path = expand_sz:%SystemRoot%/bin
//   Count = dword:16              (decimal, or hexadecimal after 0x)
//
// One section per key path, names compared without regard to letter case;
// the first of duplicate sections or values wins. A missing store or section
// means the key cannot be opened (ERROR_FILE_NOT_FOUND).
//
// The service key `SYSTEM\CurrentControlSet\Services\<name>` exists exactly
// when the service manager finds the service's unit
// `<root>/etc/systemd/system/<name>.service` (a link counts even when its
// target is missing); its "Description" value is the unit's `Description=`
// line in `[Unit]`.
#include "platform/registry.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/codepage.h"
#include "platform/common/handle_table.h"
#include "platform/error.h"
#include "platform/posix/ini_lines.h"
#include "platform/posix/root.h"
#include "platform/posix/text_file.h"
#include "platform/posix/unit_file.h"

namespace win {

// An open key: its full path below HKEY_LOCAL_MACHINE (no leading
// backslash), the access it was opened with, and for a service key the unit
// file that stands for it.
struct RegistryKeyObject {
  std::string path;
  REGSAM access = 0;
  std::string serviceName;
};

namespace {

using detail::EqualsNoCase;
using detail::TrimBlanks;

constexpr std::string_view kServicesPrefix = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK;

// Every open key; an unknown HKEY value is refused with ERROR_INVALID_HANDLE.
detail::HandleTable<HKEY, RegistryKeyObject>& Keys() {
  static detail::HandleTable<HKEY, RegistryKeyObject> table;
  return table;
}

// Serialises this process's read-modify-write cycles on the store and the
// unit files.
std::mutex& FilesMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string StorePath() { return PlatformPath("/etc/kvregistry.conf"); }

// The key's own registry resolved against its parent. A leading backslash
// starts at the root key.
std::optional<RegistryKeyObject> Resolve(HKEY key, const std::string& subKey) {
  std::string base;
  if (key != HKEY_LOCAL_MACHINE) {
    std::shared_ptr<const RegistryKeyObject> parent = Keys().Find(key);
    if (!parent) return std::nullopt;
    base = parent->path;
  }
  std::string_view sub = subKey;
  if (!sub.empty() && sub.front() == '\\') {
    sub.remove_prefix(1);
    base.clear();
  }
  RegistryKeyObject resolved;
  resolved.path = base.empty() ? std::string(sub) : sub.empty() ? base : base + "\\" + std::string(sub);
  return resolved;
}

// "SYSTEM\CurrentControlSet\Services\<name>" -> name; "" for other keys.
std::string ServiceNameOf(const std::string& path) {
  if (path.size() <= kServicesPrefix.size() || !EqualsNoCase(path.substr(0, kServicesPrefix.size()), kServicesPrefix))
    return "";
  std::string name = path.substr(kServicesPrefix.size());
  if (name.find_first_of("\\/") != std::string::npos || name == "." || name == "..") return "";
  return name;
}

// The unit file of a service ("" when there is none), by the service
// manager's own rules.
std::string FindUnitFile(const std::string& serviceName) {
  std::string name = detail::FindUnit(serviceName);
  return name.empty() ? "" : detail::UnitFolder() + "/" + name;
}

// ---- text store ----------------------------------------------------------

detail::IniLines ParseStore(std::string_view text) {
  detail::IniLines lines(text, detail::IniRules::Store());
  lines.EndLastLine();  // every line of a rewritten store ends
  return lines;
}

bool SameKeyPath(std::string_view a, std::string_view b) {
  if (!a.empty() && a.front() == '\\') a.remove_prefix(1);
  if (!b.empty() && b.front() == '\\') b.remove_prefix(1);
  return EqualsNoCase(a, b);
}

std::optional<detail::IniSection> FindSection(const detail::IniLines& lines, std::string_view path) {
  return lines.FindSection([path](std::string_view name) { return SameKeyPath(name, path); });
}

struct StoredValue {
  std::string name;
  DWORD type = REG_NONE;
  std::string data;  // as a query returns it: strings with their NUL
};

std::optional<DWORD> ParseDword(std::string_view text) {
  text = TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    int digit = c >= '0' && c <= '9'                 ? c - '0'
                : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
    if (digit < 0) return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  if (negative) {
    if (value > 0x80000000ull) return std::nullopt;
    return static_cast<DWORD>(0u - static_cast<DWORD>(value));
  }
  return static_cast<DWORD>(value);
}

// `Name = type:data`; nullopt for comments, blank lines and malformed values.
std::optional<StoredValue> ParseValueLine(const detail::IniLines& lines, std::size_t i) {
  std::optional<detail::IniKey> key = lines.Key(i);
  if (!key) return std::nullopt;
  StoredValue value;
  value.name = std::string(key->name);
  if (value.name == "@") value.name.clear();
  std::string_view rest = key->value;
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  std::string_view::size_type colon = rest.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view typeName = TrimBlanks(rest.substr(0, colon));
  std::string_view text = rest.substr(colon + 1);
  if (EqualsNoCase(typeName, "sz") || EqualsNoCase(typeName, "expand_sz")) {
    value.type = EqualsNoCase(typeName, "sz") ? REG_SZ : REG_EXPAND_SZ;
    value.data = std::string(text) + '\0';
    return value;
  }
  if (EqualsNoCase(typeName, "dword")) {
    std::optional<DWORD> number = ParseDword(text);
    if (!number) return std::nullopt;
    value.type = REG_DWORD;
    value.data.resize(sizeof(DWORD));
    std::memcpy(value.data.data(), &*number, sizeof(DWORD));
    return value;
  }
  return std::nullopt;
}

// The first valid line of that value in the section.
std::optional<std::size_t> FindValueLine(const detail::IniLines& lines, const detail::IniSection& section,
                                         std::string_view name) {
  return lines.FindLine(section, [&](std::size_t i) {
    std::optional<StoredValue> value = ParseValueLine(lines, i);
    return value && EqualsNoCase(value->name, name);
  });
}

// Reads the store: ERROR_SUCCESS, or 2 when it is missing.
LONG ReadStore(std::optional<detail::IniLines>& lines) {
  std::string text;
  DWORD err = detail::ReadWholeFile(StorePath(), text);
  if (err == ERROR_PATH_NOT_FOUND) err = ERROR_FILE_NOT_FOUND;
  if (err != ERROR_SUCCESS) return static_cast<LONG>(err);
  lines = ParseStore(text);
  return ERROR_SUCCESS;
}

LONG QueryStoreValue(const std::string& path, const std::string& name, StoredValue& out) {
  std::optional<detail::IniLines> lines;
  if (LONG err = ReadStore(lines)) return err;
  std::optional<detail::IniSection> section = FindSection(*lines, path);
  if (!section) return ERROR_FILE_NOT_FOUND;
  std::optional<std::size_t> line = FindValueLine(*lines, *section, name);
  if (!line) return ERROR_FILE_NOT_FOUND;
  out = *ParseValueLine(*lines, *line);
  return ERROR_SUCCESS;
}

std::string FormatValueLine(const std::string& name, DWORD type, const std::string& text, DWORD number) {
  std::string line = name.empty() ? "@" : name;
  line += " = ";
  if (type == REG_DWORD) return line + "dword:" + std::to_string(number);
  return line + (type == REG_SZ ? "sz:" : "expand_sz:") + text;
}

LONG SetStoreValue(const std::string& path, const std::string& valueLine, const std::string& name, bool createSection) {
  std::optional<detail::IniLines> read;
  LONG err = ReadStore(read);
  if (err == ERROR_FILE_NOT_FOUND && createSection) err = ERROR_SUCCESS;
  if (err != ERROR_SUCCESS) return err;
  detail::IniLines lines = read ? std::move(*read) : ParseStore("");
  const std::string_view ending = lines.FirstLineEnd();
  std::optional<detail::IniSection> section = FindSection(lines, path);
  if (!section) {
    if (!createSection) return ERROR_FILE_NOT_FOUND;
    if (lines.Count() > 0 && !TrimBlanks(lines.Text(lines.Count() - 1)).empty())
      lines.Insert(lines.Count(), "", ending);
    lines.Insert(lines.Count(), "[" + path + "]", ending);
    lines.Insert(lines.Count(), valueLine, ending);
  } else if (std::optional<std::size_t> line = FindValueLine(lines, *section, name)) {
    lines.Replace(*line, valueLine, ending);
  } else {
    std::size_t after = section->header;
    for (std::size_t i = section->header + 1; i < section->end; ++i) {
      if (ParseValueLine(lines, i)) after = i;
    }
    lines.Insert(after + 1, valueLine, ending);
  }
  return static_cast<LONG>(detail::WriteWholeFile(StorePath(), lines.Print()));
}

// ---- service unit files --------------------------------------------------

LONG QueryDescription(const std::string& unitFile, StoredValue& out) {
  std::string text;
  if (DWORD err = detail::ReadWholeFile(unitFile, text)) return static_cast<LONG>(err);
  std::optional<std::string> description = detail::ReadDescription(text);
  if (!description) return ERROR_FILE_NOT_FOUND;
  out.name = "Description";
  out.type = REG_SZ;
  out.data = *description + '\0';
  return ERROR_SUCCESS;
}

// Sets the one `Description=` line of the unit's [Unit] section.
LONG SetDescription(const std::string& unitFile, std::string_view ansiText) {
  std::string text;
  if (DWORD err = detail::ReadWholeFile(unitFile, text)) return static_cast<LONG>(err);
  return static_cast<LONG>(detail::WriteWholeFile(unitFile, detail::WithDescription(text, ansiText)));
}

// Copies a value out with the registry's buffer rules.
LONG CopyOut(const StoredValue& value, DWORD* type, BYTE* data, DWORD* dataSize) {
  if (type) *type = value.type;
  DWORD size = static_cast<DWORD>(value.data.size());
  if (!dataSize) return data ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  if (!data) {
    *dataSize = size;
    return ERROR_SUCCESS;
  }
  if (*dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, value.data.data(), size);
  *dataSize = size;
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegOpenKeyEx(HKEY key, const std::string& subKey, DWORD /*options*/, REGSAM access, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::optional<RegistryKeyObject> resolved = Resolve(key, subKey);
  if (!resolved) return ERROR_INVALID_HANDLE;
  resolved->access = access;
  bool wantsWrite = (access & kWriteRights) != 0;
  std::lock_guard<std::mutex> guard(FilesMutex());
  if (!resolved->path.empty()) {
    resolved->serviceName = ServiceNameOf(resolved->path);
    if (!resolved->serviceName.empty()) {
      std::string unitFile = FindUnitFile(resolved->serviceName);
      if (unitFile.empty()) return ERROR_FILE_NOT_FOUND;
      if (wantsWrite && !detail::MayWrite(unitFile)) return ERROR_ACCESS_DENIED;
    } else {
      std::optional<detail::IniLines> lines;
      if (LONG err = ReadStore(lines)) return err;
      if (!FindSection(*lines, resolved->path)) return ERROR_FILE_NOT_FOUND;
      if (wantsWrite && !detail::MayWrite(StorePath())) return ERROR_ACCESS_DENIED;
    }
  } else if (wantsWrite) {
    return ERROR_ACCESS_DENIED;  // the root key itself holds no values here
  }
  *result = Keys().Add(std::move(*resolved));
  return ERROR_SUCCESS;
}

LONG RegQueryValueEx(HKEY key, const std::string& valueName, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                     DWORD* dataSize) {
  std::shared_ptr<const RegistryKeyObject> object = Keys().Find(key);
  if (!object) return key == HKEY_LOCAL_MACHINE ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_HANDLE;
  if ((object->access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  StoredValue value;
  LONG err = ERROR_FILE_NOT_FOUND;
  {
    std::lock_guard<std::mutex> guard(FilesMutex());
    if (!object->serviceName.empty() && EqualsNoCase(valueName, "Description")) {
      std::string unitFile = FindUnitFile(object->serviceName);
      err = unitFile.empty() ? ERROR_FILE_NOT_FOUND : QueryDescription(unitFile, value);
    } else if (!object->path.empty()) {
      err = QueryStoreValue(object->path, valueName, value);
    }
  }
  if (err != ERROR_SUCCESS) return err;
  return CopyOut(value, type, data, dataSize);
}

LONG RegSetValueEx(HKEY key, const std::string& valueName, DWORD /*reserved*/, DWORD type, const BYTE* data,
                   DWORD dataSize) {
  std::shared_ptr<const RegistryKeyObject> object = Keys().Find(key);
  if (!object) return key == HKEY_LOCAL_MACHINE ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
  if ((object->access & KEY_SET_VALUE) == 0 || object->path.empty()) return ERROR_ACCESS_DENIED;
  if (dataSize > 0 && !data) return ERROR_INVALID_PARAMETER;
  std::string text;
  DWORD number = 0;
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    text.assign(reinterpret_cast<const char*>(data), dataSize);
    text = text.substr(0, text.find('\0'));
    if (text.find_first_of("\r\n") != std::string::npos) return ERROR_INVALID_PARAMETER;
  } else if (type == REG_DWORD) {
    if (dataSize != sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
    std::memcpy(&number, data, sizeof(DWORD));
  } else {
    return ERROR_INVALID_PARAMETER;  // the store keeps strings and numbers only
  }
  // A name the store could not read back.
  std::string_view trimmedName = TrimBlanks(valueName);
  if (trimmedName.size() != valueName.size() || valueName.find_first_of("=\r\n") != std::string::npos ||
      valueName == "@" || (!valueName.empty() && (valueName[0] == ';' || valueName[0] == '#' || valueName[0] == '[')))
    return ERROR_INVALID_PARAMETER;

  std::lock_guard<std::mutex> guard(FilesMutex());
  if (!object->serviceName.empty()) {
    std::string unitFile = FindUnitFile(object->serviceName);
    if (unitFile.empty()) return ERROR_FILE_NOT_FOUND;
    if (EqualsNoCase(valueName, "Description")) {
      if (type == REG_DWORD || (!text.empty() && text.back() == '\\')) return ERROR_INVALID_PARAMETER;
      return SetDescription(unitFile, text);
    }
    return SetStoreValue(object->path, FormatValueLine(valueName, type, text, number), valueName, true);
  }
  return SetStoreValue(object->path, FormatValueLine(valueName, type, text, number), valueName, false);
}

LONG RegSetTextValue(HKEY key, const std::string& valueName, std::string_view utf8) {
  const std::string text = Utf8ToAnsi(utf8);
  return RegSetValueEx(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  return Keys().Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

std::string DefaultProgramFilesDir() { return PlatformPath("/opt"); }

}  // namespace win
