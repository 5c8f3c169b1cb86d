// TKVLogService: the service module. It owns the log buffer (with its buffer
// file next to the INI file, from the first start on), the datagram
// receiver with its hidden notification window, the relay sender (from a
// start to the following stop), the flush and cleanup timers and the file
// finder, and holds the settings read at each start.
//
// Threads: the module is created and destroyed on the main thread, which
// also runs the intake (SocketWndProc) and both timer handlers through its
// message loop. The relay thread (TRelaySender, from a start to the
// following stop) only sends the relays the main thread hands it, in
// order; their failures come back to the main thread and are reported
// there. The start, stop and shutdown handlers are called on the
// request thread; the steps of theirs that touch the buffer, the sockets and
// the timers are carried to the main thread and run there between two
// messages, so nothing the module owns is touched by two threads at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/owner_thread.h"
#include "base/thread_invoker.h"
#include "base/timer.h"
#include "config/service_settings.h"
#include "findfile/find_file.h"
#include "logsvc/log_buffer.h"
#include "logsvc/loss_reporter.h"
#include "logsvc/repeat_filter.h"
#include "logsvc/status_figures.h"
#include "platform/messages.h"
#include "platform/monotonic_clock.h"
#include "svchost/service.h"

namespace kv {

class TMsgRecv;
class TAppEventMsg;
class TRelaySender;

// Window message that announces a waiting datagram.
constexpr win::UINT WM_SOCKET_READ = win::WM_USER + 1;
// Window message from the relay thread: relay failures wait to be reported.
constexpr win::UINT WM_RELAY_FAILED = win::WM_USER + 2;

class TKVLogService : public TService {
 public:
  using FailureHandler = std::function<void(const std::exception&)>;

  // Main thread: creates the components with their stored properties, then
  // runs ServiceCreate.
  TKVLogService();
  // Main thread: runs ServiceDestroy.
  ~TKVLogService() override;

  win::LPHANDLER_FUNCTION GetControlHandler() override;

  // --- Handlers ---
  void ServiceCreate();
  void ServiceDestroy();
  // Request thread.
  void ServiceStart(TService& Sender, bool& Started);
  void ServiceStop(TService& Sender, bool& Stopped);
  void ServiceShutdown(TService& Sender);
  // Main thread, after installation: writes the service's description.
  void ServiceAfterInstall(TService& Sender);

  // The intake: window procedure of WindowHandle. Main thread only. No
  // failure leaves it: failures go to the intake failure handler.
  win::LRESULT SocketWndProc(win::HWND hwnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam);
  // Writes the buffer to a new log file and empties it; does nothing when
  // the folder is missing (one warning until a save succeeds again). Raises
  // EInOutError. Main thread only.
  void SaveLogFile();
  // SaveLogFile for the flush timer and the flush command, which report a
  // failed save to the system log: a failure equal to the one reported last
  // is raised as EAbort, which still ends the caller's step but is not
  // reported again. So a disk that stays full gives one error entry, and
  // the first save that works again an information entry with the count.
  void SaveLogFileReportingOnce();
  void MsgFlushTimerTimer(TTimer& Sender);
  void LogCleanupTimerTimer(TTimer& Sender);
  void LogFindFileFindFile(TFindFile& Sender, const std::string& SearchPath, const TSearchRec& CurrentRec);

  // Where intake failures go (read, relay, flush-save errors). The default
  // hands them to the application's failure handler, which writes them to
  // the event log: the first of a text at once, its repeats within a
  // minute as one entry with their count (TRepeatFilter). Set before the
  // service starts.
  void SetIntakeFailureHandler(FailureHandler handler) { intakeFailure_ = std::move(handler); }

  // The operator's figures as they stand. Main thread only.
  StatusFigures CurrentFigures();
  // Turns off the figures beside the state (the benchmark that measures
  // what they cost). Set before the service starts.
  void SetStatusFiguresEnabled(bool enabled) { statusFigures_ = enabled; }

  // --- Components and state (main thread, or tests between messages) ---
  std::unique_ptr<TTimer> MsgFlushTimer;
  std::unique_ptr<TTimer> LogCleanupTimer;
  std::unique_ptr<TFindFile> LogFindFile;
  // The settings, read at each start.
  ServiceSettings Settings;
  win::HWND WindowHandle = nullptr;
  std::unique_ptr<TLogBuffer> LogLines;
  std::unique_ptr<TMsgRecv> Receiver;
  std::unique_ptr<TAppEventMsg> Repeater;
  std::unique_ptr<std::vector<std::string>> FoundFiles;

  // The receiver is open and its notifications are taken.
  bool Listening() const { return receiverOpen_; }

 protected:
  // Reports the state with the figures brought up to date first.
  // Request thread.
  void HandleInterrogate() override;

