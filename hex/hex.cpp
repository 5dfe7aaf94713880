#include "hex/hex.h"

#include <array>

namespace {

constexpr std::size_t kImageSize = 0x10000;

// Characters of the fixed fields: ':' count(2) address(4) type(2).
constexpr std::size_t kHeaderLength = 9;

int PairValue(std::string_view text, std::size_t at) {
  return HexValue(text[at]) * 16 + HexValue(text[at + 1]);
}

std::string ToHex(std::uint32_t value, int digits) {
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i) {
    text[static_cast<std::size_t>(i)] = HexDigit(static_cast<int>(value & 0xF));
    value >>= 4;
  }
  return text;
}

}  // namespace

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

char HexDigit(int value) {
  const int r = ((value % 16) + 16) % 16;
  return static_cast<char>(r < 10 ? '0' + r : 'A' + (r - 10));
}

std::string ByteToHex(std::uint8_t value) {
  return ToHex(value, 2);
}
std::string WordToHex(std::uint16_t value) {
  return ToHex(value, 4);
}
std::string LongToHex(std::uint32_t value) {
  return ToHex(value, 8);
}

std::uint16_t HexToWord(std::string_view text) {
  unsigned value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value = value * 16 + static_cast<unsigned>(i < text.size() ? HexValue(text[i]) : 0);
  }
  return static_cast<std::uint16_t>(value);
}

bool ParseHexRecord(std::string_view line, HexRecord& record) {
  if (line.size() < kHeaderLength) return false;
  const auto count = static_cast<std::size_t>(PairValue(line, 1));
  if (line.size() < kHeaderLength + 2 * count) return false;
  record.count = static_cast<std::uint8_t>(count);
  record.address = static_cast<std::uint16_t>(PairValue(line, 3) * 256 + PairValue(line, 5));
  record.type = static_cast<std::uint8_t>(PairValue(line, 7));
  record.data.resize(count);
  for (std::size_t k = 0; k < count; ++k) {
    record.data[k] = static_cast<std::uint8_t>(PairValue(line, kHeaderLength + 2 * k));
  }
  return true;
}

std::uint16_t HexFileChecksum(const std::vector<std::string>& lines, std::uint16_t first,
                              std::uint16_t last) {
  std::array<std::uint8_t, kImageSize> image;
  image.fill(0xFF);
  HexRecord record;
  for (const std::string& line : lines) {
    if (line.empty() || line[0] != ':') continue;
    if (!ParseHexRecord(line, record)) continue;
    if (record.type == kHexRecordEndOfFile) break;
    if (record.type != kHexRecordData) continue;
    for (std::size_t k = 0; k < record.data.size(); ++k) {
      const std::size_t address = record.address + k;
      // Bytes past 0xFFFF are dropped rather than wrapped onto low addresses.
      if (address >= kImageSize) break;
      image[address] = record.data[k];
    }
  }
  std::uint16_t sum = 0;
  for (std::uint32_t a = first; a <= last && first <= last; ++a) {
    sum = static_cast<std::uint16_t>(sum + image[a]);
  }
  return sum;
}

std::string MakeHexRecord(std::uint8_t type, std::uint16_t address, std::string_view data) {
  const std::size_t n = data.size() / 2;
  std::string line;
  line.reserve(data.size() + 11);
  line += ':';
  line += HexDigit(static_cast<int>(n / 16));
  line += HexDigit(static_cast<int>(n % 16));
  line += WordToHex(address);
  line += ByteToHex(type);
  line += data;
  // Only whole pairs are summed: an odd data text's last digit has no
  // partner, and the checksum position is not written yet.
  unsigned sum = 0;
  for (std::size_t at = 1; at + 1 < kHeaderLength + 2 * n + 1 && at + 1 < line.size(); at += 2) {
    sum = (sum + static_cast<unsigned>(PairValue(line, at))) % 256;
  }
  line += ByteToHex(static_cast<std::uint8_t>((256 - sum) % 256));
  return line;
}
