#pragma once

// Wire time of a serial line: 10 bits per byte (start, 8 data, stop), one
// byte after the other.

#include <cstdint>

namespace sim {

std::int64_t ByteTimeNs(int baud);

class LinePacer {
 public:
  // A byte handed to the line at now_ns has crossed it at the returned time:
  // it waits for the bytes before it, then takes its own wire time.
  std::int64_t Next(std::int64_t now_ns, int baud);
  void Reset() { free_at_ns_ = 0; }

 private:
  std::int64_t free_at_ns_ = 0;
};

}  // namespace sim
