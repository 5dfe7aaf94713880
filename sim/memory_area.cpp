#include "sim/memory_area.h"

#include <algorithm>

namespace sim {

namespace {
constexpr std::uint8_t kErased = 0xFF;
}

MemoryArea::MemoryArea(std::uint32_t first, std::uint32_t size)
    : first_(first), bytes_(size, kErased) {}

void MemoryArea::Erase() {
  std::fill(bytes_.begin(), bytes_.end(), kErased);
  ++erase_count_;
}

bool MemoryArea::Contains(std::uint32_t address, std::size_t count) const {
  if (address < first_) return false;
  const std::uint64_t offset = address - first_;
  return offset + count <= bytes_.size();
}

void MemoryArea::Write(std::uint32_t address, const std::vector<std::uint8_t>& data) {
  for (std::size_t k = 0; k < data.size(); ++k) {
    if (Contains(address + static_cast<std::uint32_t>(k), 1))
      bytes_[address - first_ + k] = data[k];
  }
}

void MemoryArea::Program(std::uint32_t address, const std::vector<std::uint8_t>& data) {
  for (std::size_t k = 0; k < data.size(); ++k) {
    if (Contains(address + static_cast<std::uint32_t>(k), 1))
      bytes_[address - first_ + k] &= data[k];
  }
}

std::uint8_t MemoryArea::At(std::uint32_t address) const {
  return Contains(address, 1) ? bytes_[address - first_] : kErased;
}

std::vector<std::uint8_t> MemoryArea::Read(std::uint32_t address, std::size_t count) const {
  std::vector<std::uint8_t> out(count);
  for (std::size_t k = 0; k < count; ++k)
    out[k] = At(address + static_cast<std::uint32_t>(k));
  return out;
}

std::uint16_t MemoryArea::Sum16() const {
  return static_cast<std::uint16_t>(Sum32() & 0xFFFF);
}

std::uint32_t MemoryArea::Sum32() const {
  std::uint32_t sum = 0;
  for (std::uint8_t b : bytes_)
    sum += b;
  return sum;
}

std::vector<Segment> MemoryArea::Segments() const {
  std::vector<Segment> segments;
  for (std::size_t at = 0; at < bytes_.size();) {
    if (bytes_[at] == kErased) {
      ++at;
      continue;
    }
    Segment segment;
    segment.address = first_ + static_cast<std::uint32_t>(at);
    while (at < bytes_.size() && bytes_[at] != kErased)
      segment.bytes.push_back(bytes_[at++]);
    segments.push_back(std::move(segment));
  }
  return segments;
}

}  // namespace sim
