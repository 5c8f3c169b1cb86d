// The notify protocol's one reader on any datagram: it never fails, svcrun's
// description of it never fails, and a report as the service writes it is
// read back field by field.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz_check.h"
#include "platform/posix/notify_protocol.h"
#include "platform/service_control.h"
#include "status_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string datagram(reinterpret_cast<const char*>(data), size);
  const std::optional<win::NotifyStatus> read = win::ParseNotifyStatus(datagram);
  if (read) FUZZ_CHECK(read->status.find('\n') == std::string::npos);
  (void)kv::DescribeNotification(datagram);

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
  const bool firstRunning = size % 2 == 1;
  const std::optional<win::NotifyStatus> back =
      win::ParseNotifyStatus(win::ServiceStatusNotification(status, firstRunning));
  FUZZ_CHECK(back.has_value());
  const std::uint32_t readBack[7] = {back->serviceType,   back->state,           back->controlsAccepted,
                                     back->win32ExitCode, back->serviceExitCode, back->checkPoint,
                                     back->waitHint};
  FUZZ_CHECK(std::memcmp(readBack, fields, sizeof fields) == 0);
  FUZZ_CHECK(back->status.rfind(win::ServiceStateText(status.dwCurrentState), 0) == 0);
  FUZZ_CHECK(back->ready == firstRunning);
  FUZZ_CHECK(back->stopping == (status.dwCurrentState == win::SERVICE_STOP_PENDING));
  if (back->extendTimeoutUsec) FUZZ_CHECK(*back->extendTimeoutUsec == std::uint64_t{status.dwWaitHint} * 1000);
  return 0;
}
