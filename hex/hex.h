#pragma once

// Intel HEX record lines, the 16-bit sum of a 64 KiB image, and the hex text
// helpers every handler shares. Stateless: each function depends on its
// arguments alone.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct HexRecord {
  std::uint8_t count = 0;
  std::uint16_t address = 0;
  std::uint8_t type = 0;
  std::vector<std::uint8_t> data;
};

inline constexpr std::uint8_t kHexRecordData = 0x00;
inline constexpr std::uint8_t kHexRecordEndOfFile = 0x01;

// Sum, modulo 65,536, of the image bytes First..Last (both included) after
// reading the records into a 64 KiB image filled with 0xFF. Record checksums
// are not verified; only data and end-of-file records have an effect.
std::uint16_t HexFileChecksum(const std::vector<std::string>& lines, std::uint16_t first,
                              std::uint16_t last);

// Splits a record line into its fields. Returns false, and leaves the line
// unread, when it is too short for the fields it announces.
bool ParseHexRecord(std::string_view line, HexRecord& record);

// Builds ":" count address type data checksum. The data text is copied as
// given; the checksum covers complete digit pairs only.
std::string MakeHexRecord(std::uint8_t type, std::uint16_t address, std::string_view data);

std::string ByteToHex(std::uint8_t value);
std::string WordToHex(std::uint16_t value);
std::string LongToHex(std::uint32_t value);

// Value of the first four characters; a missing character counts as "0" in
// its place.
std::uint16_t HexToWord(std::string_view text);

// Digit for value mod 16, upper case.
char HexDigit(int value);

// "0"-"9" and "A"-"F" read as 0-15; any other character, lower case
// included, reads as 0.
int HexValue(char c);
