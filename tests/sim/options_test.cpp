// The command line: what each option sets, and the values it refuses.
#include <gtest/gtest.h>

#include "sim/options.h"

namespace {

using sim::ParseOutcome;

ParseOutcome Parse(std::vector<std::string> args, sim::ProgramOptions& options) {
  std::string error;
  return sim::ParseCommandLine(args, options, error);
}

TEST(CommandLine, OptionsSetTheUnitAndTheRun) {
  sim::ProgramOptions o;
  ASSERT_EQ(Parse({"--link",
                   "/tmp/t",
                   "--pace",
                   "--forever",
                   "--report=/tmp/r.json",
                   "--boot-checksum",
                   "12ab",
                   "--device-id",
                   "ABCD",
                   "--idcode",
                   "5=12345678",
                   "--comp-version",
                   "3=0105",
                   "--comp-version",
                   "4=",
                   "--seed",
                   "9",
                   "--resend-rate",
                   "0.25",
                   "--resend-at",
                   "3,17",
                   "--fail-at",
                   "P1#2,rec:5",
                   "--hangup-at",
                   "cmd:9",
                   "--escapes",
                   "random",
                   "--split",
                   "20",
                   "--no-speed-check",
                   "--prom-size",
                   "4096",
                   "--reply-delay",
                   "16"},
                  o),
            ParseOutcome::kRun);
  EXPECT_EQ(o.link_path, "/tmp/t");
  EXPECT_TRUE(o.pace);
  EXPECT_TRUE(o.forever);
  EXPECT_EQ(o.report_path, "/tmp/r.json");
  EXPECT_EQ(o.unit.boot_checksum, "12ab");
  EXPECT_EQ(o.unit.device_id, "ABCD");
  EXPECT_EQ(o.unit.prom_idcode[1], 0x12345678u);
  EXPECT_EQ(o.unit.versions[3], "0105");
  EXPECT_EQ(o.unit.versions[4], "");
  EXPECT_EQ(o.unit.faults.seed, 9u);
  EXPECT_DOUBLE_EQ(o.unit.faults.resend_rate, 0.25);
  EXPECT_EQ(o.unit.faults.resend_at, (std::vector<std::uint32_t>{3, 17}));
  ASSERT_EQ(o.unit.faults.fail_at.size(), 2u);
  EXPECT_EQ(o.unit.faults.fail_at[0].text, "P1");
  EXPECT_EQ(o.unit.faults.fail_at[0].number, 2u);
  EXPECT_EQ(o.unit.faults.fail_at[1].kind, sim::FaultPoint::Kind::kRecordNumber);
  EXPECT_EQ(o.unit.faults.hangup_at[0].kind, sim::FaultPoint::Kind::kCommandNumber);
  EXPECT_EQ(o.unit.faults.escapes, sim::EscapeMode::kRandom);
  EXPECT_EQ(o.unit.faults.split_ms, 20u);
  EXPECT_FALSE(o.unit.speed_check);
  EXPECT_EQ(o.unit.prom_size, 4096u);
  EXPECT_EQ(o.reply_delay_ms, 16u);
}

TEST(CommandLine, RefusesValuesTheUnitCannotUse) {
  const std::vector<std::vector<std::string>> bad = {
      {"--boot-checksum", "123"},
      {"--device-id", "ABCDE"},
      {"--idcode", "6=12345678"},
      {"--idcode", "4=1234567"},
      {"--idcode", "4=1234567g"},
      {"--prom-size", "1000"},
      {"--prom-size", "128"},
      {"--comp-version", "6=0105"},
      {"--comp-version", "1=010"},
      {"--resend-rate", "1.5"},
      {"--resend-rate", "x"},
      {"--resend-at", "0"},
      {"--resend-at", "3,"},
      {"--fail-at", "rec:0"},
      {"--fail-at", "ABC"},
      {"--fail-at", "P1#0"},
      {"--escapes", "some"},
      {"--call-period", "0"},
      {"--reply-delay", "1001"},
      {"--reply-delay", "-1"},
      {"--link"},
      {"--pace=yes"},
      {"--unknown"},
      {"stray"},
  };
  for (const auto& args : bad) {
    sim::ProgramOptions o;
    EXPECT_EQ(Parse(args, o), ParseOutcome::kError) << args[0];
  }
}

TEST(CommandLine, HelpAndVersion) {
  sim::ProgramOptions o;
  EXPECT_EQ(Parse({"--help"}, o), ParseOutcome::kHelp);
  EXPECT_EQ(Parse({"--version"}, o), ParseOutcome::kVersion);
}

}  // namespace
