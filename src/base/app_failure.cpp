#include "base/app_failure.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "base/exception.h"

namespace kv {
namespace {

std::mutex gMutex;
ApplicationFailureHandler gHandler;

void WriteToStderr(const char* text) {
  std::fputs(text, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace

void SetApplicationFailureHandler(ApplicationFailureHandler handler) {
  ApplicationFailureHandler previous;  // destroyed outside the lock
  std::lock_guard lock(gMutex);
  previous = std::exchange(gHandler, std::move(handler));
}

void HandleApplicationException(const std::exception& failure) {
  if (dynamic_cast<const EAbort*>(&failure)) return;
  ApplicationFailureHandler handler;
  {
    std::lock_guard lock(gMutex);
    handler = gHandler;
  }
  if (!handler) {
    WriteToStderr(failure.what());
    return;
  }
  try {
    handler(failure);
  } catch (const std::exception& e) {
    WriteToStderr(failure.what());
    WriteToStderr(e.what());
  } catch (...) {
    WriteToStderr(failure.what());
  }
}

}  // namespace kv
