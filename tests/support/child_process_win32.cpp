// Child processes on Windows: CreateProcessA with the standard output and
// error going to files, the environment given as a block.
#include "support/child_process.h"

// clang-format off
#include <windows.h>
// clang-format on

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace kvtest {
namespace {

// A path as a build on Linux names it ("/home/me/...") is the Z: drive there.
std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// One argument as the C run-time reads it back: quoted, with the
// backslashes before a quote doubled.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') out.append(backslashes * 2 + 1, '\\');
    else out.append(backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

HANDLE OpenForChild(const std::string& path, DWORD access, DWORD creation) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return ::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, creation,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::pair<std::string, std::optional<std::string>>>& env) {
  std::string block;
  for (char** e = _environ; e && *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [key, value] : env) replaced = replaced || key == name;
    if (!replaced) block += entry + '\0';
  }
  for (const auto& [key, value] : env) {
    if (value) block += key + "=" + *value + '\0';
  }
  block += '\0';

  const std::string exe = WindowsPath(program);
  std::string command = Quote(exe);
  for (const auto& arg : args) command += " " + Quote(arg);

  HANDLE in = OpenForChild("NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = OpenForChild(dir_.Sub("stdout"), GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = OpenForChild(dir_.Sub("stderr"), GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION info{};
  const BOOL started =
      ::CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, block.data(), nullptr, &startup, &info);
  const DWORD error = ::GetLastError();
  for (HANDLE h : {in, out, err}) {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
  if (!started) throw std::runtime_error("cannot start " + exe + ": error " + std::to_string(error));
  ::CloseHandle(info.hThread);
  pid_ = static_cast<int>(info.dwProcessId);
  ::CloseHandle(info.hProcess);
}

ChildProcess::~ChildProcess() {
  if (exitCode_) return;
  if (HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid_))) {
    ::TerminateProcess(process, 137);
    ::WaitForSingleObject(process, 10000);
    ::CloseHandle(process);
  }
}

// Windows has no signals: any signal ends the child, as SIGKILL would.
bool ChildProcess::Signal(int sig) {
  if (exitCode_) return false;
  HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid_));
  if (!process) return false;
  const bool done = ::TerminateProcess(process, static_cast<UINT>(128 + sig)) != 0;
  ::CloseHandle(process);
  return done;
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (exitCode_) return exitCode_;
  HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid_));
  if (!process) return exitCode_;
  if (::WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0) {
    DWORD code = 0;
    ::GetExitCodeProcess(process, &code);
    exitCode_ = static_cast<int>(code);
  }
  ::CloseHandle(process);
  return exitCode_;
}

std::string ChildProcess::Stdout() const { return ReadFile(dir_.Sub("stdout")); }
std::string ChildProcess::Stderr() const { return ReadFile(dir_.Sub("stderr")); }

}  // namespace kvtest
