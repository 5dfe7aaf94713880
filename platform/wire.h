#pragma once

#include <cstdint>

namespace platform {

// How long `bytes` take on a serial line at `baud`, in milliseconds: a start
// bit, 8 data bits and a stop bit each, without gaps. The driver's packet
// timing and the updater's estimates and latencies all count with this.
inline double WireMs(std::uint64_t bytes, std::uint32_t baud) {
  return static_cast<double>(bytes) * 10 * 1000 / baud;
}

}  // namespace platform
