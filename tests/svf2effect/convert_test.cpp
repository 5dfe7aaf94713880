// The converter against real vendor files and against a separate reading of
// the same SVF: what the unit clocks when it plays the converted file must
// be, TCK for TCK, what the SVF asks for.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "handlers/progjtag_effect.h"
#include "tools/svf2effect/svf2effect.h"
#include "trace.h"

namespace {

using svf2effect::Convert;
using svf2effect::Options;
using svf2effect::Result;

const std::string kRealWorld = std::string(QSR470_TESTDATA_DIR) + "/realworld/";

// The vendor files are read where the workplace keeps them; without them the
// tests that need them say so and skip.
class RealFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::ifstream(kRealWorld + "xc9536xl_ispen.svf"))
      GTEST_SKIP() << "sample files not present in " << kRealWorld;
  }
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Result ConvertText(const std::string& svf, Options options = {}) {
  options.source_name = "t.svf";
  return Convert(svf, options);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// The statements written, without the header and the trailing comments.
std::vector<std::string> Statements(const Result& result) {
  std::vector<std::string> statements;
  for (const std::string& line : Lines(result.effect)) {
    if (line.rfind("//", 0) == 0) continue;
    statements.push_back(line.substr(0, line.find(';')));
  }
  return statements;
}

std::string Problems(const Result& result) {
  std::string all;
  for (const auto& p : result.problems)
    all += std::to_string(p.line) + ": " + p.message + "\n";
  return all;
}

// Converts, then compares the unit's trace of the result with the SVF's own.
void ExpectSameClocks(const std::string& svf, const Options& options = {}) {
  const Result result = ConvertText(svf, options);
  ASSERT_TRUE(result.problems.empty()) << Problems(result);
  std::string svf_error, effect_error;
  const svftest::Trace want = svftest::TraceSvf(svf, svf_error);
  const svftest::Trace got = svftest::TraceEffect(result.effect, effect_error);
  ASSERT_EQ(svf_error, "");
  ASSERT_EQ(effect_error, "");
  EXPECT_GT(want.Clocks(), 0u);
  EXPECT_TRUE(want == got) << svftest::Trace::FirstDifference(want, got);
}

struct RealFile {
  const char* name;
  int statements, records, split, dropped, folded;
};

// Counts as the converter reports them; every one of these files must convert.
const RealFile kConvertible[] = {
    {"xc2c64a_erase.svf", 66, 56, 1, 30, 0},
    {"xc2c64a_rgh13_pw2_d17_program.svf", 1011, 1087, 1, 42, 0},
    {"xc95144xl_warpse_0.7d_program.svf", 5143, 5109, 0, 34, 0},
    {"xc9536xl_ispen.svf", 29, 11, 0, 18, 0},
    {"a2f200m3f_erase_microsemi.svf", 120, 121, 1, 1, 0},
};

TEST_F(RealFiles, EveryFileTheRulesAllowConvertsAndEveryLinePlaysTheSameClocks) {
  for (const RealFile& file : kConvertible) {
    SCOPED_TRACE(file.name);
    const std::string svf = ReadFile(kRealWorld + file.name);
    Options options;
    options.source_name = file.name;
    const Result result = Convert(svf, options);
    ASSERT_TRUE(result.problems.empty()) << Problems(result);
    EXPECT_EQ(result.summary.statements, file.statements);
    EXPECT_EQ(result.summary.records, file.records);
    EXPECT_EQ(result.summary.split, file.split);
    EXPECT_EQ(result.summary.dropped, file.dropped);
    EXPECT_EQ(result.summary.folded, file.folded);
    EXPECT_EQ(result.summary.maximum_ignored, 0);
    // --verbose names a reason for each statement dropped.
    EXPECT_EQ(result.dropped.size(), static_cast<std::size_t>(file.dropped));
    // Every line traces back to the vendor's file.
    for (const std::string& line : Lines(result.effect)) {
      if (line.rfind("//", 0) == 0) continue;
      EXPECT_NE(line.find(std::string("; // ") + file.name + ":"), std::string::npos) << line;
    }
    ExpectSameClocks(svf);
    std::string error;
    std::vector<int> lone;
    svftest::TraceEffect(result.effect, error, &lone);
    EXPECT_TRUE(lone.empty()) << "a lone STATE of the resting state at Effect line " << lone[0];
  }
}

TEST_F(RealFiles, TheTraceComparisonNoticesOneClockTooFew) {
  // Guards the equivalence above against comparing nothing.
  std::string svf = ReadFile(kRealWorld + "xc2c64a_rgh13_pw2_d17_program.svf");
  const Result result = ConvertText(svf);
  const std::size_t at = svf.find("RUNTEST DRPAUSE 20 TCK");
  ASSERT_NE(at, std::string::npos);
  svf.replace(at, 22, "RUNTEST DRPAUSE 19 TCK");
  std::string e1, e2;
  EXPECT_FALSE(svftest::TraceSvf(svf, e1) == svftest::TraceEffect(result.effect, e2));
}

TEST_F(RealFiles, TheCommandSamplerFoldsItsHeadersAndStopsAtParallelVectors) {
  const Result result = ConvertText(ReadFile(kRealWorld + "synthetic_svf_commands.svf"));
  EXPECT_EQ(result.effect, "");
  ASSERT_EQ(result.problems.size(), 2u) << Problems(result);
  EXPECT_EQ(result.problems[0].line, 23);
  EXPECT_NE(result.problems[0].message.find("PIOMAP"), std::string::npos);
  EXPECT_EQ(result.problems[1].line, 29);
  EXPECT_NE(result.problems[1].message.find("PIO"), std::string::npos);
  EXPECT_EQ(result.summary.statements, 19);
  EXPECT_EQ(result.summary.folded, 4);
}

TEST_F(RealFiles, UnconvertedFilesStopAtALineThatLooksLikeFullSvf) {
  for (const char* name : {"xc2c64a_erase.svf", "xc2c64a_rgh13_pw2_d17_program.svf",
                           "xc95144xl_warpse_0.7d_program.svf", "xc9536xl_ispen.svf",
                           "a2f200m3f_erase_microsemi.svf", "synthetic_svf_commands.svf"}) {
    SCOPED_TRACE(name);
    TEffectFields fields;
    bool stopped = false;
    for (std::string line : Lines(ReadFile(kRealWorld + name))) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (ParseEffectLine(line, fields) != kEffectLineError) continue;
      EXPECT_TRUE(LooksLikeFullSvf(line)) << line;
      stopped = true;
      break;
    }
    EXPECT_TRUE(stopped);
  }
  // Lines of a wrapped statement, and lines that are not SVF at all.
  EXPECT_TRUE(LooksLikeFullSvf("    4924924924924924FFC924924"));
  EXPECT_TRUE(LooksLikeFullSvf("03ffffffffff) ;"));
  EXPECT_TRUE(LooksLikeFullSvf("     MASK(FFFFFFFFFFFFFFFFFFFFFFFFFE01FFC0);"));
  EXPECT_TRUE(LooksLikeFullSvf("runtest idle 100 tck;"));
  EXPECT_FALSE(LooksLikeFullSvf("SIR8 TDI (FE);"));
  EXPECT_FALSE(LooksLikeFullSvf("P4 prom1.svf"));
  EXPECT_FALSE(LooksLikeFullSvf(":020000050001F8"));
}

