// TEventLogger: entries under one source, registration on first use and
// again after a failed registration.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/eventlog.h"
#include "support/syslog_listener.h"
#include "support/temp_dir.h"
#include "svchost/event_logger.h"

namespace {

TEST(EventLogger, WritesEntriesUnderItsSourceIncludingEmptyOnes) {
  kvtest::ScopedPlatformRoot root;
  kvtest::SyslogListener syslog(root);
  {
    kv::TEventLogger log("KVLogService");
    log.WriteEntry("KVLogService configuation error", win::EVENTLOG_ERROR_TYPE, 0, 0);
    log.WriteEntry("", win::EVENTLOG_INFORMATION_TYPE, 0, 0);
  }
  ASSERT_TRUE(syslog.WaitForEntries(2));
  auto entries = syslog.Entries();
  EXPECT_EQ(entries[0].tag, "KVLogService");
  EXPECT_EQ(entries[0].pri, 27);
  EXPECT_EQ(entries[0].message, "KVLogService configuation error");
  EXPECT_EQ(entries[1].pri, 30);
  EXPECT_EQ(entries[1].message, "");
}

// With no descriptor left, registration fails: the entry is dropped without
// a failure, and the next entry registers again.
TEST(EventLogger, FailedRegistrationIsRetriedByTheNextEntry) {
  kvtest::ScopedPlatformRoot root;
  kvtest::SyslogListener syslog(root);
  kv::TEventLogger log("Retry");

  // UBSan's run-time opens files of its own the first time it checks a
  // type, and reports a false "invalid vptr" when it cannot: let it meet
  // the event source's types before the descriptor limit is lowered.
  win::DeregisterEventSource(win::RegisterEventSource(nullptr, "Warm"));

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int lowestFree = dup(0);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  EXPECT_NO_THROW(log.WriteEntry("lost", win::EVENTLOG_ERROR_TYPE, 0, 0));
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

  log.WriteEntry("kept", win::EVENTLOG_ERROR_TYPE, 0, 0);
  ASSERT_TRUE(syslog.WaitForMessage("kept"));
  auto entries = syslog.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message, "kept");
}

}  // namespace
