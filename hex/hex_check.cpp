#include "hex/hex_check.h"

#include <algorithm>
#include <vector>

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::uint8_t kSegmentAddress = 0x02;
constexpr std::uint8_t kLinearAddress = 0x04;
constexpr std::uint8_t kLastKnownType = 0x05;

bool IsUpperHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

std::string Span(std::uint32_t from, std::uint32_t to) {
  return WordToHex(static_cast<std::uint16_t>(from)) + "-" +
         WordToHex(static_cast<std::uint16_t>(to));
}

// Why this character cannot stand where a digit must: lower case is named
// apart, since the image sum reads it as 0 and the sum sent would lie.
std::string BadDigit(char c, std::size_t at) {
  const std::string where = " at character " + std::to_string(at + 1);
  if (c >= 'a' && c <= 'f') return "lower-case digit " + DescribeChar(c) + where;
  return DescribeChar(c) + where + " is not a hex digit";
}

}  // namespace

std::string DescribeChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (c == '\0') return "a NUL byte";
  if (c == ' ' || c == '\t') return "a blank";
  if (byte < 32 || byte >= 127) return "byte " + ByteToHex(byte);
  return std::string("'") + c + "'";
}

std::string CheckRecordSyntax(std::string_view line, HexRecord& record) {
  if (line.size() > kMaxHexLineLength)
    return "line has " + std::to_string(line.size()) + " characters, more than a record can (" +
           std::to_string(kMaxHexLineLength) + ")";
  if (line.front() != ':') return "line does not begin with ':' but with " + DescribeChar(line[0]);
  // With a readable count, the record's length is known and anything past
  // its checksum is named as such.
  std::size_t expected = std::string_view::npos;
  if (line.size() >= 3 && IsUpperHex(line[1]) && IsUpperHex(line[2]))
    expected = 11 + 2 * static_cast<std::size_t>(HexValue(line[1]) * 16 + HexValue(line[2]));
  for (std::size_t at = 1; at < line.size(); ++at) {
    if (IsUpperHex(line[at])) continue;
    if (at < expected) return BadDigit(line[at], at);
    return DescribeChar(line[at]) + " after the checksum, at character " + std::to_string(at + 1);
  }
  if (line.size() < 11)
    return "record is cut short: " + std::to_string(line.size()) +
           " characters, a record has at least 11";
  if (line.size() != expected)
    return "byte count " + std::string(line.substr(1, 2)) + " needs " + std::to_string(expected) +
           " characters, the line has " + std::to_string(line.size());
  if (!ParseHexRecord(line, record)) return "record is cut short";
  unsigned sum = 0;
  for (std::size_t at = 1; at + 2 < line.size(); at += 2)
    sum += static_cast<unsigned>(HexValue(line[at]) * 16 + HexValue(line[at + 1]));
  const auto need = static_cast<std::uint8_t>((256 - sum % 256) % 256);
  const std::string given(line.substr(line.size() - 2));
  if (given != ByteToHex(need))
    return "record checksum is " + given + ", the bytes need " + ByteToHex(need);
  return {};
}

std::vector<LineFinding> CheckHexFile(const std::vector<std::string>& lines, const HexArea& area) {
  std::vector<LineFinding> findings;
  // What the unit will hold, byte by byte, to see an address given twice.
  std::vector<std::int16_t> image(0x10000, -1);
  bool ended = false;
  bool warnedAfterEnd = false;
  bool anyData = false;
  HexRecord record;
  bool refused = false;
  // Past the cap only a first problem is still worth a line: warnings alone
  // must not hide one further down.
  for (std::size_t i = 0; i < lines.size() && (!refused || findings.size() < kMaxFileFindings);
       ++i) {
    const std::string_view line = lines[i];
    const auto number = static_cast<std::int32_t>(i + 1);
    auto problem = [&](std::string reason) {
      if (!refused || findings.size() < kMaxFileFindings)
        findings.push_back({number, false, std::move(reason)});
      refused = true;
    };
    auto warn = [&](std::string reason) {
      if (findings.size() < kMaxFileFindings) findings.push_back({number, true, std::move(reason)});
    };
    if (line.empty()) continue;  // the unit acknowledges a blank line and stores nothing
    if (i == 0 && line.starts_with(kByteOrderMark)) {
      problem("the file begins with a UTF-8 byte order mark");
      continue;
    }
    if (std::string reason = CheckRecordSyntax(line, record); !reason.empty()) {
      problem(std::move(reason));
      continue;
    }
    if (record.type > kLastKnownType) {
      problem("record type " + ByteToHex(record.type) + " is not one the unit stores (00 to 05)");
      continue;
    }
    if (record.type == kSegmentAddress || record.type == kLinearAddress) {
      bool zero = true;
      for (std::uint8_t b : record.data)
        zero = zero && b == 0;
      // Data lands at its 16-bit address alone, so a file that moves it
      // elsewhere was made for another memory.
      if (!zero)
        problem(std::string(record.type == kSegmentAddress ? "segment" : "linear") +
                " address record moves the data (the unit places it at the 16-bit address "
                "alone): the file was made for another memory");
      continue;
    }
    if (record.type == kHexRecordEndOfFile) {
      ended = true;
      continue;
    }
    if (record.type != kHexRecordData) continue;
    if (record.count == 0) {
      // It stores nothing, yet before the end record the unit still tests
      // where it points.
      if (!ended && (record.address < area.first || record.address > area.last + 1u))
        problem("empty data record at " + WordToHex(record.address) + " lies outside " + area.name +
                " (" + Span(area.first, area.last) + ")");
      continue;
    }
    if (ended) {
      if (!warnedAfterEnd) warn("data after the end record: sent, but neither stored nor summed");
      warnedAfterEnd = true;
      continue;
    }
    const std::uint32_t from = record.address;
    const std::uint32_t to = from + record.count - 1;
    if (to > 0xFFFF) {
      problem("data at " + WordToHex(record.address) + " runs past FFFF");
      continue;
    }
    const std::string areaText = " " + area.name + " (" + Span(area.first, area.last) + ")";
    if (to < area.first || from > area.last) {
      problem("data at " + WordToHex(record.address) + " lies outside" + areaText);
      continue;
    }
    if (from < area.first || to > area.last) {
      problem("data at " + Span(from, to) + " lies partly outside" + areaText);
      continue;
    }
    anyData = true;
    bool twice = false;
    for (std::uint32_t a = from; a <= to; ++a) {
      const std::uint8_t value = record.data[a - from];
      if (image[a] >= 0 && image[a] != value && !twice) {
        warn("address " + WordToHex(static_cast<std::uint16_t>(a)) +
             " given two different values (the later, " + ByteToHex(value) + ", counts)");
        twice = true;
      }
      image[a] = value;
    }
  }
  if (!anyData && !lines.empty() && !refused)
    findings.push_back({1, true, "no data record: " + area.name + " is left erased"});
  return findings;
}
