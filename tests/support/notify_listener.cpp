#include "support/notify_listener.h"

#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <utility>

namespace kvtest {
namespace {

std::vector<StatusReport> ParseAll(const std::vector<std::string>& datagrams) {
  std::vector<StatusReport> reports;
  for (const auto& d : datagrams) {
    if (auto report = ParseStatusReport(d)) reports.push_back(*report);
  }
  return reports;
}

}  // namespace

std::optional<StatusReport> ParseStatusReport(const std::string& datagram) {
  std::optional<win::NotifyStatus> status = win::ParseNotifyStatus(datagram);
  if (!status) return std::nullopt;
  StatusReport report;
  static_cast<win::NotifyStatus&>(report) = std::move(*status);
  report.raw = datagram;
  return report;
}

NotifyListener::NotifyListener(Kind kind) {
  if (kind == Kind::Path) {
    dir_.emplace();
    collector_.emplace(dir_->Sub("notify"));
  } else {
    static std::atomic<int> counter{0};
    collector_.emplace("@kvtest-notify-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
  }
}

std::vector<StatusReport> NotifyListener::Reports() const { return ParseAll(collector_->Datagrams()); }

bool NotifyListener::WaitForReports(std::size_t count, std::chrono::milliseconds timeout) const {
  // Only the datagrams that came since the last look are parsed.
  std::size_t seen = 0;
  std::size_t reports = 0;
  return collector_->WaitUntil(
      [&](const auto& datagrams) {
        for (; seen < datagrams.size(); ++seen) reports += ParseStatusReport(datagrams[seen]) ? 1 : 0;
        return reports >= count;
      },
      timeout);
}

std::optional<std::size_t> NotifyListener::WaitForState(std::uint32_t state, std::size_t from,
                                                        std::chrono::milliseconds timeout) const {
  std::optional<std::size_t> found;
  std::size_t seen = 0;
  std::size_t index = 0;
  collector_->WaitUntil(
      [&](const auto& datagrams) {
        for (; seen < datagrams.size(); ++seen) {
          auto report = ParseStatusReport(datagrams[seen]);
          if (!report) continue;
          if (index >= from && report->state == state) {
            found = index;
            return true;
          }
          ++index;
        }
        return false;
      },
      timeout);
  return found;
}

}  // namespace kvtest
