// The operator's figures beside the service's state: counted by the intake
// and the saves, sent at most once a second while events arrive, at each
// save and on an interrogate request.
#include <algorithm>
#include <chrono>
#include <exception>

#include "base/clock.h"
#include "logsvc/kvlog_service.h"
#include "logsvc/status_figures.h"
#include "net/msg_recv.h"
#include "platform/winsock.h"

namespace kv {
namespace {

constexpr std::chrono::seconds kFiguresPeriod{1};
// The longest period a timer keeps (USER_TIMER_MAXIMUM): a longer one
// fires after this long.
constexpr std::uint32_t kLongestTimerMs = 0x7FFFFFFF;

}  // namespace

void TKVLogService::ReadReceiveDrops() {
  if (!receiverOpen_) return;
  win::ReceiveQueueStats stats;
  if (win::GetReceiveQueueStats(Receiver->SocketHandle, &stats) != 0) return;
  kernelDrops_ = stats.kernelDrops;
  queueDrops_ = stats.queueDrops;
}

StatusFigures TKVLogService::CurrentFigures() {
  ReadReceiveDrops();
  StatusFigures figures;
  figures.events = eventsTaken_;
  figures.relayed = relaysSent_;
  figures.kernelDrops = kernelDrops_;
  figures.queueDrops = queueDrops_;
  figures.bufferedLines = LogLines ? LogLines->Count() : 0;
  figures.lastSaveAt = lastSaveAt_;
  figures.lastSaveFile = lastSaveFile_;
  figures.failedSaves = failedSaves_;
  figures.nextSaveAt = nextSaveAt_;
  figures.running = figuresRunning_;
  return figures;
}

void TKVLogService::ReportStatusFigures(bool now) {
  if (!statusFigures_) return;
  const auto at = win::MonotonicNow();
  if (!now && at - figuresSentAt_ < kFiguresPeriod) return;
  figuresSentAt_ = at;
  try {
    ReportStatusText(FormatStatusFigures(CurrentFigures(), CurrentClock().LocalNow()));
  } catch (const std::exception&) {
    // Figures that cannot be made (no memory) must not take the intake down.
  }
}

void TKVLogService::NoteNextSave() {
  const std::uint32_t period = MsgFlushTimer->Interval();
  if (period == 0) {
    nextSaveAt_.reset();
    return;
  }
  nextSaveAt_ = AddMilliseconds(CurrentClock().LocalNow(), std::min(period, kLongestTimerMs));
}

void TKVLogService::HandleInterrogate() {
  try {
    mainThread_->Invoke([this] { ReportStatusFigures(true); });
  } catch (const std::exception&) {
    // The main thread takes no work any more: the state alone is reported.
  }
  TService::HandleInterrogate();
}

}  // namespace kv