// Rules the real files do not reach.

TEST(Rules, HeadersAndTrailersFoldIntoEveryScanBitForBit) {
  const std::string svf =
      "STATE RESET;\n"
      "HIR 4 TDI (f);\n"
      "TIR 3 TDI (5) TDO (2) MASK (7);\n"
      "HDR 2 TDI (3) TDO (1);\n"
      "TDR 5 TDI (1f) SMASK (0f);\n"
      "SIR 8 TDI (fe) TDO (01) MASK (03);\n"
      "SDR 16 TDI (1234) TDO (5678) MASK (ff00);\n"
      "HIR 0; TDR 0;\n"
      "SIR 8 TDI (10);\n"
      "SDR 16 TDI (abcd);\n";
  const Result result = ConvertText(svf);
  ASSERT_TRUE(result.problems.empty()) << Problems(result);
  EXPECT_EQ(result.summary.folded, 4);
  EXPECT_EQ(result.summary.dropped, 2);
  const auto statements = Statements(result);
  ASSERT_EQ(statements.size(), 5u);
  // Trailer 101, scan 11111110, header 1111, read left to right.
  EXPECT_EQ(statements[1], "SIR 15 TDI (5FEF) TDO (2010) MASK (7030)");
  EXPECT_EQ(statements[3], "SIR 11 TDI (0510) TDO (0200) MASK (0700)");
  ExpectSameClocks(svf);
}

