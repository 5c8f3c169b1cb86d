// TAppEventMsg: sends events as UDP datagrams of the event format to one
// destination, for applications that report to the log service and for the
// service's own relay.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/exception.h"
#include "platform/types.h"
#include "platform/winsock.h"

namespace kv {

// Every failure of TAppEventMsg.
class EAppEventMsg : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EAppEventMsg"; }
};

// Owns its copy of the destination host text and an unbound UDP socket
// between Open and Close; it releases neither the socket nor the library
// registration by itself: the owner runs Close and Cleanup before
// destroying it.
//
// Thread contract: one thread at a time (the owner serialises the calls and
// never closes or destroys it while SendEvent runs); the random tags come
// from the process-wide generator, which is safe from any thread.
// Sends `texts` through `socket` to `dest` in order, in as few system calls
// as it can; each one that fails goes to `onFailure` as "SendTo failed.
// stat = N", and the ones after it are still sent. Safe from any thread
// while the socket stays open.
void SendEventTexts(win::SOCKET socket, const win::SOCKADDR_IN& dest, const std::vector<std::string>& texts,
                    const std::function<void(const EAppEventMsg&)>& onFailure);

class TAppEventMsg {
 public:
  static constexpr win::WORD WinSockVersion = win::MAKEWORD(1, 1);

  // Keeps the destination (dotted IPv4 text, low 16 bits of `port`) and
  // seeds the process's random tags from the UTC time of day.
  TAppEventMsg(std::int32_t port, std::string host);
  virtual ~TAppEventMsg() = default;
  TAppEventMsg(const TAppEventMsg&) = delete;
  TAppEventMsg& operator=(const TAppEventMsg&) = delete;

  // Registers with the socket library at version 1.1. Raises EAppEventMsg
  // "WSAStartup failed." or, after releasing the registration again,
  // "Invalid WinSock version.".
  void Startup();
  // Creates the socket, sets SO_REUSEADDR and fills the destination
  // address (a host that is no dotted address yields 255.255.255.255).
  // Raises EAppEventMsg "Create Socket failed. stat = N" or
  // "SetSockOpt call failed. stat = N".
  void Open();
  // Sends one event stamped with the local time and a new random tag; a
  // message text of 200 bytes or more goes as its first 197 and "...".
  // Raises EAppEventMsg "SendTo failed. stat = N", or "Event text too long.
  // length = N" for a datagram text above 2048 bytes (nothing is sent).
  void SendEvent(std::string_view AppName, std::string_view MsgText, std::string_view SourceName,
                 std::int32_t EventType, std::int32_t EventCode);
  // Builds the event as SendEvent does (time, tag, text) and keeps it for
  // SendQueued; raises "Event text too long. length = N" at once, keeping
  // nothing. Returns how many events wait.
  std::size_t QueueEvent(std::string_view AppName, std::string_view MsgText, std::string_view SourceName,
                         std::int32_t EventType, std::int32_t EventCode);
  // Sends the kept events in order, in as few system calls as it can, and
  // forgets them. Each one that fails is handed to `onFailure` with the
  // error SendEvent would raise for it ("SendTo failed. stat = N"); the
  // ones after it are still sent.
  void SendQueued(const std::function<void(const EAppEventMsg&)>& onFailure);
  // Moves the kept events to the end of `out`, in order, and forgets them:
  // for a sender of their own (TRelaySender). Strings from the end of
  // `spare` (sent ones, their memory kept) take their places, so that
  // queueing does not allocate again.
  void TakeQueued(std::vector<std::string>& out, std::vector<std::string>& spare);
  std::size_t QueuedCount() const { return queued_; }
  // Raises EAppEventMsg "CloseSocket call failed. stat = N". Events still
  // kept are dropped: the owner sends them first.
  void Close();
  // Releases the library registration; the result is ignored.
  void Cleanup();

  std::int32_t Port() const { return port_; }
  const std::string& Host() const { return host_; }
  win::SOCKET SocketHandle() const { return socket_; }
  const win::SOCKADDR_IN& DestAddr() const { return destAddr_; }
  std::int32_t StartupResult() const { return startupResult_; }
  const win::WSADATA& WinSockData() const { return winSockData_; }

 private:
  win::WORD requestedVersion_ = 0;
  win::WSADATA winSockData_{};
  std::int32_t startupResult_ = 0;
  win::SOCKET socket_ = 0;
  win::SOCKADDR_IN destAddr_{};
  std::int32_t port_;
  std::string host_;
  // Events kept by QueueEvent: the first queued_ of texts_ (the strings are
  // reused, so a steady stream allocates nothing new).
  std::vector<std::string> texts_;
  std::vector<win::WSABUF> buffers_;
  std::size_t queued_ = 0;
};

}  // namespace kv
