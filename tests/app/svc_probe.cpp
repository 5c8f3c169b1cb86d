// svc_probe: asks the Service Control Manager about one service, for the
// end-to-end test under Wine, whose sc.exe knows no qc, pause or continue.
//   svc_probe config NAME        type, start type, command line, display name
//   svc_probe status NAME        state, accepted controls, exit codes, process
//   svc_probe control NAME CODE  sends a control (1 stop, 2 pause, 3 continue,
//                                4 interrogate) and prints the status it gave
//   svc_probe wait NAME STATE SECONDS
//                                waits until the state is STATE (a number)
//   svc_probe description NAME   the Description value under the service's
//                                key, read as Unicode, printed in UTF-8
//   svc_probe acp                the ANSI code page of the prefix
//   svc_probe value KEY NAME     a value under HKEY_LOCAL_MACHINE\KEY: its type,
//                                and strings in UTF-8, numbers in decimal,
//                                binary data in hexadecimal
//   svc_probe key KEY            whether HKEY_LOCAL_MACHINE\KEY exists
//   svc_probe eventtext SOURCE LANGID TEXT
//                                what Event Viewer shows for an entry of
//                                SOURCE with event id 0 and the one insertion
//                                string TEXT: message 0 of the source's
//                                EventMessageFile, formatted by FormatMessageA
//                                in the language LANGID (0: any), written as
//                                it comes, without a line break
//   svc_probe box                the visible message box: caption and text
//                                (in UTF-8, line breaks as \r and \n)
// Prints "key=value" lines; exits 0 on success, 1 with the system error
// number on standard error, 2 on a wrong command line.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

int Fail(const char* what) {
  const DWORD error = GetLastError();
  std::fprintf(stderr, "svc_probe: %s failed: %lu\n", what, static_cast<unsigned long>(error));
  return 1;
}

// Owns a manager or service handle.
class Handle {
 public:
  explicit Handle(SC_HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_) CloseServiceHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

void PrintStatus(const SERVICE_STATUS_PROCESS& status) {
  std::printf("state=%lu\naccepted=%lu\nwin32_exit=%lu\nservice_exit=%lu\npid=%lu\n",
              static_cast<unsigned long>(status.dwCurrentState), static_cast<unsigned long>(status.dwControlsAccepted),
              static_cast<unsigned long>(status.dwWin32ExitCode),
              static_cast<unsigned long>(status.dwServiceSpecificExitCode),
              static_cast<unsigned long>(status.dwProcessId));
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed) != 0;
}

int FailWith(LONG error, const char* what) {
  SetLastError(static_cast<DWORD>(error));
  return Fail(what);
}

std::string Utf8(const std::wstring& text) {
  std::string utf8(text.size() * 3 + 1, '\0');
  utf8.resize(
      static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(),
                                                   static_cast<int>(utf8.size()), nullptr, nullptr)));
  return utf8;
}

// The Description value under the service's key, read as Unicode and
// printed in UTF-8, so that the check does not depend on the code page.
int PrintDescription(const std::string& name) {
  const std::string path = "SYSTEM\\CurrentControlSet\\Services\\" + name;
  HKEY opened = nullptr;
  LONG err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &opened);
  if (err != ERROR_SUCCESS) return FailWith(err, "RegOpenKeyExA");
  std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)> key(opened, &RegCloseKey);
  DWORD type = 0, size = 0;
  err = RegQueryValueExW(key.get(), L"Description", nullptr, &type, nullptr, &size);
  if (err != ERROR_SUCCESS) return FailWith(err, "RegQueryValueExW");
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  err = RegQueryValueExW(key.get(), L"Description", nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
  if (err != ERROR_SUCCESS) return FailWith(err, "RegQueryValueExW");
  text.resize(wcsnlen(text.c_str(), text.size()));
  std::printf("description=%s\n", Utf8(text).c_str());
  return 0;
}

using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)>;

LONG OpenKey(const std::string& path, Key& key) {
  HKEY opened = nullptr;
  const LONG err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &opened);
  if (err == ERROR_SUCCESS) key.reset(opened);
  return err;
}

int PrintValue(const std::string& path, const std::string& name) {
  Key key(nullptr, &RegCloseKey);
  LONG err = OpenKey(path, key);
  if (err != ERROR_SUCCESS) return FailWith(err, "RegOpenKeyExA");
  const std::wstring wideName(name.begin(), name.end());  // ASCII names
  DWORD type = 0, size = 0;
  err = RegQueryValueExW(key.get(), wideName.c_str(), nullptr, &type, nullptr, &size);
  if (err != ERROR_SUCCESS) return FailWith(err, "RegQueryValueExW");
  std::vector<BYTE> data(size + sizeof(wchar_t));
  err = RegQueryValueExW(key.get(), wideName.c_str(), nullptr, &type, data.data(), &size);
  if (err != ERROR_SUCCESS) return FailWith(err, "RegQueryValueExW");
  std::printf("type=%lu\n", static_cast<unsigned long>(type));
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
    text.resize(wcsnlen(text.c_str(), text.size()));
    std::printf("data=%s\n", Utf8(text).c_str());
  } else if (type == REG_DWORD && size == sizeof(DWORD)) {
    DWORD number = 0;
    std::memcpy(&number, data.data(), sizeof number);
    std::printf("data=%lu\n", static_cast<unsigned long>(number));
  } else {
    std::printf("data=");
    for (DWORD i = 0; i < size; ++i) std::printf("%02x", data[i]);
    std::printf("\n");
  }
  return 0;
}

