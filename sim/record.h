#pragma once

// The unit's reading of record lines and hex digit text. Unlike the updater,
// which reads any character as a digit, the unit checks everything: a line
// that is not exactly a record with a correct checksum is a transmission
// error, answered with a repeat request.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct Record {
  std::uint8_t type = 0;
  std::uint16_t address = 0;
  std::vector<std::uint8_t> data;
};

// Upper-case digit pairs only ("0"-"9", "A"-"F"); false for an odd length or
// any other character.
bool ParseHexBytes(std::string_view text, std::vector<std::uint8_t>& bytes);

// ":" count address type data checksum, nothing before or after, upper-case
// digits, the count matching the length and the checksum making the bytes sum
// to 0 modulo 256.
bool ParseRecordLine(std::string_view line, Record& record);

std::string BytesToHex(const std::vector<std::uint8_t>& bytes);

std::uint8_t ByteSum(const std::vector<std::uint8_t>& bytes);

}  // namespace sim
