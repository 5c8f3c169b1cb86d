#include "logsvc/loss_reporter.h"

#include <chrono>

namespace kv {
namespace {

constexpr std::chrono::seconds kLookPeriod{1};
constexpr std::chrono::seconds kReportPeriod{60};

}  // namespace

bool TLossReporter::LookNow(bool atStop) {
  const win::MonotonicClock::time_point now = win::MonotonicNow();
  if (!atStop && now - lookedAt_ < kLookPeriod) return false;
  lookedAt_ = now;
  return true;
}

std::uint64_t TLossReporter::Due(win::SOCKET socket, std::uint64_t lost, bool atStop) {
  if (socket != socket_) {
    socket_ = socket;
    reported_ = 0;
  }
  if (lost <= reported_) return 0;
  if (!atStop && reported_ != 0 && lookedAt_ - reportedAt_ < kReportPeriod) return 0;
  const std::uint64_t count = lost - reported_;
  reported_ = lost;
  reportedAt_ = lookedAt_;
  return count;
}

}  // namespace kv
