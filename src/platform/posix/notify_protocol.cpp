#include "platform/posix/notify_protocol.h"

#include <signal.h>

#include "platform/common/service_dispatch.h"
#include "platform/service_control.h"

namespace win {
namespace {

bool IsPending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
         state == SERVICE_PAUSE_PENDING;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The next unsigned decimal number of `text` after blanks, at most `max`;
// nullopt when there is none or it is larger.
std::optional<std::uint64_t> NextNumber(std::string_view& text, std::uint64_t max) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  std::uint64_t value = 0;
  while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
    const std::uint64_t digit = static_cast<std::uint64_t>(text.front() - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
    text.remove_prefix(1);
  }
  return value;
}

bool OnlyBlanks(std::string_view text) {
  for (char c : text) {
    if (!IsBlank(c)) return false;
  }
  return true;
}

// The signal of each fixed control code.
struct ControlSignal {
  int signalNumber;
  DWORD control;
};
constexpr ControlSignal kControlSignals[] = {
    {SIGTERM, SERVICE_CONTROL_STOP},       {SIGUSR1, SERVICE_CONTROL_PAUSE},   {SIGUSR2, SERVICE_CONTROL_CONTINUE},
    {SIGHUP, SERVICE_CONTROL_INTERROGATE}, {SIGPWR, SERVICE_CONTROL_SHUTDOWN},
};

}  // namespace

std::string ServiceStatusNotification(const SERVICE_STATUS& status, bool firstRunning, std::string_view detail) {
  std::string text = "X_SERVICE_STATUS=";
  for (DWORD field : {status.dwServiceType, status.dwCurrentState, status.dwControlsAccepted, status.dwWin32ExitCode,
                      status.dwServiceSpecificExitCode, status.dwCheckPoint, status.dwWaitHint}) {
    if (text.back() != '=') text += ' ';
    text += std::to_string(field);
  }
  text += '\n';
  text += ServiceStatusTextNotification(status, detail);
  if (firstRunning) text += "\nREADY=1";
  if (status.dwCurrentState == SERVICE_STOP_PENDING) text += "\nSTOPPING=1";
  // A zero wait hint would ask the manager to give up at once; it is left out.
  if (IsPending(status.dwCurrentState) && status.dwWaitHint != 0) {
    text += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<std::uint64_t>(status.dwWaitHint) * 1000);
  }
  return text;
}

std::string ServiceStatusTextNotification(const SERVICE_STATUS& last, std::string_view detail) {
  std::string text = "STATUS=" + ServiceStateText(last.dwCurrentState);
  if (last.dwWin32ExitCode != 0 || last.dwServiceSpecificExitCode != 0) {
    text += " (exit code " + std::to_string(last.dwWin32ExitCode);
    if (last.dwServiceSpecificExitCode != 0) {
      text += ", service code " + std::to_string(last.dwServiceSpecificExitCode);
    }
    text += ')';
  }
  if (!detail.empty()) {
    text += " \u00B7 ";
    for (char c : detail) text += c == '\n' || c == '\r' || c == '\0' ? ' ' : c;
  }
  return text;
}

std::optional<std::string> ParseNotifyStatusText(std::string_view datagram) {
  std::optional<std::string> status;
  while (!datagram.empty()) {
    std::string_view::size_type end = datagram.find('\n');
    std::string_view line = datagram.substr(0, end);
    datagram.remove_prefix(end == std::string_view::npos ? datagram.size() : end + 1);
    if (line.starts_with("X_SERVICE_STATUS=")) return std::nullopt;
    if (line.starts_with("STATUS=")) status = std::string(line.substr(7));
  }
  return status;
}

std::optional<NotifyStatus> ParseNotifyStatus(std::string_view datagram) {
  NotifyStatus report;
  bool haveStatus = false;
  while (!datagram.empty()) {
    std::string_view::size_type end = datagram.find('\n');
    std::string_view line = datagram.substr(0, end);
    datagram.remove_prefix(end == std::string_view::npos ? datagram.size() : end + 1);
    std::string_view::size_type eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = line.substr(0, eq);
    std::string_view value = line.substr(eq + 1);
    if (key == "X_SERVICE_STATUS") {
      DWORD* targets[] = {&report.serviceType,     &report.state,      &report.controlsAccepted, &report.win32ExitCode,
                          &report.serviceExitCode, &report.checkPoint, &report.waitHint};
      for (DWORD* target : targets) {
        std::optional<std::uint64_t> number = NextNumber(value, 0xFFFFFFFFu);
        if (!number) return std::nullopt;
        *target = static_cast<DWORD>(*number);
      }
      if (!OnlyBlanks(value)) return std::nullopt;
      haveStatus = true;
    } else if (key == "STATUS") {
      report.status = std::string(value);
    } else if (key == "READY") {
      report.ready = value == "1";
    } else if (key == "STOPPING") {
      report.stopping = value == "1";
    } else if (key == "EXTEND_TIMEOUT_USEC") {
      report.extendTimeoutUsec = NextNumber(value, UINT64_MAX);
      if (!report.extendTimeoutUsec || !OnlyBlanks(value)) return std::nullopt;
    }
  }
  if (!haveStatus) return std::nullopt;
  return report;
}

DWORD ControlForSignal(int signalNumber) {
  if (signalNumber == SIGINT) return SERVICE_CONTROL_STOP;
  for (const ControlSignal& entry : kControlSignals) {
    if (entry.signalNumber == signalNumber) return entry.control;
  }
  if (signalNumber >= SIGRTMIN && signalNumber <= SIGRTMAX)
    return SERVICE_CONTROL_CUSTOM_FIRST + static_cast<DWORD>(signalNumber - SIGRTMIN);
  return 0;
}

int SignalForControl(DWORD control) {
  for (const ControlSignal& entry : kControlSignals) {
    if (entry.control == control) return entry.signalNumber;
  }
  if (control >= SERVICE_CONTROL_CUSTOM_FIRST &&
      control - SERVICE_CONTROL_CUSTOM_FIRST <= static_cast<DWORD>(SIGRTMAX - SIGRTMIN))
    return SIGRTMIN + static_cast<int>(control - SERVICE_CONTROL_CUSTOM_FIRST);
  return 0;
}

}  // namespace win
