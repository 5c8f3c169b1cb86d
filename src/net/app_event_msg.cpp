#include "net/app_event_msg.h"

#include <algorithm>

#include "base/clock.h"
#include "net/event_datagram.h"
#include "net/random_tag.h"

namespace kv {
namespace {

[[noreturn]] void RaiseSocketError(const char* text) {
  throw EAppEventMsg(text + std::to_string(win::WSAGetLastError()));
}

}  // namespace

TAppEventMsg::TAppEventMsg(std::int32_t port, std::string host) : port_(port), host_(std::move(host)) {
  SeedRandomTagsFromTimeOfDay();
}

void TAppEventMsg::Startup() {
  requestedVersion_ = WinSockVersion;
  startupResult_ = win::WSAStartup(requestedVersion_, &winSockData_);
  if (startupResult_ != 0) throw EAppEventMsg("WSAStartup failed.");
  if (win::LOBYTE(winSockData_.wVersion) != win::LOBYTE(requestedVersion_) ||
      win::HIBYTE(winSockData_.wVersion) != win::HIBYTE(requestedVersion_)) {
    win::WSACleanup();
    throw EAppEventMsg("Invalid WinSock version.");
  }
}

void TAppEventMsg::Open() {
  socket_ = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
  if (socket_ == win::INVALID_SOCKET) RaiseSocketError("Create Socket failed. stat = ");

  const std::int32_t reuse = 1;
  if (win::setsockopt(socket_, win::WS_SOL_SOCKET, win::WS_SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                      sizeof reuse) != 0) {
    RaiseSocketError("SetSockOpt call failed. stat = ");
  }

  destAddr_ = win::SOCKADDR_IN{};
  destAddr_.sin_family = win::WS_AF_INET;
  // Dotted text only; a name is not looked up and gives the all-ones
  // address, which the send then reports.
  destAddr_.sin_addr.S_addr = win::inet_addr(host_.c_str());
  destAddr_.sin_port = win::htons(static_cast<win::WORD>(port_ & 0xFFFF));
}

void TAppEventMsg::SendEvent(std::string_view AppName, std::string_view MsgText, std::string_view SourceName,
                             std::int32_t EventType, std::int32_t EventCode) {
  const DateTimeParts now = CurrentClock().LocalNow();
  const std::int32_t tag = DrawRandomTag();
  const std::string text = BuildEventDatagram(now, tag, AppName, SourceName, EventType, EventCode, MsgText);
  // The receiver takes at most this much; a longer event would arrive as
  // an error there, so it is refused here with its length.
  if (text.size() > kMaxDatagramText) {
    throw EAppEventMsg("Event text too long. length = " + std::to_string(text.size()));
  }
  if (win::sendto(socket_, text.data(), static_cast<int>(text.size()), 0,
                  reinterpret_cast<const win::SOCKADDR*>(&destAddr_), sizeof destAddr_) == win::SOCKET_ERROR) {
    RaiseSocketError("SendTo failed. stat = ");
  }
}

std::size_t TAppEventMsg::QueueEvent(std::string_view AppName, std::string_view MsgText, std::string_view SourceName,
                                     std::int32_t EventType, std::int32_t EventCode) {
  const DateTimeParts now = CurrentClock().LocalNow();
  const std::int32_t tag = DrawRandomTag();
  // Built in the slot's own string, whose memory earlier events left.
  if (queued_ == texts_.size()) texts_.emplace_back();
  std::string& text = texts_[queued_];
  text.clear();
  AppendEventDatagram(text, now, tag, AppName, SourceName, EventType, EventCode, MsgText);
  // Refused, the text stays in the slot beyond the count, cleared by the
  // next event built there.
  if (text.size() > kMaxDatagramText) {
    throw EAppEventMsg("Event text too long. length = " + std::to_string(text.size()));
  }
  return ++queued_;
}

void SendEventTexts(win::SOCKET socket, const win::SOCKADDR_IN& dest, const std::vector<std::string>& texts,
                    const std::function<void(const EAppEventMsg&)>& onFailure) {
  constexpr std::size_t kChunk = 1024;
  win::WSABUF buffers[kChunk];
  for (std::size_t first = 0; first < texts.size(); first += kChunk) {
    const int count = static_cast<int>(std::min(kChunk, texts.size() - first));
    for (int i = 0; i < count; ++i)
      buffers[i] = win::WSABUF{static_cast<unsigned long>(texts[first + i].size()), texts[first + i].data()};
    int next = 0;
    while (next < count) {
      next += win::SendToBatch(socket, buffers + next, count - next, reinterpret_cast<const win::SOCKADDR*>(&dest),
                               sizeof dest);
      if (next < count) {
        // This one failed; report it as its own send would have, then go on.
        onFailure(EAppEventMsg("SendTo failed. stat = " + std::to_string(win::WSAGetLastError())));
        ++next;
      }
    }
  }
}

void TAppEventMsg::SendQueued(const std::function<void(const EAppEventMsg&)>& onFailure) {
  buffers_.resize(queued_);
  for (std::size_t i = 0; i < queued_; ++i)
    buffers_[i] = win::WSABUF{static_cast<unsigned long>(texts_[i].size()), texts_[i].data()};
  const int count = static_cast<int>(queued_);
  queued_ = 0;
  int next = 0;
  while (next < count) {
    next += win::SendToBatch(socket_, buffers_.data() + next, count - next,
                             reinterpret_cast<const win::SOCKADDR*>(&destAddr_), sizeof destAddr_);
    if (next < count) {
      // This one failed; report it as its own send would have, then go on.
      onFailure(EAppEventMsg("SendTo failed. stat = " + std::to_string(win::WSAGetLastError())));
      ++next;
    }
  }
}

void TAppEventMsg::TakeQueued(std::vector<std::string>& out, std::vector<std::string>& spare) {
  for (std::size_t i = 0; i < queued_; ++i) {
    out.push_back(std::move(texts_[i]));
    if (!spare.empty()) {
      texts_[i] = std::move(spare.back());
      spare.pop_back();
    }
  }
  queued_ = 0;
}

void TAppEventMsg::Close() {
  if (win::closesocket(socket_) != 0) RaiseSocketError("CloseSocket call failed. stat = ");
}

void TAppEventMsg::Cleanup() { win::WSACleanup(); }

}  // namespace kv