// What Event Viewer does for an entry: the source's message file, loaded as
// data, and its message for the event id with the insertion strings.
int PrintEventText(const std::string& source, DWORD language, const char* text) {
  Key key(nullptr, &RegCloseKey);
  LONG err = OpenKey("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source, key);
  if (err != ERROR_SUCCESS) return FailWith(err, "RegOpenKeyExA");
  char file[MAX_PATH] = {};
  DWORD size = sizeof file - 1;
  err = RegQueryValueExA(key.get(), "EventMessageFile", nullptr, nullptr, reinterpret_cast<BYTE*>(file), &size);
  if (err != ERROR_SUCCESS) return FailWith(err, "RegQueryValueExA");
  char path[MAX_PATH] = {};
  if (!ExpandEnvironmentStringsA(file, path, sizeof path)) return Fail("ExpandEnvironmentStringsA");
  HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return Fail("LoadLibraryExA");
  std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)> loaded(module, &FreeLibrary);
  DWORD_PTR strings[] = {reinterpret_cast<DWORD_PTR>(text)};
  char* message = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     module, 0, language, reinterpret_cast<char*>(&message), 0, reinterpret_cast<va_list*>(strings));
  if (length == 0) return Fail("FormatMessageA");
  _setmode(_fileno(stdout), _O_BINARY);
  std::fwrite(message, 1, length, stdout);
  LocalFree(message);
  return 0;
}

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

// A message box is a visible dialog (class #32770) whose text is the
// static control 0xFFFF.
int PrintBox() {
  HWND box = nullptr;
  EnumWindows(
      [](HWND window, LPARAM found) -> BOOL {
        char name[16] = {};
        GetClassNameA(window, name, sizeof name);
        if (!IsWindowVisible(window) || std::string(name) != "#32770") return TRUE;
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&box));
  if (!box) {
    std::fputs("svc_probe: no message box\n", stderr);
    return 1;
  }
  HWND text = GetDlgItem(box, 0xFFFF);
  std::string shown;  // on one line: its line breaks as \r and \n
  for (char c : text ? Utf8(WindowText(text)) : std::string()) {
    if (c == '\r') shown += "\\r";
    else if (c == '\n') shown += "\\n";
    else shown += c;
  }
  std::printf("caption=%s\ntext=%s\n", Utf8(WindowText(box)).c_str(), shown.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "acp") {
    std::printf("acp=%u\n", GetACP());
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "box") return PrintBox();
  if (argc == 3 && std::string(argv[1]) == "key") {
    Key key(nullptr, &RegCloseKey);
    const LONG err = OpenKey(argv[2], key);
    std::printf("exists=%s\n", err == ERROR_SUCCESS ? "yes" : "no");
    return err == ERROR_SUCCESS || err == ERROR_FILE_NOT_FOUND ? 0 : FailWith(err, "RegOpenKeyExA");
  }
  if (argc == 4 && std::string(argv[1]) == "value") return PrintValue(argv[2], argv[3]);
  if (argc == 5 && std::string(argv[1]) == "eventtext")
    return PrintEventText(argv[2], static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0)), argv[4]);
  if (argc < 3) {
    std::fputs(
        "usage: svc_probe config|status|control|wait|description NAME [ARGS] | acp | box | key KEY |"
        " value KEY NAME | eventtext SOURCE LANGID TEXT\n",
        stderr);
    return 2;
  }
  const std::string command = argv[1];
  Handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager.get()) return Fail("OpenSCManagerA");
  Handle service(OpenServiceA(
      manager.get(), argv[2],
      SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE | SERVICE_STOP));
  if (!service.get()) return Fail("OpenServiceA");

  if (command == "config") {
    DWORD needed = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(service.get(), config, needed, &needed)) return Fail("QueryServiceConfigA");
    std::printf("type=0x%lx\nstart=%lu\nerror_control=%lu\npath=%s\ndisplay=%s\naccount=%s\n",
                static_cast<unsigned long>(config->dwServiceType), static_cast<unsigned long>(config->dwStartType),
                static_cast<unsigned long>(config->dwErrorControl), config->lpBinaryPathName,
                config->lpDisplayName ? config->lpDisplayName : "",
                config->lpServiceStartName ? config->lpServiceStartName : "");
    return 0;
  }
  if (command == "description") return PrintDescription(argv[2]);
  if (command == "status") {
    SERVICE_STATUS_PROCESS status{};
    if (!QueryStatus(service.get(), status)) return Fail("QueryServiceStatusEx");
    PrintStatus(status);
    return 0;
  }
  if (command == "control" && argc == 4) {
    SERVICE_STATUS plain{};
    if (!ControlService(service.get(), static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)), &plain))
      return Fail("ControlService");
    SERVICE_STATUS_PROCESS status{};
    if (!QueryStatus(service.get(), status)) return Fail("QueryServiceStatusEx");
    PrintStatus(status);
    return 0;
  }
  if (command == "wait" && argc == 5) {
    const DWORD wanted = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
    const DWORD deadline = GetTickCount() + 1000u * static_cast<DWORD>(std::strtoul(argv[4], nullptr, 10));
    SERVICE_STATUS_PROCESS status{};
    for (;;) {
      if (!QueryStatus(service.get(), status)) return Fail("QueryServiceStatusEx");
      if (status.dwCurrentState == wanted) break;
      if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
        PrintStatus(status);
        std::fprintf(stderr, "svc_probe: state %lu, not %lu\n", static_cast<unsigned long>(status.dwCurrentState),
                     static_cast<unsigned long>(wanted));
        return 1;
      }
      Sleep(100);
    }
    PrintStatus(status);
    return 0;
  }
  std::fputs("svc_probe: unknown command\n", stderr);
  return 2;
}