 private:
  // Steps of start and stop that run on the main thread; true when the
  // settings were usable.
  bool StartLoggingPath();
  void StopLoggingPath();
  void ReleaseLoggingPath();
  // Reads one waiting datagram and handles it; false when none was waiting.
  bool ReadDatagram();
  void HandleDatagram(std::string_view received);
  void ReportIntakeFailure(const std::exception& failure);
  // The counts of repeated failures that are due (all of them `atStop`).
  void ReportFailureRepeats(bool atStop);
  // The save of a flush command: at once when the last one was
  // kFlushSaveGap or more ago; otherwise only its saved-file line goes into
  // the buffer and its lines are written into that file with the next
  // (CompleteFlushSave, on the buffer's tick). So the saves of one second
  // go into one log file, made durable a few times a second however many
  // commands come. False when a save failed (reported once).
  bool FlushCommandSave();
  // Writes the lines of the flush commands that wait into their log file,
  // followed by the banner of the new buffer.
  void CompleteFlushSave();
  // The log folder is there; when not, one warning until a save works.
  bool LogFolderThere();
  // Saves the buffer into the log file `path`, with the figures and entries
  // of a save. Raises EInOutError.
  void SaveInto(const std::string& path, const DateTimeParts& at);
  // Runs `save`; a failure is reported (the design's error entry and one
  // warning with the system's reason) unless it is the one reported last.
  bool SaveReportingOnce(const std::function<void()>& save);
  // A second, English entry for a datagram refused as too large: its size
  // and its sender.
  void ReportRefusedDatagram();
  // Opens the buffer file and saves what a process that ended without
  // saving left in it; true when lines still wait in the buffer for the
  // next save.
  bool AttachLogBuffer();
  // The log file a save at `at` goes into: the usual name, or, when
  // something other than an own regular file holds it (a link, a FIFO, a
  // folder, a file of another user), the first free alternative name; none
  // when those are taken as well. A taken name gives one warning entry that
  // names it, the reason and where the lines went.
  std::optional<std::string> SaveTargetFor(const DateTimeParts& at);
  // Saves the buffer into `path`, named for the moment `at`.
  void SaveBufferAs(const std::string& path, const DateTimeParts& at);
  void WriteBufferTimerTimer(TTimer& Sender);
  // Hands the relays the intake has queued to the relay thread, after their
  // lines are written to the buffer file; failures go to the intake failure
  // handler, one per relay, in order, from the main thread
  // (ReportRelayFailures).
  void SendRelays();
  void ReportRelayFailures();
  // Writes one warning entry with the number of datagrams lost before the
  // intake could read them (kernel and receive-queue overflows), at most
  // once a minute; `atStop` reports whatever is left at once.
  void ReportReceiveLoss(bool atStop);
  // Sends the figures beside the state: with `now` at once, otherwise when
  // the last were sent a second or more ago (the 100 ms buffer tick asks).
  // Equal figures are not sent again.
  void ReportStatusFigures(bool now);
  // Puts the reason of a refused start beside the state, in place of the
  // figures.
  void ReportStartRefused(const std::string& reason);
  // Takes the receiver's loss counters while its socket is open.
  void ReadReceiveDrops();
  // The time of the next timed save, from now on the flush timer's period.
  void NoteNextSave();

  // The main thread: it makes the module and alone runs the intake and the
  // saves, checked in debug and sanitizer builds.
  OwnerThread mainThreadOwner_{"TKVLogService"};
  std::unique_ptr<TThreadInvoker> mainThread_;
  // Sends the relays through Repeater while the receiver is open.
  std::unique_ptr<TRelaySender> relaySender_;
  FailureHandler intakeFailure_;
  bool receiverStarted_ = false;
  bool receiverOpen_ = false;
  // Writes the buffer's pending lines every 100 ms and makes them durable
  // once a second.
  std::unique_ptr<TTimer> bufferTimer_;
  bool folderMissingReported_ = false;
  // The flush commands whose save waits for the next durable write: the
  // usual log file name of their second, and the file their saved-file
  // lines name (none when every name of that second is taken, and the lines
  // stay in the buffer).
  struct PendingFlush {
    std::string usual;
    std::optional<std::string> path;
    DateTimeParts at;
  };
  std::optional<PendingFlush> pendingFlush_;
  win::MonotonicClock::time_point lastFlushSave_{};
  TRepeatFilter failureRepeats_;
  // Why the settings were refused ("" when they were not, or the folders
  // tell).
  std::string refusedSetting_;
  // Saves failed since the last one that worked, and the failure text
  // reported last among them.
  std::uint64_t failedSaves_ = 0;
  std::string reportedSaveFailure_;
  // Loss reporting of the receiver's socket (main thread).
  TLossReporter lossReporter_;
  unsigned sinceLossCheck_ = 0;  // datagrams since the loss counters were last looked at
  // The operator's figures (main thread), counted from each start.
  bool statusFigures_ = true;
  bool figuresRunning_ = false;
  std::uint64_t eventsTaken_ = 0;
  std::uint64_t relaysSent_ = 0;
  std::uint64_t kernelDrops_ = 0;  // of the receiver, as last read
  std::uint64_t queueDrops_ = 0;
  std::optional<DateTimeParts> lastSaveAt_;
  std::string lastSaveFile_;
  std::optional<DateTimeParts> nextSaveAt_;
  win::MonotonicClock::time_point figuresSentAt_{};
};

// The buffer file: in the configuration folder, next to the INI file.
// Its name is outside the log-file family that cleanup deletes.
std::string LogBufferPath();

// The process's one service module; set by the service application when it
// creates the module. The control-handler entry reaches the module through it.
extern TKVLogService* ServiceModule;

// The control-handler function: passes the code to ServiceModule.
void ControlHandlerEntry(win::DWORD control);

}  // namespace kv
