// Paced sender of event datagrams for the load comparison.
//   kvload_send PORT RATE SECONDS     (RATE 0: as fast as it can)
// Prints "sent N cpu SECONDS" (its own user + system CPU).
#include <cstdio>
#include <cstdlib>

#include "cpu_seconds.h"
#include "pacer.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kvload_send PORT RATE SECONDS\n");
    return 2;
  }
  const unsigned long long sent =
      kvload::SendPaced(static_cast<std::uint16_t>(std::atoi(argv[1])), std::atof(argv[2]), std::atof(argv[3]));
  std::printf("sent %llu cpu %.3f\n", sent, kvload::CpuSeconds());
  return 0;
}
