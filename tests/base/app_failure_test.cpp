#include "base/app_failure.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"

namespace {

TEST(AppFailureTest, WithoutHandlerTheTextGoesToStderr) {
  kv::SetApplicationFailureHandler(nullptr);
  testing::internal::CaptureStderr();
  kv::HandleApplicationException(kv::Exception("disk on fire"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "disk on fire\n");
}

TEST(AppFailureTest, HandlerReceivesTheFailureObject) {
  std::string seen;
  kv::SetApplicationFailureHandler([&](const std::exception& e) {
    seen = e.what();
    EXPECT_NE(dynamic_cast<const kv::EInOutError*>(&e), nullptr);
  });
  kv::HandleApplicationException(kv::EInOutError(5));
  kv::SetApplicationFailureHandler(nullptr);
  EXPECT_EQ(seen, "File access denied");
}

TEST(AppFailureTest, FailingHandlerDoesNotThrow) {
  kv::SetApplicationFailureHandler([](const std::exception&) { throw std::runtime_error("handler broke"); });
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(kv::HandleApplicationException(kv::Exception("first")));
  std::string err = testing::internal::GetCapturedStderr();
  kv::SetApplicationFailureHandler(nullptr);
  EXPECT_NE(err.find("first"), std::string::npos);
  EXPECT_NE(err.find("handler broke"), std::string::npos);
}

TEST(AppFailureTest, HandlerMayReplaceItselfAndThreadsMayCallConcurrently) {
  std::atomic<int> calls{0};
  kv::SetApplicationFailureHandler([&](const std::exception&) {
    ++calls;
    kv::SetApplicationFailureHandler([&](const std::exception&) { ++calls; });
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 100; ++i) kv::HandleApplicationException(kv::Exception("x"));
    });
  }
  for (auto& t : threads) t.join();
  kv::SetApplicationFailureHandler(nullptr);
  EXPECT_EQ(calls, 400);
}

}  // namespace
