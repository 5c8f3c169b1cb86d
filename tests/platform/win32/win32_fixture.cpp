#include "win32_fixture.h"

#include <windows.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace kvwintest {
namespace {

void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA found{};
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &found));
    FindClose(find);
  }
  RemoveDirectoryA(folder.c_str());
}

}  // namespace

TempFolder::TempFolder() {
  char base[MAX_PATH + 1] = {};
  if (GetTempPathA(sizeof(base), base) == 0) throw std::runtime_error("no temporary folder");
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate =
        std::string(base) + "kvwin-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("no temporary folder");
}

TempFolder::~TempFolder() { RemoveTree(path_); }

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void SetReadOnly(const std::string& path, bool readOnly) {
  SetFileAttributesA(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}

ServiceConfig QueryConfig(const std::string& serviceName) {
  ServiceConfig result;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceA(manager, serviceName.c_str(), SERVICE_QUERY_CONFIG) : nullptr;
  DWORD needed = 0;
  if (service) QueryServiceConfigA(service, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed + sizeof(QUERY_SERVICE_CONFIGA));
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  if (service && QueryServiceConfigA(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
    result.commandLine = config->lpBinaryPathName ? config->lpBinaryPathName : "";
    result.type = config->dwServiceType;
    result.displayName = config->lpDisplayName ? config->lpDisplayName : "";
  }
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return result;
}

void WriteWhole(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace kvwintest
