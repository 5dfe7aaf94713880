#pragma once

// An image file read as the unit will take it, line by line, before anything
// is erased. The updater sends each line as it stands and the unit answers
// "R" to a line it cannot read, so a line the unit would refuse costs an
// erased area; data the instruction's sum leaves out costs the same, or is
// reported as stored without being there. Knows nothing of files or
// handlers: it judges text.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hex/hex.h"

// The longest record line: ":" count address type, 255 data bytes, checksum.
inline constexpr std::size_t kMaxHexLineLength = 11 + 2 * 255;
// No image of a 64 KiB memory comes near this; anything larger is not one.
inline constexpr std::uint64_t kMaxHexFileBytes = 1 << 20;
// Enough to list what is wrong with any file; more would only cost memory.
inline constexpr std::size_t kMaxFileFindings = 1000;

// One problem or warning at a line of a file (lines counted from 1).
struct LineFinding {
  std::int32_t line = 0;
  bool warning = false;
  std::string reason;

  bool operator==(const LineFinding&) const = default;
};

// The part of the 64 KiB image that the instruction's sum covers.
struct HexArea {
  std::uint16_t first = 0;
  std::uint16_t last = 0xFFFF;
  std::string name;  // "bank 1", "the boot"
};

// Why the unit's record reader would refuse this one line, or empty when it
// reads it. On success the fields are in `record`. An empty line is not a
// record: the caller decides about it.
std::string CheckRecordSyntax(std::string_view line, HexRecord& record);

// Describes one character for a message: 'x', a blank, a NUL byte, byte 0xHH.
std::string DescribeChar(char c);

// Every problem and warning of a whole file whose lines are in `lines`.
std::vector<LineFinding> CheckHexFile(const std::vector<std::string>& lines, const HexArea& area);
