#include "app/service_start_thread.h"

#include "platform/error.h"
#include "platform/messages.h"

namespace kv {

TServiceStartThread::TServiceStartThread(std::vector<win::SERVICE_TABLE_ENTRY> table, win::HWND mainWindow)
    : startTable_(std::move(table)), mainWindow_(mainWindow) {
  thread_ = std::thread([this] { Execute(); });
}

TServiceStartThread::~TServiceStartThread() {
  if (thread_.joinable()) thread_.join();
}

void TServiceStartThread::Execute() {
  // Returns when every service of the table has stopped, or at once when no
  // service manager started this process.
  if (win::StartServiceCtrlDispatcher(startTable_.data())) dispatcherResult_ = 0;
  else dispatcherResult_ = win::GetLastError();
  // Ends the main loop.
  win::PostMessage(mainWindow_, win::WM_QUIT, 0, 0);
}

}  // namespace kv
