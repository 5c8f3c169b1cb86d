#include "platform/thread_name.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <string>
#include <thread>
#include <utility>

namespace {

std::string NameOf(std::thread& thread) {
  char name[32] = {};
  pthread_getname_np(thread.native_handle(), name, sizeof name);
  return name;
}

// The kernel keeps 15 bytes of a thread's name and pthread_setname_np
// refuses anything longer outright, so a long name must arrive cut.
TEST(ThreadName, ShortNamesStandAndLongOnesAreCutToWhatTheKernelKeeps) {
  for (const auto& [given, shown] : {std::pair<std::string, std::string>{"kv-relay", "kv-relay"},
                                     {"kv-a-much-longer-thread-name", "kv-a-much-longe"}}) {
    std::promise<void> named;
    std::promise<void> done;
    std::thread thread([&] {
      win::NameCurrentThread(given);
      named.set_value();
      done.get_future().wait();
    });
    named.get_future().wait();
    EXPECT_EQ(NameOf(thread), shown);
    done.set_value();
    thread.join();
  }
}

}  // namespace
