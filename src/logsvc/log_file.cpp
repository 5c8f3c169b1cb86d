#include "logsvc/log_file.h"

#include <vector>

#include "base/exception.h"
#include "base/format.h"
#include "platform/error.h"
#include "platform/filesystem.h"

namespace kv {
namespace {

// Closes the file on every path; Close() reports a failing close.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path) : handle_(win::CreateFileForWrite(path, win::OPEN_ALWAYS)) {
    if (handle_ == win::INVALID_HANDLE_VALUE) throw EInOutError(static_cast<int>(win::GetLastError()));
  }
  ~OutputFile() {
    if (handle_ != win::INVALID_HANDLE_VALUE) win::CloseHandle(handle_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void Write(const char* data, std::size_t size) {
    while (size > 0) {
      win::DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<win::DWORD>(size);
      win::DWORD written = 0;
      if (!win::WriteFile(handle_, data, chunk, &written) || written != chunk)
        throw EInOutError(static_cast<int>(win::GetLastError() ? win::GetLastError() : win::ERROR_WRITE_FAULT));
      data += chunk;
      size -= chunk;
    }
  }

  void Close() {
    win::HANDLE handle = handle_;
    handle_ = win::INVALID_HANDLE_VALUE;
    if (!win::CloseHandle(handle)) throw EInOutError(static_cast<int>(win::GetLastError()));
  }

 private:
  win::HANDLE handle_;
};

}  // namespace

std::string LogFileName(const DateTimeParts& at, int alternative) {
  return Format("kvs%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d", {at.year, at.month, at.day, at.hour, at.minute, at.second}) +
         (alternative > 0 ? "-" + std::to_string(alternative) : std::string()) + ".log";
}

std::string LogFilePath(std::string_view folder, const DateTimeParts& at, int alternative) {
  std::string path(folder);
  path += win::PathDelim;
  path += LogFileName(at, alternative);
  return path;
}

std::string SavedFileLine(std::string_view path) {
  std::string line = "** saved file ";
  line += path;
  line += " **";
  return line;
}

void WriteLogFile(const std::string& path, const TStringList& lines) {
  constexpr std::size_t kBlock = 1 << 20;
  OutputFile file(path);
  std::vector<char> block;
  block.reserve(kBlock);
  for (std::string_view line : lines) {
    if (block.size() + line.size() + 2 > kBlock && !block.empty()) {
      file.Write(block.data(), block.size());
      block.clear();
    }
    if (line.size() + 2 > kBlock) {
      file.Write(line.data(), line.size());
      file.Write("\r\n", 2);
      continue;
    }
    block.insert(block.end(), line.begin(), line.end());
    block.push_back('\r');
    block.push_back('\n');
  }
  if (!block.empty()) file.Write(block.data(), block.size());
  file.Close();
}

}  // namespace kv
