// A temporary folder for the Windows backend's tests, made with the
// system's calls so that these tests need nothing of the POSIX test support.
#pragma once

#include <string>

namespace kvwintest {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + "\" + name
  std::string Sub(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

std::string ReadWhole(const std::string& path);
bool Exists(const std::string& path);
void SetReadOnly(const std::string& path, bool readOnly);

// What the service manager holds for a service: its command line, type and
// display name, through QueryServiceConfigA; empty when it cannot say.
struct ServiceConfig {
  std::string commandLine;
  unsigned long type = 0;
  std::string displayName;
};
ServiceConfig QueryConfig(const std::string& serviceName);
void WriteWhole(const std::string& path, const std::string& content);

}  // namespace kvwintest
