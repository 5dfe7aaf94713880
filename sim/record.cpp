#include "sim/record.h"

#include "hex/hex.h"

namespace sim {

namespace {

bool IsUpperHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

}  // namespace

bool ParseHexBytes(std::string_view text, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  if (text.size() % 2 != 0) return false;
  bytes.reserve(text.size() / 2);
  for (std::size_t at = 0; at < text.size(); at += 2) {
    if (!IsUpperHexDigit(text[at]) || !IsUpperHexDigit(text[at + 1])) return false;
    bytes.push_back(static_cast<std::uint8_t>(HexValue(text[at]) * 16 + HexValue(text[at + 1])));
  }
  return true;
}

bool ParseRecordLine(std::string_view line, Record& record) {
  // Count, address (2), type and checksum: the five bytes every record has.
  constexpr std::size_t kFixedBytes = 5;
  if (line.empty() || line[0] != ':') return false;
  std::vector<std::uint8_t> bytes;
  if (!ParseHexBytes(line.substr(1), bytes)) return false;
  if (bytes.size() < kFixedBytes || bytes.size() != kFixedBytes + bytes[0]) return false;
  if (ByteSum(bytes) != 0) return false;
  record.address = static_cast<std::uint16_t>(bytes[1] * 256 + bytes[2]);
  record.type = bytes[3];
  record.data.assign(bytes.begin() + 4, bytes.end() - 1);
  return true;
}

std::string BytesToHex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes)
    text += ByteToHex(b);
  return text;
}

std::uint8_t ByteSum(const std::vector<std::uint8_t>& bytes) {
  unsigned sum = 0;
  for (std::uint8_t b : bytes)
    sum += b;
  return static_cast<std::uint8_t>(sum & 0xFF);
}

}  // namespace sim
