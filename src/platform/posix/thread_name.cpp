#include "platform/thread_name.h"

#include <pthread.h>

#include <algorithm>
#include <string>

namespace win {

void NameCurrentThread(std::string_view name) {
  // pthread_setname_np refuses a name longer than the kernel keeps.
  constexpr std::size_t kKept = 15;
  const std::string kept(name.substr(0, std::min(name.size(), kKept)));
  ::pthread_setname_np(::pthread_self(), kept.c_str());
}

}  // namespace win
