// The intake: one waiting datagram per notification becomes a log line and
// a relayed event.
#include <algorithm>
#include <string>

#include "base/app_failure.h"
#include "base/clock.h"
#include "base/datetime.h"
#include "base/exception.h"
#include "base/format.h"
#include "logsvc/event_line.h"
#include "logsvc/kvlog_service.h"
#include "net/app_event_msg.h"
#include "net/msg_recv.h"
#include "net/relay_sender.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/winsock.h"

namespace kv {
namespace {

constexpr int kReceiveBufferSize = 2048;
constexpr unsigned kLossCheckStride = 64;
// Relays sent in one system call at most.
constexpr std::size_t kRelayBatch = 64;
constexpr std::size_t kMaxAppNameAfterMarker = 256;

std::string ToAnsi(std::string_view utf8) {
  std::optional<std::u16string> wide = DecodeUtf8Field(utf8);
  return wide ? win::WideCharToAnsi(*wide) : std::string();
}

}  // namespace

win::LRESULT TKVLogService::SocketWndProc(win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
  mainThreadOwner_.Check();
  if (msg == WM_RELAY_FAILED) {
    ReportRelayFailures();
    return 0;
  }
  if (msg != WM_SOCKET_READ) return win::DefWindowProc(WindowHandle, msg, wParam, lParam);
  if (win::HIWORD(lParam) != 0) return 0;
  // A notification still queued when the receiver was closed finds nothing
  // to read: it reads, relays and reports nothing.
  if (!receiverOpen_ || wParam != Receiver->SocketHandle) return 0;
  try {
    ReadDatagram();
  } catch (const std::exception& failure) {
    ReportIntakeFailure(failure);
  }
  // Relays wait while more datagrams do, and go out together in one call
  // once the receive queue is empty or a batch is full; order is kept.
  const bool drained = win::DatagramsWaiting(Receiver->SocketHandle) == 0;
  if (drained) SendRelays();
  // The loss counters' clock is read at the end of each burst and every
  // kLossCheckStride datagrams within one, not for every datagram.
  if (drained || ++sinceLossCheck_ >= kLossCheckStride) {
    sinceLossCheck_ = 0;
    ReportReceiveLoss(false);
  }
  return 0;
}

void TKVLogService::ReportReceiveLoss(bool atStop) {
  if (!lossReporter_.LookNow(atStop)) return;
  win::ReceiveQueueStats stats;
  if (win::GetReceiveQueueStats(Receiver->SocketHandle, &stats) != 0) return;
  const std::uint64_t count = lossReporter_.Due(Receiver->SocketHandle, stats.kernelDrops + stats.queueDrops, atStop);
  if (count == 0) return;
  try {
    WriteEventLog(
        "KVLogService lost " + std::to_string(count) + " datagrams: they arrived faster than they could be taken in",
        win::EVENTLOG_WARNING_TYPE, 0, 0);
  } catch (const std::exception&) {
    // The event log's own failure must not take the message loop down.
  }
}

bool TKVLogService::ReadDatagram() {
  char buffer[kReceiveBufferSize];
  int fromLength = sizeof Receiver->PeerAddr;
  int received = win::recvfrom(Receiver->SocketHandle, buffer, kReceiveBufferSize, 0,
                               reinterpret_cast<win::SOCKADDR*>(&Receiver->PeerAddr), &fromLength);
  if (received == win::SOCKET_ERROR) {
    int error = win::WSAGetLastError();
    // Nothing waiting: a notification that the stop's drain has overtaken.
    if (error == win::WSAEWOULDBLOCK) return false;
    // Reported per datagram; the stop's drain goes on with the next one.
    if (error == win::WSAEMSGSIZE) {
      ReportIntakeFailure(Exception(Format("RecvFrom faild. stat = %d", {error})));
      ReportRefusedDatagram();
      return true;
    }
    throw Exception(Format("RecvFrom faild. stat = %d", {error}));
  }
  ++eventsTaken_;
  try {
    HandleDatagram(std::string_view(buffer, static_cast<std::size_t>(received)));
  } catch (const std::exception& failure) {
    ReportIntakeFailure(failure);
  }
  return true;
}

void TKVLogService::HandleDatagram(std::string_view received) {
  EventFields f = SplitDatagram(DatagramText(received));

  if (std::string_view(f.AppName).starts_with(kUtf8Marker)) {
    f.AppName = f.AppName.substr(kUtf8Marker.size(), kMaxAppNameAfterMarker);
    f.SourceName = ToAnsi(f.SourceName);
    f.MsgText = ToAnsi(f.MsgText);
    f.SendTime = FormatDateTime("yyyy/mm/dd hh:nn:ss", CurrentClock().LocalNow());
  }

  // A save that fails costs the command neither its line nor its relay:
  // its lines wait for the next save, and no banner starts a new buffer.
  if (std::string_view(f.MsgText).starts_with(kFlushCommand) && FlushCommandSave()) LogLines->Add(kBanner);

  LogLines->Add(FormatLogLine(f));

  if (Repeater &&
      Repeater->QueueEvent(f.AppName, f.MsgText, f.SourceName, EventTypeValue(f.EventType), 0) >= kRelayBatch) {
    SendRelays();
  }
}

void TKVLogService::SendRelays() {
  if (!Repeater || Repeater->QueuedCount() == 0) return;
  LogLines->WriteThrough();
  const std::size_t queued = Repeater->QueuedCount();
  if (relaySender_) {
    // Counted as relayed once handed over; a failure the sending thread
    // reports later takes its event back out of the count.
    relaySender_->Hand();
    relaysSent_ += queued;
    return;
  }
  std::size_t failed = 0;
  Repeater->SendQueued([this, &failed](const std::exception& failure) {
    ++failed;
    ReportIntakeFailure(failure);
  });
  relaysSent_ += queued - std::min(failed, queued);
}

void TKVLogService::ReportRelayFailures() {
  if (!relaySender_) return;
  for (const std::string& text : relaySender_->TakeFailures()) {
    if (relaysSent_ > 0) --relaysSent_;
    ReportIntakeFailure(EAppEventMsg(text));
  }
}

// The facts behind a 10040 report: how large the refused datagram was and
// who sent it.
void TKVLogService::ReportRefusedDatagram() {
  // Senders differ from datagram to datagram; the repeats count as one.
  if (!failureRepeats_.Admit(
          "KVLogService refused a datagram larger than " + std::to_string(kReceiveBufferSize) + " bytes",
          win::MonotonicNow()))
    return;
  const win::SOCKADDR_IN& peer = Receiver->PeerAddr;
  const auto* octets = reinterpret_cast<const unsigned char*>(&peer.sin_addr.S_addr);
  try {
    WriteEventLog("KVLogService refused a datagram of " + std::to_string(win::LastRefusedDatagramLength()) +
                      " bytes from " + std::to_string(octets[0]) + "." + std::to_string(octets[1]) + "." +
                      std::to_string(octets[2]) + "." + std::to_string(octets[3]) + ":" +
                      std::to_string(win::ntohs(peer.sin_port)) + ": it reads at most " +
                      std::to_string(kReceiveBufferSize) + " bytes",
                  win::EVENTLOG_WARNING_TYPE, 0, 0);
  } catch (const std::exception&) {
    // The event log's own failure must not take the message loop down.
  }
}

void TKVLogService::ReportFailureRepeats(bool atStop) {
  for (const auto& [text, count] : failureRepeats_.Due(win::MonotonicNow(), atStop)) {
    try {
      HandleApplicationException(Exception(TRepeatFilter::CountText(text, count)));
    } catch (...) {
      // A failing failure handler must not take the message loop down.
    }
  }
}

void TKVLogService::ReportIntakeFailure(const std::exception& failure) {
  try {
    if (intakeFailure_) intakeFailure_(failure);
  } catch (...) {
    // A failing failure handler must not take the message loop down.
  }
}

}  // namespace kv
