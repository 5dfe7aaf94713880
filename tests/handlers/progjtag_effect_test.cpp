// Known answers for the Effect file interpreter: the worked examples of the
// unit's record forms, every refusal, and the fields the PROM dialogue reads
// after a shift. Record checksums were worked out by hand from the Intel HEX
// rule, not by the code under test.
#include "handlers/progjtag_effect.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "hex/hex.h"
#include "platform/files.h"

void PrintTo(const TEffectFields& f, std::ostream* os) {
  *os << "{BitLength " << f.BitLength << ", ShiftType " << int(f.ShiftType) << ", Tdi \""
      << f.TdiText << "\", Tdo \"" << f.TdoText << "\", Mask \"" << f.MaskText << "\", Smask \""
      << f.SmaskText << "\", DataPending " << f.DataPending << "}";
}

namespace {

const std::string kError(kEffectLineError);

struct Case {
  std::string line;
  std::string result;
  std::optional<TEffectFields> fields = std::nullopt;  // checked whole when given
};

void Check(const Case& c) {
  TEffectFields fields;
  fields.TdoText = "stale";  // every call starts from cleared fields
  EXPECT_EQ(ParseEffectLine(c.line, fields), c.result) << testing::PrintToString(c.line);
  if (c.fields) {
    EXPECT_EQ(fields, *c.fields) << testing::PrintToString(c.line);
  }
}

TEST(ParseEffectLine, WorkedExamples) {
  const Case cases[] = {
      {"STATE RESET IDLE;", ":020000050001F8", TEffectFields{}},
      {"ENDIR IRPAUSE;", ":010000060DEC", TEffectFields{}},
      {"ENDDR IDLE;", ":0100000701F7", TEffectFields{}},
      {"RUNTEST 1000 TCK;", ":04000004000003E80D", TEffectFields{}},
      {"SIR 8 TDI (FE);", ":01000862FE97", TEffectFields{8, 0x62, "FE", "", "", "", false}},
      {"SIR 8 TDI (FE) TDO (01) MASK (03);", ":01000872FE87",
       TEffectFields{8, 0x72, "FE", "01", "03", "", false}},
      {"SDR 32 TDI (FFFFFFFF);", ":010020E3FFFD", TEffectFields{32, 0xE3, "FFFFFFFF", "", "", ""}},
      {"SDR 32 TDI (12345678);", ":010020630A72",
       TEffectFields{32, 0x63, "7856341214", "", "", "", true}},
      {"SDR 32 TDI (00000000) TDO (12345678) MASK (FFFFFFFF);", ":010020F300EC",
       TEffectFields{32, 0xF3, "00000000", "78563412", "FFFFFFFF", "", false}},
      {"// any text", "", TEffectFields{}},
      {"TRST OFF;", "", TEffectFields{}},
  };
  for (const auto& c : cases)
    Check(c);
}

TEST(ParseEffectLine, DispatchBlanksAndComments) {
  const Case cases[] = {
      {"", kError},
      {"   ", kError},
      {"\t\r", kError},
      {"! an SVF comment", kError},
      {"   // slashes after blanks", ""},
      {"\t STATE\tRESET\x01;", ":0100000500FA"},  // tabs and control characters are blanks
      {"sir 8 tdi (fe);", kError},                // keywords are upper case only
      {"TRSTanything at all", ""},
      {"HIR 0 ;", kError},
      {"HDR 0 ;", kError},
      {"TIR 0 ;", kError},
      {"TDR 0 ;", kError},
      {"FREQUENCY 1E6 HZ;", kError},
      {"ENDSTATE IDLE;", kError},
      {"PIO (HLUDXZ);", kError},
      {"\xFF\x80", kError},
      {"STATE RESET; ! whatever follows the semicolon", ":0100000500FA"},
  };
  for (const auto& c : cases)
    Check(c);
}

TEST(ParseEffectLine, EndStates) {
  const Case cases[] = {
      {"ENDIR IDLE;", ":0100000601F8"},
      {"ENDIR RESET;", ":0100000600F9"},
      {"ENDDR DRPAUSE;", ":0100000706F2"},
      {"ENDDR RESET ;", ":0100000700F8"},
      {"ENDDR XXXX;", ":0100000701F7"},  // any four characters count as IDLE
      {"ENDDR DRSHIFT;", kError},
      {"ENDIR DRPAUSE;", kError},  // each register has its own pause state
      {"ENDDR IRPAUSE;", kError},
      {"ENDIR IRPAUSE", kError},  // unlike a shift, an unterminated end state is refused
      {"ENDIR", kError},
      {"ENDDR ID", kError},
  };
  for (const auto& c : cases)
    Check(c);
}

TEST(ParseEffectLine, StatePaths) {
  const Case cases[] = {
      {"STATE IDLE DRPAUSE;", ":020000050106F2"},
      {"STATE IREXIT2 IRUPDATE;", ":020000050E0FDC"},
      {"STATE  IREXIT2 IRUPDATE DRSELECT DRCAPTURE DRSHIFT DREXIT1 DRPAUSE DREXIT2 DRUPDATE "
       "IRSELECT IRCAPTURE IRSHIFT IREXIT1 IRPAUSE RESET IDLE;",
       ":100000050E0F02030405060708090A0B0C0D000173"},
      {"STATE RESETIDLE;", ":020000050001F8"},  // names may be written together
      {"STATE;", ":00000005FB"},
      {"STATE IDLE", ""},  // no ";": nothing, and no error
      {"STATE", ""},
      {"STATE IDLE FOO;", kError},
      {"STATE idle;", kError},
  };
  for (const auto& c : cases)
    Check(c);
}

TEST(ParseEffectLine, RunTest) {
  const Case cases[] = {
      {"RUNTEST 0 TCK;", ":0400000400000000F8"},
      {"RUNTEST +5 TCK ;", ":0400000400000005F3"},
      {"RUNTEST 2147483647 TCK;", ":040000047FFFFFFF7C"},
      {"RUNTEST 2147483648 TCK;", kError},
      {"RUNTEST 99999999999999999999999 TCK;", kError},
      {"RUNTEST -1 TCK;", kError},  // a count below zero has no 4-byte form
      {"RUNTEST 100 SEC;", kError},
      {"RUNTEST IDLE 100 TCK;", kError},
      {"RUNTEST 1.00E+03 TCK;", kError},
      {"RUNTEST 1000 TCK", kError},
      {"RUNTEST 1000 TCK ENDSTATE IDLE;", kError},
      {"RUNTEST 1000;", kError},    // no space after the count: no count
      {"RUNTEST 5\tTCK;", kError},  // a tab does not end the count
      {"RUNTEST - TCK;", kError},
      {"RUNTEST", kError},
  };
  for (const auto& c : cases)
    Check(c);
}

TEST(ParseEffectLine, ShiftVariantsAndLengths) {
  const std::string zeros512(128, '0');
  const Case cases[] = {
      {"SIRS 8 TDI (FE);", ":01000822FED7"},
      {"SIRC 8 TDI (FE);", ":01000802FEF7"},
      {"SIRE 8 TDI (FE);", ":01000842FEB7"},
      {"SIR\t8 TDI (FE);", ":01000862FE97"},  // any other character is the plain form
      {"SIR8 TDI (FE);", kError},             // "8" is taken as the variant
      {"SIR 8 TDI (fe);", ":01000862FE97"},
      {"SIR 8 TDI(FE);", ":01000862FE97"},
      {"SIR 8 TDI (FE)", ""},
      {"SIR 8 TDI (FE", ""},
      {"SIR 8 TDI (FE);// TDO (01) MASK (e3) ;", ":01000862FE97"},
      {"SIR 0 ;", ":000000629E", TEffectFields{0, 0x62, "", "", "", "", false}},
      {"SDR 512 TDI (" + zeros512 + ");", ":010200E3001A"},
      {"SDR 513 TDI (" + zeros512 + ");", kError},
      {"SIR -8 TDI (FE);", kError},
      {"SIR 8;", kError},
      {"SIR", kError},
      {"SDR 8 TDI (FE) XYZ;", kError},
      {"SDR 8 tdi (FE);", kError},
  };
  for (const auto& c : cases)
    Check(c);
}

TEST(ParseEffectLine, VectorsNeedWholeBytesOfHexDigits) {
  const Case cases[] = {
      {"SDR 4 TDI (F);", kError},
      {"SIR 12 TDI (FEF);", kError},
      {"SIR 8 TDI ( FE);", kError},
      {"SIR 8 TDI (F E);", kError},
      {"SIR 8 TDI (FG);", kError},
      {"SIR 8 TDI (FE) TDO (0x);", kError},
      {"SIR 8 TDI (FE) MASK (0);", kError},
      {"SIR 8 TDI (FE) SMASK (-1);", kError},
      {"SDR 8 TDI [FE]);", kError},        // the bracket is dropped, "FE]" is not hex
      {"SDR 8 TDI [FE];", ""},             // no ")": the vector swallows the ";"
      {"SDR 32 TDO (12345678);", kError},  // an SDR without TDI has nothing to shift
      {"SDR 0 TDI ();", kError},
      {"SIR 8 TDO (01);", ":0000087286"},  // an SIR may send no TDI bytes
  };
  for (const auto& c : cases)
    Check(c);
}

TEST(ParseEffectLine, CompressionDataBlocksAndMasks) {
  const Case cases[] = {
      {"SDR 16 TDI (0000);", ":010010E3000C", TEffectFields{16, 0xE3, "0000", "", "", "", false}},
      {"SDR 16 TDI (00FF);", ":010010630686", TEffectFields{16, 0x63, "FF00FF", "", "", "", true}},
      // TDI FF masked to 0F is no longer uniform: data block 0F plus sum 0F.
      {"SDR 8 TDI (FF) SMASK (0F);", ":010008630490",
       TEffectFields{8, 0x63, "0F0F", "", "", "0F", true}},
      // A SMASK of another length leaves TDI alone.
      {"SDR 16 TDI (1234) SMASK (0F);", ":010010630686",
       TEffectFields{16, 0x63, "341246", "", "", "0F", true}},
      // The second TDI replaces the first.
      {"SDR 8 TDI (11) TDI (22);", ":010008E322F2", TEffectFields{8, 0xE3, "22", "", "", ""}},
      {"SDRS 8 TDI (12) TDO (34);", ":0100083304C0",
       TEffectFields{8, 0x33, "1212", "34", "", "", true}},
      {"SDRC 8 TDI (00);", ":010008830074"},
  };
  for (const auto& c : cases)
    Check(c);
}

TEST(ParseEffectLine, RefusesWhatARecordCannotCarry) {
  std::string sir510;
  for (int i = 0; i < 255; ++i)
    sir510 += "A5";
  const std::string block252(sir510.substr(0, 252));  // plus 2 sum digits: 254
  const std::string block254(sir510.substr(0, 254));  // plus 2 sum digits: 256
  std::string path255, path256;
  for (int i = 0; i < 255; ++i)
    path255 += "IDLE ";
  path256 = path255 + "IDLE ";

  TEffectFields f;
  EXPECT_EQ(ParseEffectLine("SIR 8 TDI (" + sir510 + ");", f).size(), 11u + 510u);
  EXPECT_EQ(ParseEffectLine("SIR 8 TDI (" + sir510 + "00);", f), kError);
  EXPECT_EQ(ParseEffectLine("SDR 8 TDI (" + block252 + ");", f), ":01000863FE96");
  EXPECT_EQ(f.TdiText.size(), 254u);
  EXPECT_TRUE(f.DataPending);
  EXPECT_EQ(ParseEffectLine("SDR 8 TDI (" + block254 + ");", f), kError);
  EXPECT_EQ(ParseEffectLine("STATE " + path255 + ";", f).size(), 11u + 510u);
  EXPECT_EQ(ParseEffectLine("STATE " + path256 + ";", f), kError);
}

TEST(ParseEffectLine, RepeatsTheSameRecordAndFieldsAndClearsThemAfterOtherStatements) {
  const std::string line = "SDR 32 TDI (12345678) TDO (0000FFFF) MASK (00FF00FF);";
  TEffectFields first;
  const std::string record = ParseEffectLine(line, first);
  first.DataPending = false;  // as the dialogue does once the block is sent
  TEffectFields again = first;
  EXPECT_EQ(ParseEffectLine(line, again), record);
  EXPECT_TRUE(again.DataPending);
  EXPECT_EQ(again.TdiText, "7856341214");

  EXPECT_EQ(ParseEffectLine("ENDDR IDLE;", again), ":0100000701F7");
  EXPECT_EQ(again, TEffectFields{});
}

TEST(HexTextHelpers, ReverseHexBytes) {
  EXPECT_EQ(ReverseHexBytes("0123456789ABCDEF"), "EFCDAB8967452301");
  EXPECT_EQ(ReverseHexBytes(""), "");
  EXPECT_EQ(ReverseHexBytes("AB"), "AB");
  EXPECT_EQ(ReverseHexBytes("ABC"), "CAB");  // stays in bounds on odd text
}

TEST(HexTextHelpers, AndHexMask) {
  std::string value = "05";
  AndHexMask("03", value);
  EXPECT_EQ(value, "01");
  value = "F0F0";
  AndHexMask("0FF", value);  // lengths differ: unchanged
  EXPECT_EQ(value, "F0F0");
  value = "fF";
  AndHexMask("FF", value);  // a lower-case digit reads as 0
  EXPECT_EQ(value, "0F");
}

TEST(HexTextHelpers, IsUniformHex) {
  char c = 'x';
  EXPECT_TRUE(IsUniformHex("0000", c));
  EXPECT_EQ(c, '0');
  EXPECT_TRUE(IsUniformHex("FF", c));
  EXPECT_EQ(c, 'F');
  c = 'x';
  EXPECT_FALSE(IsUniformHex("F", c));
  EXPECT_FALSE(IsUniformHex("", c));
  EXPECT_FALSE(IsUniformHex("00F0", c));
  EXPECT_EQ(c, 'x');
}

TEST(HexTextHelpers, AppendHexSum) {
  std::string text = "78563412";
  AppendHexSum(text);
  EXPECT_EQ(text, "7856341214");
  text = "";
  AppendHexSum(text);
  EXPECT_EQ(text, "00");
  text = "FFFF";
  AppendHexSum(text);
  EXPECT_EQ(text, "FFFFFE");
  text = "01F";  // the lone digit is not summed
  AppendHexSum(text);
  EXPECT_EQ(text, "01F01");
}

std::string RealworldFolder() {
  return std::string(QSR470_TESTDATA_DIR) + "/realworld/";
}

// A 5163-line file written by a vendor tool. The expected counts come from
// reading the file with text tools, not from this code: 3358 SDR (1730 with
// TDO), 15 SIR (one with TDO), 1732 RUNTEST, 2 STATE, one ENDIR and ENDDR;
// 19 comments and TRST; an empty line 3 and 33 statements outside the
// subset (HIR, HDR, TIR, TDR, FREQUENCY).
TEST(ParseEffectLineRealworld, ToolWrittenFileGivesOneResultPerLine) {
  const std::string path = RealworldFolder() + "xc95144xl_warpse_0.7d_program.svf";
  if (!platform::FileExists(path)) GTEST_SKIP() << "sample files not present: " << path;
  platform::TextLineReader reader;
  ASSERT_TRUE(reader.Open(path));
  std::map<int, int> records;  // by record type without the capture bit
  int captures = 0, empty = 0, errors = 0, lines = 0, firstError = 0;
  std::string line;
  TEffectFields f;
  while (reader.Next(line)) {
    ++lines;
    const std::string result = ParseEffectLine(line, f);
    if (result.empty()) {
      ++empty;
    } else if (result == kError) {
      if (++errors == 1) firstError = lines;
    } else {
      HexRecord r;
      ASSERT_TRUE(ParseHexRecord(result, r)) << line;
      EXPECT_EQ(result.size(), 11u + 2u * r.count) << line;
      if (r.type & kShiftCapture) ++captures;
      ++records[r.type & 0x0F];
    }
  }
  ASSERT_FALSE(reader.Failed());
  EXPECT_EQ(lines, 5163);
  EXPECT_EQ(records, (std::map<int, int>{{2, 15}, {3, 3358}, {4, 1732}, {5, 2}, {6, 1}, {7, 1}}));
  EXPECT_EQ(captures, 1731);
  EXPECT_EQ(empty, 20);
  EXPECT_EQ(errors, 34);
  EXPECT_EQ(firstError, 3);
}

}  // namespace