TEST(Rules, ScansLongerThan512BitsGoInSlicesThatShiftAsOne) {
  std::string tdi, tdo;
  for (int i = 0; i < 275; ++i) {
    tdi += "0123456789abcdef"[i % 16];
    tdo += "fedcba9876543210"[(i * 7) % 16];
  }
  const std::string svf = "ENDDR DRPAUSE;\nSDR 1100 TDI (" + tdi + ")\n TDO (" + tdo + ") MASK (" +
                          std::string(275, 'f') + ");\nSDR 512 TDI (0);\nSDR 513 TDI (1" +
                          std::string(128, '0') + ");\nSIR 520 TDI (0);\n";
  const Result result = ConvertText(svf);
  ASSERT_TRUE(result.problems.empty()) << Problems(result);
  std::vector<std::string> starts;
  for (const std::string& s : Statements(result))
    starts.push_back(s.substr(0, s.find(" TDI")));
  EXPECT_EQ(starts,
            (std::vector<std::string>{"ENDDR DRPAUSE", "SDRS 512", "SDRC 512", "SDRE 76", "SDR 512",
                                      "SDRS 512", "SDRE 1", "SIRS 512", "SIRE 8"}));
  EXPECT_EQ(result.summary.split, 3);
  ExpectSameClocks(svf);
}

TEST(Rules, TdiSmaskAndMaskCarryOverWhileTheLengthStays) {
  const std::string svf =
      "SDR 8 TDI (a5) SMASK (0f);\n"
      "SDR 8 TDO (05);\n"  // TDI and SMASK carried over
      "SDR 8 TDI (00) TDO (ff) MASK (0f);\n"
      "SDR 8 TDI (00) TDO (ff);\n"  // MASK carried over, SMASK too
      "SDR 4 TDI (3);\n";           // a new length: SMASK back to all ones
  const Result result = ConvertText(svf);
  ASSERT_TRUE(result.problems.empty()) << Problems(result);
  EXPECT_EQ(Statements(result),
            (std::vector<std::string>{"SDR 8 TDI (05)", "SDR 8 TDI (05) TDO (05)",
                                      "SDR 8 TDI (00) TDO (0F) MASK (0F)",
                                      "SDR 8 TDI (00) TDO (0F) MASK (0F)", "SDR 4 TDI (03)"}));
  ExpectSameClocks(svf);
  // After a length change there is nothing to carry.
  const Result refused = ConvertText("SDR 8 TDI (a5);\nSDR 12 TDO (000);\n");
  ASSERT_EQ(refused.problems.size(), 1u);
  EXPECT_EQ(refused.problems[0].line, 2);
  EXPECT_NE(refused.problems[0].message.find("TDI must be given again"), std::string::npos);
}

TEST(Rules, TextFormsAndSourceLines) {
  // Lone CR line ends, lower case, a statement across lines with a comment
  // inside, and two statements on one line.
  const Result result = ConvertText(
      "sir 8 tdi (fe);\rSDR 8\r TDI (0f) ! inside\r;SIR 8 TDI(1); sir 8 TDI (02);//c\r\n");
  ASSERT_TRUE(result.problems.empty()) << Problems(result);
  const auto lines = Lines(result.effect);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "SIR 8 TDI (FE); // t.svf:1");
  EXPECT_EQ(lines[2], "SDR 8 TDI (0F); // t.svf:2");
  EXPECT_EQ(lines[3], "SIR 8 TDI (01); // t.svf:4");
  EXPECT_EQ(lines[4], "SIR 8 TDI (02); // t.svf:4");
}

TEST(Rules, WaitsInSecondsNeedAFrequencyAndTakeTheLargerOfCountAndTime) {
  const Result none = ConvertText("RUNTEST 1E-3 SEC;\n");
  ASSERT_EQ(none.problems.size(), 1u);
  EXPECT_NE(none.problems[0].message.find("FREQUENCY"), std::string::npos);

  Options options;
  options.tck_hz = "2E6";
  EXPECT_EQ(Statements(ConvertText("STATE IDLE;\nRUNTEST 1E-3 SEC;\n", options)),
            (std::vector<std::string>{"STATE IDLE", "RUNTEST 2000 TCK"}));
  // The file's own rate wins; a bare FREQUENCY returns to --tck-hz.
  const Result both = ConvertText(
      "FREQUENCY 1E6 HZ;\nSTATE IDLE;\nRUNTEST 5 TCK 1.00E-03 SEC MAXIMUM 1 SEC;\n"
      "FREQUENCY;\nRUNTEST 3000 TCK 1E-3 SEC ENDSTATE DRPAUSE;\n",
      options);
  EXPECT_EQ(Statements(both), (std::vector<std::string>{"STATE IDLE", "RUNTEST 1000 TCK",
                                                        "RUNTEST 3000 TCK", "STATE DRPAUSE"}));
  EXPECT_EQ(both.summary.maximum_ignored, 1);
  ASSERT_EQ(both.dropped.size(), 3u);  // two FREQUENCY and the MAXIMUM
  EXPECT_EQ(both.dropped[1].line, 3);
  EXPECT_NE(both.dropped[1].message.find("MAXIMUM 1 SEC"), std::string::npos);
}

