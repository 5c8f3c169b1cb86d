// A unix datagram socket that collects every datagram it receives on a
// background thread, for tests that listen where the program sends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvtest {

// Owns the socket (and its file, for a path address) and the collecting
// thread. All public calls are safe from any thread.
class DatagramCollector {
 public:
  // Binds `address`: a file path, or "@name" for the abstract namespace.
  // Throws std::runtime_error when it cannot.
  explicit DatagramCollector(std::string address);
  ~DatagramCollector();
  DatagramCollector(const DatagramCollector&) = delete;
  DatagramCollector& operator=(const DatagramCollector&) = delete;

  const std::string& Address() const { return address_; }
  std::vector<std::string> Datagrams() const;
  std::size_t Count() const;

  // Returns once every datagram that reached the socket before this call
  // has been collected (a marker sent to the socket itself has come
  // through). False when that takes longer than `timeout`.
  bool Flush(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Waits until `done` holds for the datagrams received so far (checked on
  // every arrival), at most `timeout`. Returns whether it held.
  bool WaitUntil(const std::function<bool(const std::vector<std::string>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  void Run();

  std::string address_;
  int fd_ = -1;
  int stopFd_ = -1;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<std::string> datagrams_;
  mutable unsigned long long flushesSent_ = 0;
  unsigned long long flushesSeen_ = 0;
  std::thread thread_;
};

}  // namespace kvtest
