// TWindowApplication: the little of a windowing library the service
// application runs on: a hidden main window whose messages can be hooked, a
// terminate flag, and the main thread's message loop.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/messages.h"
#include "platform/types.h"

namespace kv {

// Owns the hidden main window, made on the creating thread (the main
// thread) and destroyed with the object, and the list of its hooks.
// Every operation is for the creating thread only, except where it says.
class TWindowApplication {
 public:
  // A hook sees each message of the main window first; true means handled,
  // and the window's own handling is skipped.
  using MessageHook = std::function<bool(win::UINT msg, win::WPARAM wParam, win::LPARAM lParam)>;

  // Raises EOSError when the window cannot be made.
  TWindowApplication();
  ~TWindowApplication();
  TWindowApplication(const TWindowApplication&) = delete;
  TWindowApplication& operator=(const TWindowApplication&) = delete;

  // The hidden main window. Safe from any thread (other threads post to it).
  win::HWND MainWindow() const { return mainWindow_; }

  // Returns an id for UnhookMainWindow.
  int HookMainWindow(MessageHook hook);
  void UnhookMainWindow(int id);

  // The main loop: takes the next message of the thread (waiting when none
  // is queued) and dispatches it, until Terminate is called or a quit
  // message is taken. A failure that escapes a dispatched window procedure
  // goes to the process-wide failure handler (HandleApplicationException)
  // and the loop goes on.
  void Run();
  // Dispatches one message as Run does.
  void DispatchOne(const win::MSG& msg);

  // Ends the main loop after the current message.
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }

  const std::string& Title() const { return title_; }
  void SetTitle(std::string title) { title_ = std::move(title); }

 private:
  win::LRESULT MainWindowProc(win::HWND hwnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam);

  win::HWND mainWindow_ = nullptr;
  bool terminated_ = false;
  std::string title_;
  std::mutex hooksMutex_;
  std::vector<std::pair<int, MessageHook>> hooks_;
  int nextHookId_ = 1;
};

}  // namespace kv
