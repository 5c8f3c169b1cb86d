#include "support/notify_listener.h"

#include <unistd.h>

#include <atomic>
#include <sstream>
#include <stdexcept>

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
  StatusReport report;
  report.raw = datagram;
  bool haveStatus = false;
  std::istringstream lines(datagram);
  std::string line;
  while (std::getline(lines, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    if (key == "X_SERVICE_STATUS") {
      std::istringstream fields(value);
      std::uint32_t* targets[] = {&report.serviceType,     &report.state,      &report.controlsAccepted,
                                  &report.win32ExitCode,   &report.serviceExitCode, &report.checkPoint,
                                  &report.waitHint};
      for (auto* target : targets) {
        if (!(fields >> *target)) return std::nullopt;
      }
      std::string rest;
      if (fields >> rest) return std::nullopt;
      haveStatus = true;
    } else if (key == "STATUS") {
      report.status = value;
    } else if (key == "READY") {
      report.ready = value == "1";
    } else if (key == "STOPPING") {
      report.stopping = value == "1";
    } else if (key == "EXTEND_TIMEOUT_USEC") {
      try {
        report.extendTimeoutUsec = std::stoull(value);
      } catch (const std::exception&) {
        return std::nullopt;
      }
    }
  }
  if (!haveStatus) return std::nullopt;
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
