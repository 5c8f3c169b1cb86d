// The user + system CPU this process has used, in seconds.
#pragma once

#include <sys/resource.h>

namespace kvload {

inline double CpuSeconds() {
  rusage used{};
  ::getrusage(RUSAGE_SELF, &used);
  return static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
         static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
}

}  // namespace kvload
