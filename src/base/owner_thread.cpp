#include "base/owner_thread.h"

#include <cstdio>
#include <cstdlib>

namespace kv {

void OwnerThread::Fail() const {
  std::fprintf(stderr, "%s used from a thread that does not own it\n", what_);
  std::fflush(stderr);
  std::abort();
}

}  // namespace kv
