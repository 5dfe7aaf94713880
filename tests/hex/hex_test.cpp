// Known-answer vectors for the record helpers and the image checksum. The
// record examples are the worked examples the unit's record syntax is
// defined by; the realworld sums were computed independently of this code.
#include "hex/hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

TEST(HexText, WritesUpperCaseDigitsWithLeadingZeros) {
  EXPECT_EQ(ByteToHex(0x00), "00");
  EXPECT_EQ(ByteToHex(0xAB), "AB");
  EXPECT_EQ(WordToHex(0x0C0F), "0C0F");
  EXPECT_EQ(WordToHex(0xFFFF), "FFFF");
  EXPECT_EQ(LongToHex(0x0000ABCD), "0000ABCD");
  EXPECT_EQ(LongToHex(0xDEADBEEF), "DEADBEEF");
  EXPECT_EQ(HexDigit(0), '0');
  EXPECT_EQ(HexDigit(9), '9');
  EXPECT_EQ(HexDigit(10), 'A');
  EXPECT_EQ(HexDigit(15), 'F');
  EXPECT_EQ(HexDigit(0x1B), 'B');  // value mod 16
}

TEST(HexText, ReadsOnlyUpperCaseDigitsEverythingElseIsZero) {
  EXPECT_EQ(HexValue('0'), 0);
  EXPECT_EQ(HexValue('9'), 9);
  EXPECT_EQ(HexValue('A'), 10);
  EXPECT_EQ(HexValue('F'), 15);
  for (char c : std::string("abcdefGZ :\r\n\x7f"))
    EXPECT_EQ(HexValue(c), 0) << int(c);
  EXPECT_EQ(HexValue('\x80'), 0);
  EXPECT_EQ(HexValue('\xFF'), 0);
}

TEST(HexText, HexToWordReadsFourCharactersAndPadsShortTextWithZeroDigits) {
  EXPECT_EQ(HexToWord("1A2B"), 0x1A2B);
  EXPECT_EQ(HexToWord("1A2B99."), 0x1A2B);  // characters after the fourth ignored
  EXPECT_EQ(HexToWord("1a2b"), 0x1020);
  EXPECT_EQ(HexToWord("12"), 0x1200);  // missing digits count as "0" in their place
  EXPECT_EQ(HexToWord("F"), 0xF000);
  EXPECT_EQ(HexToWord(""), 0x0000);
}

struct MakeCase {
  std::uint8_t type;
  std::uint16_t address;
  std::string data;
  std::string line;
};

TEST(MakeHexRecord, BuildsTheWorkedExamples) {
  const MakeCase cases[] = {
      {0x01, 0x0000, "", ":00000001FF"},
      {0x0C, 0x0000, "1234", ":0200000C1234AC"},
      {0x00, 0x0010, "0102", ":020010000102EB"},
      {0x00, 0x0000, "", ":0000000000"},  // empty data: 11 characters, count 00
  };
  for (const auto& c : cases)
    EXPECT_EQ(MakeHexRecord(c.type, c.address, c.data), c.line);
}

TEST(MakeHexRecord, CopiesLowerCaseDataButCountsItAsZero) {
  // "ab" is copied as given but sums as 0x00: 02+00+00+0C+00+12 = 0x20.
  EXPECT_EQ(MakeHexRecord(0x0C, 0x0000, "ab12"), ":0200000Cab12E0");
}

TEST(MakeHexRecord, OddDataIsCopiedWholeAndOnlyCompletePairsAreSummed) {
  // n = 1; pairs 01 00 00 0C 12 sum to 0x1F; the lone "3" is not summed.
  EXPECT_EQ(MakeHexRecord(0x0C, 0x0000, "123"), ":0100000C123E1");
}

TEST(MakeHexRecord, StaysInBoundsForOverlongData) {
  const std::string data(600, 'F');
  const std::string line = MakeHexRecord(0x00, 0x0000, data);
  EXPECT_EQ(line.size(), data.size() + 11);
}

TEST(ParseHexRecord, SplitsTheFieldsAndIgnoresTheChecksum) {
  HexRecord r;
  ASSERT_TRUE(ParseHexRecord(":03123400AABBCC00", r));
  EXPECT_EQ(r.count, 3);
  EXPECT_EQ(r.address, 0x1234);
  EXPECT_EQ(r.type, 0x00);
  EXPECT_EQ(r.data, (std::vector<std::uint8_t>{0xAA, 0xBB, 0xCC}));
  ASSERT_TRUE(ParseHexRecord(":02000000ab1a", r));  // no checksum characters at all
  EXPECT_EQ(r.data, (std::vector<std::uint8_t>{0x00, 0x10}));
}

TEST(ParseHexRecord, RefusesLinesTooShortForTheirFields) {
  HexRecord r;
  EXPECT_FALSE(ParseHexRecord(":0000000", r));     // 8 characters
  EXPECT_FALSE(ParseHexRecord(":02000000AA", r));  // needs 13 characters
  EXPECT_FALSE(ParseHexRecord(":FF000000", r));    // 255 bytes announced, none given
  EXPECT_TRUE(ParseHexRecord(":00000001", r));     // exactly 9 is enough for n = 0
}

struct SumCase {
  const char* what;
  Lines lines;
  std::uint16_t first;
  std::uint16_t last;
  std::uint16_t sum;
};

TEST(HexFileChecksum, EdgeCases) {
  const SumCase cases[] = {
      {"no data, bank 0 range", {":00000001FF"}, 0x0000, 0x7FFF, 0x8000},
      {"no data, upper bank range", {}, 0x8000, 0xFFFF, 0x8000},
      {"no data, boot range", {}, 0x4000, 0x5FFF, 0xE000},
      {"no data, whole image", {}, 0x0000, 0xFFFF, 0x0000},
      {"one byte", {":0140000001BE"}, 0x4000, 0x4000, 0x01},
      {"last below first", {":0140000001BE"}, 0x4001, 0x4000, 0x0000},
      {"data after end of file is ignored",
       {":0140000001BE", ":00000001FF", ":0140000005BA"},
       0x4000,
       0x4000,
       0x01},
      {"extended address records do not move data",
       {":020000021000EC", ":020000040001F9", ":0140000007B8"},
       0x4000,
       0x4000,
       0x07},
      {"wrong or missing record checksums count",
       {":0140000002FF", ":0140010003"},
       0x4000,
       0x4001,
       0x05},
      {"lower case pairs read as zero digits",
       {":0240000012ab00", ":024002001a1a00"},
       0x4000,
       0x4003,
       0x12 + 0x00 + 0x10 + 0x10},
      {"leading blanks: not a record", {" :0140000001BE"}, 0x4000, 0x4000, 0xFF},
      {"characters after the checksum ignored", {":0140000001BEjunk"}, 0x4000, 0x4000, 0x01},
      {"later line wins", {":0140000001BE", ":0140000009B6"}, 0x4000, 0x4000, 0x09},
      {"short record skipped", {":0240000001", ":0140010003BB"}, 0x4000, 0x4001, 0xFF + 0x03},
      {"bytes past 0xFFFF dropped, not wrapped", {":04FFFE0011223344"}, 0x0000, 0x0001, 0x01FE},
      {"bytes past 0xFFFF: the ones in range still land",
       {":04FFFE0011223344"},
       0xFFFE,
       0xFFFF,
       0x11 + 0x22},
      {"empty lines and text lines skipped", {"", "hello", ":0140000001BE"}, 0x4000, 0x4000, 0x01},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HexFileChecksum(c.lines, c.first, c.last), c.sum) << c.what;
  }
}

}  // namespace
