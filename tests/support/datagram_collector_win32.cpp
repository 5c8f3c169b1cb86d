// Windows has no local datagram sockets for a syslog daemon or a service
// manager's notify socket: a collector there receives nothing, so that the
// fixtures that hold one still run the tests that do not read it.
#include "support/datagram_collector.h"

namespace kvtest {

DatagramCollector::DatagramCollector(std::string address) : address_(std::move(address)) {}

DatagramCollector::~DatagramCollector() = default;

std::vector<std::string> DatagramCollector::Datagrams() const { return {}; }

std::size_t DatagramCollector::Count() const { return 0; }

bool DatagramCollector::Flush(std::chrono::milliseconds) const { return true; }

bool DatagramCollector::WaitUntil(const std::function<bool(const std::vector<std::string>&)>& done,
                                  std::chrono::milliseconds) const {
  return done({});
}

void DatagramCollector::Run() {}

}  // namespace kvtest
