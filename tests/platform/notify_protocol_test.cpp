#include "platform/posix/notify_protocol.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "platform/service_control.h"

namespace {

TEST(NotifyProtocol, AReportComesBackAsItWasWritten) {
  win::SERVICE_STATUS status{};
  status.dwServiceType = 16;
  status.dwCurrentState = win::SERVICE_STOP_PENDING;
  status.dwControlsAccepted = 0xFFFFFFFFu;
  status.dwWin32ExitCode = 1066;
  status.dwServiceSpecificExitCode = 7;
  status.dwCheckPoint = 3;
  status.dwWaitHint = 4000;
  std::optional<win::NotifyStatus> read = win::ParseNotifyStatus(win::ServiceStatusNotification(status, true));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->serviceType, 16u);
  EXPECT_EQ(read->state, win::SERVICE_STOP_PENDING);
  EXPECT_EQ(read->controlsAccepted, 0xFFFFFFFFu);
  EXPECT_EQ(read->win32ExitCode, 1066u);
  EXPECT_EQ(read->serviceExitCode, 7u);
  EXPECT_EQ(read->checkPoint, 3u);
  EXPECT_EQ(read->waitHint, 4000u);
  EXPECT_EQ(read->status, "Stop pending (exit code 1066, service code 7)");
  EXPECT_TRUE(read->ready);
  EXPECT_TRUE(read->stopping);
  EXPECT_EQ(read->extendTimeoutUsec, 4000000u);
}

TEST(NotifyProtocol, MalformedReportsAreNone) {
  EXPECT_FALSE(win::ParseNotifyStatus("STATUS=Running\nREADY=1"));
  EXPECT_FALSE(win::ParseNotifyStatus("X_SERVICE_STATUS=16 4 7 0 0 0"));
  EXPECT_FALSE(win::ParseNotifyStatus("X_SERVICE_STATUS=16 4 7 0 0 0 0 9"));
  EXPECT_FALSE(win::ParseNotifyStatus("X_SERVICE_STATUS=16 4 7 0 0 0 4294967296"));
  EXPECT_FALSE(win::ParseNotifyStatus("X_SERVICE_STATUS=16 -4 7 0 0 0 0"));
  EXPECT_FALSE(win::ParseNotifyStatus("X_SERVICE_STATUS=16 4 7 0 0 0 0\nEXTEND_TIMEOUT_USEC=5x"));
  std::optional<win::NotifyStatus> spaced = win::ParseNotifyStatus("X_SERVICE_STATUS= 16\t4 7 0 0 0 0 \nOTHER=1");
  ASSERT_TRUE(spaced);
  EXPECT_EQ(spaced->state, win::SERVICE_RUNNING);
  EXPECT_FALSE(spaced->extendTimeoutUsec);
}

TEST(NotifyProtocol, EverySignalCarriesItsControlBothWays) {
  for (win::DWORD control : {win::SERVICE_CONTROL_STOP, win::SERVICE_CONTROL_PAUSE, win::SERVICE_CONTROL_CONTINUE,
                             win::SERVICE_CONTROL_INTERROGATE, win::SERVICE_CONTROL_SHUTDOWN,
                             win::SERVICE_CONTROL_CUSTOM_FIRST, win::SERVICE_CONTROL_CUSTOM_FIRST + 5}) {
    int signalNumber = win::SignalForControl(control);
    ASSERT_NE(signalNumber, 0) << control;
    EXPECT_EQ(win::ControlForSignal(signalNumber), control);
  }
  EXPECT_EQ(win::SignalForControl(win::SERVICE_CONTROL_STOP), SIGTERM);
  EXPECT_EQ(win::ControlForSignal(SIGINT), win::SERVICE_CONTROL_STOP);
  EXPECT_EQ(win::ControlForSignal(SIGCHLD), 0u);
  EXPECT_EQ(win::SignalForControl(win::SERVICE_CONTROL_CUSTOM_FIRST + 1000), 0);
  EXPECT_EQ(win::SignalForControl(0), 0);
}

}  // namespace
