#include "sim/pacer.h"

#include <algorithm>

namespace sim {

std::int64_t ByteTimeNs(int baud) {
  constexpr std::int64_t kBitsPerByte = 10;
  constexpr std::int64_t kNsPerSecond = 1'000'000'000;
  if (baud <= 0) return 0;  // a line without a speed does not pace
  return (kBitsPerByte * kNsPerSecond + baud - 1) / baud;
}

std::int64_t LinePacer::Next(std::int64_t now_ns, int baud) {
  free_at_ns_ = std::max(now_ns, free_at_ns_) + ByteTimeNs(baud);
  return free_at_ns_;
}

}  // namespace sim
