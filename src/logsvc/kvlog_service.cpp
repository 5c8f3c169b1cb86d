#include "logsvc/kvlog_service.h"

#include "base/app_failure.h"
#include "base/exception.h"
#include "config/log_svc_config.h"
#include "net/app_event_msg.h"
#include "net/msg_recv.h"
#include "net/relay_sender.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "platform/service_account.h"

namespace kv {

TKVLogService* ServiceModule = nullptr;

void ControlHandlerEntry(win::DWORD control) {
  if (ServiceModule) ServiceModule->PostControlRequest(control);
}

TKVLogService::TKVLogService() : TService("KVLogService") {
  SetDisplayName("KVLogService");
  Dependencies().Add();  // one unnamed, non-group item: depends on nothing

  MsgFlushTimer = std::make_unique<TTimer>();
  MsgFlushTimer->SetEnabled(false);
  MsgFlushTimer->SetInterval(43200);
  MsgFlushTimer->SetOnTimer([this](TTimer& timer) { MsgFlushTimerTimer(timer); });

  LogCleanupTimer = std::make_unique<TTimer>();
  LogCleanupTimer->SetEnabled(false);
  LogCleanupTimer->SetInterval(60000);
  LogCleanupTimer->SetOnTimer([this](TTimer& timer) { LogCleanupTimerTimer(timer); });

  bufferTimer_ = std::make_unique<TTimer>();
  bufferTimer_->SetEnabled(false);
  bufferTimer_->SetInterval(100);
  bufferTimer_->SetOnTimer([this](TTimer& timer) { WriteBufferTimerTimer(timer); });

  LogFindFile = std::make_unique<TFindFile>();
  LogFindFile->SetRecurse(true);
  LogFindFile->SetUseLastWriteDate(true);
  LogFindFile->SetOnFindFile([this](TFindFile& finder, const std::string& path, const TSearchRec& rec) {
    LogFindFileFindFile(finder, path, rec);
  });

  SetOnStart([this](TService& sender, bool& started) { ServiceStart(sender, started); });
  SetOnStop([this](TService& sender, bool& stopped) { ServiceStop(sender, stopped); });
  SetOnShutdown([this](TService& sender) { ServiceShutdown(sender); });
  SetAfterInstall([this](TService& sender) { ServiceAfterInstall(sender); });

  intakeFailure_ = [this](const std::exception& failure) {
    if (dynamic_cast<const EAbort*>(&failure)) return;
    if (failureRepeats_.Admit(failure.what(), win::MonotonicNow())) HandleApplicationException(failure);
  };
  mainThread_ = std::make_unique<TThreadInvoker>();
  ServiceCreate();
}

TKVLogService::~TKVLogService() { ServiceDestroy(); }

win::LPHANDLER_FUNCTION TKVLogService::GetControlHandler() { return &ControlHandlerEntry; }

void TKVLogService::ServiceCreate() {
  LogLines = std::make_unique<TLogBuffer>();
  LogLines->SetReportSink(
      [this](const std::string& text, std::uint16_t eventType) { WriteEventLog(text, eventType, 0, 0); });
  Receiver = std::make_unique<TMsgRecv>();
  WindowHandle = win::CreateHiddenWindow([this](win::HWND hwnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
    return SocketWndProc(hwnd, msg, wParam, lParam);
  });
  if (!WindowHandle) RaiseLastOSError();
  FoundFiles = std::make_unique<std::vector<std::string>>();
}

void TKVLogService::ServiceDestroy() {
  FoundFiles.reset();
  if (WindowHandle) {
    win::DestroyWindow(WindowHandle);
    WindowHandle = nullptr;
  }
  // A service that was never stopped still holds its sockets; give them
  // back rather than leak them past the module.
  if (Receiver) ReleaseLoggingPath();
  Receiver.reset();
  LogLines.reset();
}

void TKVLogService::ServiceAfterInstall(TService&) {
  // The folders the service writes without being told where, and its
  // buffer, become its account's (POSIX: its own system user; an install
  // over a version that ran as root hands over what that one made). A
  // Folder set elsewhere stays its administrator's: the start says so when
  // the account may not write it.
  auto grant = [this](bool granted, const std::string& path) {
    if (!granted)
      throw Exception("Cannot hand " + path + " to the account " + win::ServiceAccountName(Name()) + ": " +
                      win::FormatSystemMessage(win::GetLastError()));
  };
  const std::string configFolder = SettingsFolder();
  const std::string buffer = LogBufferPath();
  const std::string logFolder = DefaultSettings(configFolder).Folder;
  grant(win::GrantServiceFolder(Name(), configFolder), configFolder);
  grant(win::GrantServiceFile(Name(), buffer), buffer);
  grant(win::GrantServiceFolder(Name(), logFolder), logFolder);

  static constexpr char kDescription[] = "KVAppService で出力されるログメッセージを取得,保存するためのサービス";
  win::HKEY key = nullptr;
  if (win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, "\\SYSTEM\\CurrentControlSet\\Services\\KVLogService", 0,
                        win::KEY_ALL_ACCESS, &key) != win::ERROR_SUCCESS) {
    return;
  }
  win::RegSetTextValue(key, "Description", kDescription);
  win::RegCloseKey(key);
}

}  // namespace kv
