#pragma once

// One flash memory of the unit: a window of addresses backed by bytes that an
// erase sets to 0xFF.

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// A run of bytes that differ from the erased value, for the end report.
struct Segment {
  std::uint32_t address = 0;
  std::vector<std::uint8_t> bytes;
};

class MemoryArea {
 public:
  MemoryArea(std::uint32_t first, std::uint32_t size);

  std::uint32_t first() const { return first_; }
  std::uint32_t last() const { return first_ + static_cast<std::uint32_t>(bytes_.size()) - 1; }
  std::uint32_t size() const { return static_cast<std::uint32_t>(bytes_.size()); }

  void Erase();
  bool Contains(std::uint32_t address, std::size_t count) const;
  // The caller checks Contains first; bytes outside the window are not kept.
  void Write(std::uint32_t address, const std::vector<std::uint8_t>& data);
  // Flash programming can only clear bits: the new value is ANDed in.
  void Program(std::uint32_t address, const std::vector<std::uint8_t>& data);
  std::uint8_t At(std::uint32_t address) const;
  std::vector<std::uint8_t> Read(std::uint32_t address, std::size_t count) const;

  std::uint16_t Sum16() const;
  std::uint32_t Sum32() const;
  std::vector<Segment> Segments() const;

  std::uint32_t erase_count() const { return erase_count_; }

 private:
  std::uint32_t first_;
  std::vector<std::uint8_t> bytes_;
  std::uint32_t erase_count_ = 0;
};

}  // namespace sim