TEST(Rules, StatesWhereTheTapAlreadyRestsAreWrittenInFormsWithOneMeaning) {
  // SVF moves even a lone STATE of the resting state; a unit may not, so the
  // converter writes what SVF means in forms every unit plays alike, and
  // clocks held in a Pause state only in records of two or more states.
  const std::string svf =
      "STATE RESET;\nSTATE IDLE;\nSTATE IDLE;\nSTATE IRPAUSE;\nSTATE IRPAUSE;\n"
      "RUNTEST DRPAUSE 1 TCK;\nSTATE DRPAUSE DRPAUSE DREXIT2 DRUPDATE IDLE;\n"
      "RUNTEST IRPAUSE 256 TCK;\nSTATE DRPAUSE;\nRUNTEST DRPAUSE 1 TCK;\n";
  const Result result = ConvertText(svf);
  ASSERT_TRUE(result.problems.empty()) << Problems(result);
  const auto statements = Statements(result);
  ASSERT_EQ(statements.size(), 10u);
  EXPECT_EQ(statements[2], "RUNTEST 1 TCK");
  EXPECT_EQ(statements[4], "STATE IREXIT2 IRUPDATE DRSELECT IRSELECT IRCAPTURE IREXIT1 IRPAUSE");
  EXPECT_EQ(statements[5], "STATE DRPAUSE DRPAUSE");
  EXPECT_EQ(statements[6], "STATE DRPAUSE DRPAUSE DREXIT2 DRUPDATE IDLE");
  // 257 names: never a last record of one held clock.
  EXPECT_EQ(statements[8], "STATE IRPAUSE IRPAUSE");
  // A single held clock joins the path just written into its Pause state.
  EXPECT_EQ(statements[9], "STATE DRPAUSE DRPAUSE");
  ExpectSameClocks(svf);
  // Test-Logic-Reset stays with TMS 1 whatever the reading: nothing to write.
  const Result reset = ConvertText("STATE RESET;\nSTATE RESET;\n");
  ASSERT_EQ(reset.dropped.size(), 1u);
  EXPECT_EQ(reset.dropped[0].line, 2);
  std::string error;
  std::vector<int> lone;
  svftest::TraceEffect(result.effect, error, &lone);
  EXPECT_TRUE(lone.empty());
}

TEST(Rules, OutputLargerThanTheUpdaterTakesIsRefusedAtTheStatementThatCrossesIt) {
  std::string svf = "STATE RESET;\nSTATE IDLE;\n";
  for (int i = 0; i < 20; ++i)
    svf += "SDR 16 TDI (0);\n";
  const Result whole = ConvertText(svf);
  ASSERT_TRUE(whole.problems.empty()) << Problems(whole);
  Options options;
  options.max_output_bytes = whole.effect.size();
  EXPECT_EQ(ConvertText(svf, options).effect, whole.effect);
  --options.max_output_bytes;
  const Result cut = ConvertText(svf, options);
  EXPECT_EQ(cut.effect, "");
  ASSERT_EQ(cut.problems.size(), 1u) << Problems(cut);
  EXPECT_EQ(cut.problems[0].line, 22);
  EXPECT_NE(cut.problems[0].message.find("larger than the updater takes"), std::string::npos);
}

TEST(Rules, WhatTheSubsetCannotExpressIsRefusedWithItsLine) {
  const std::string svf =
      "TRST ON;\n"
      "ENDIR DRPAUSE;\n"
      "RUNTEST RESET 10 TCK;\n"
      "RUNTEST 10 SCK;\n"
      "SDR 8 TDI (1ff);\n"
      "STATE DRSHIFT;\n"
      "STATE IDLE; ENDDR DRPAUSE; SDR 8 TDI (01); RUNTEST DRPAUSE 1 TCK;\n"
      "FOO 1;\n"
      "STATE IREXIT1 IRPAUSE;\n"
      "SIR 8 TDI (zz);\n"
      "RUNTEST DRPAUSE 200000 TCK;\n"
      "SIR 8 TDI (ff)\n";
  const Result result = ConvertText(svf);
  EXPECT_EQ(result.effect, "");
  const std::vector<std::pair<int, std::string>> want = {
      {1, "TRST ON"},
      {2, "ENDIR DRPAUSE"},
      {3, "RESET"},
      {4, "SCK"},
      {5, "above"},
      {6, "must end"},
      {7, "one clock held"},
      {8, "unknown statement FOO"},
      {9, "cannot begin"},
      {10, "hex digit"},
      {11, "clocks held in DRPAUSE"},
      {12, "no ';'"},
  };
  ASSERT_EQ(result.problems.size(), want.size()) << Problems(result);
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(result.problems[i].line, want[i].first) << Problems(result);
    EXPECT_NE(result.problems[i].message.find(want[i].second), std::string::npos)
        << result.problems[i].message;
  }
}

}  // namespace
