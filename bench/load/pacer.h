// Paced sending of event datagrams to 127.0.0.1 for the load benchmarks.
#pragma once

#include <cstdint>

namespace kvload {

// Sends datagrams of the event format (about 90 bytes, each with its
// sequence number from 1) to 127.0.0.1 `port` at `rate` per second (0: as
// fast as it can) for `seconds`, in batches of at most 64 per sendmmsg.
// Returns how many were sent.
unsigned long long SendPaced(std::uint16_t port, double rate, double seconds);

}  // namespace kvload
