// The two readers of notify datagrams, svcrun's and the test listener's, on
// any datagram: they agree on every status report both take, svcrun's
// description never fails, and a report as the service writes it is read
// back field by field by both.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "platform/service_control.h"
#include "status_line.h"
#include "support/notify_listener.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string datagram(reinterpret_cast<const char*>(data), size);
  const std::optional<kv::ReportedStatus> svcrun = kv::ParseReportedStatus(datagram);
  const std::optional<kvtest::StatusReport> listener = kvtest::ParseStatusReport(datagram);
  (void)kv::DescribeNotification(datagram);
  if (listener) {
    FUZZ_CHECK(svcrun.has_value());
    FUZZ_CHECK(svcrun->serviceType == listener->serviceType && svcrun->state == listener->state &&
               svcrun->controlsAccepted == listener->controlsAccepted &&
               svcrun->win32ExitCode == listener->win32ExitCode &&
               svcrun->serviceExitCode == listener->serviceExitCode && svcrun->checkPoint == listener->checkPoint &&
               svcrun->waitHint == listener->waitHint && svcrun->statusText == listener->status);
  }

  // The writer's datagram for seven fields taken from the input.
  std::uint32_t fields[7] = {};
  std::memcpy(fields, data, std::min(size, sizeof fields));
  win::SERVICE_STATUS status{};
  status.dwServiceType = fields[0];
  status.dwCurrentState = fields[1];
  status.dwControlsAccepted = fields[2];
  status.dwWin32ExitCode = fields[3];
  status.dwServiceSpecificExitCode = fields[4];
  status.dwCheckPoint = fields[5];
  status.dwWaitHint = fields[6];
  const std::string written = win::ServiceStatusNotification(status, size % 2 == 1);
  const std::optional<kv::ReportedStatus> a = kv::ParseReportedStatus(written);
  const std::optional<kvtest::StatusReport> b = kvtest::ParseStatusReport(written);
  FUZZ_CHECK(a.has_value() && b.has_value());
  const std::uint32_t readA[7] = {a->serviceType,     a->state,      a->controlsAccepted, a->win32ExitCode,
                                  a->serviceExitCode, a->checkPoint, a->waitHint};
  const std::uint32_t readB[7] = {b->serviceType,     b->state,      b->controlsAccepted, b->win32ExitCode,
                                  b->serviceExitCode, b->checkPoint, b->waitHint};
  FUZZ_CHECK(std::memcmp(readA, fields, sizeof fields) == 0);
  FUZZ_CHECK(std::memcmp(readB, fields, sizeof fields) == 0);
  FUZZ_CHECK(b->ready == (size % 2 == 1));
  FUZZ_CHECK(b->stopping == (status.dwCurrentState == win::SERVICE_STOP_PENDING));
  return 0;
}
