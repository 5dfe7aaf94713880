// The sample files played from a strict client against the unit in this
// process: the run completes and leaves the unit holding what the files say,
// also when the unit injects the faults the updater must ride through.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "client.h"
#include "hex/hex.h"

namespace {

using simtest::Client;
using simtest::InProcessLink;

const std::string kExamples = QSR470_EXAMPLES_DIR;

std::vector<std::string> Script(const std::string& name) {
  return simtest::ReadLines(kExamples + "/" + name);
}

// The bytes a HEX file puts into the addresses first..last, erased elsewhere.
void ExpectAreaHoldsFile(const sim::MemoryArea& area, const std::string& file) {
  std::vector<std::uint8_t> image(0x10000, 0xFF);
  for (const std::string& line : simtest::ReadLines(kExamples + "/" + file)) {
    HexRecord record;
    if (line.empty() || line[0] != ':' || !ParseHexRecord(line, record)) continue;
    if (record.type == kHexRecordEndOfFile) break;
    if (record.type != kHexRecordData) continue;
    for (std::size_t k = 0; k < record.data.size(); ++k)
      image[record.address + k] = record.data[k];
  }
  for (std::uint32_t a = area.first(); a <= area.last(); ++a) {
    ASSERT_EQ(area.At(a), image[a]) << file << " at " << WordToHex(static_cast<std::uint16_t>(a));
  }
}

void ExpectSampleUpdateDone(const sim::Unit& unit) {
  ExpectAreaHoldsFile(unit.boot(), "boot.hex");
  for (int bank = 0; bank < 4; ++bank) {
    ExpectAreaHoldsFile(unit.bank(bank), "keyb" + std::to_string(bank) + ".hex");
  }
  EXPECT_EQ(unit.prom(4).pages_programmed(), 4u);
  EXPECT_EQ(unit.prom(4).array().Read(0, 4), (std::vector<std::uint8_t>{0x00, 0x1B, 0x55, 0xAA}));
  EXPECT_EQ(unit.prom(5).pages_programmed(), 3u);
  const auto text = unit.prom(5).array().Read(0x100, 7);
  EXPECT_EQ(std::string(text.begin(), text.end()), "Corvane");
  EXPECT_EQ(unit.version(0), "0105");
  EXPECT_EQ(unit.version(4), "0210");
  EXPECT_EQ(unit.version(5), "0210");
  EXPECT_EQ(unit.unit_version(), "0204");
  EXPECT_EQ(unit.option_text(), "0001");
  EXPECT_TRUE(unit.finished());
}

TEST(Examples, SampleScriptUpdatesEveryComponent) {
  sim::Unit unit(sim::UnitConfig{});
  InProcessLink link(unit);
  Client client(link, kExamples);
  ASSERT_TRUE(client.RunScript(Script("script.ini"))) << client.error();
  ExpectSampleUpdateDone(unit);
  EXPECT_EQ(client.captures_checked(), 11u);
  EXPECT_EQ(unit.counts().resends, 0u);
  EXPECT_EQ(unit.counts().failures, 0u);
  EXPECT_EQ(unit.counts().unknown, 0u);
}

TEST(Examples, SampleScriptAtTheSlowSpeedFollowsTheSpeedChanges) {
  sim::Unit unit(sim::UnitConfig{});
  InProcessLink link(unit);
  Client client(link, kExamples);
  client.set_slow(true);
  ASSERT_TRUE(client.RunScript(Script("script.ini"))) << client.error();
  ExpectSampleUpdateDone(unit);
  EXPECT_EQ(unit.counts().garbled_in, 0u);
}

TEST(Examples, SampleScriptRidesThroughInjectedFaults) {
  sim::UnitConfig config;
  config.faults.seed = 3;
  config.faults.resend_rate = 0.2;
  config.faults.bad_capture_rate = 0.5;
  config.faults.escapes = sim::EscapeMode::kRandom;
  config.faults.split_ms = 1;
  config.faults.noise = 50;
  sim::Unit unit(config);
  InProcessLink link(unit);
  Client client(link, kExamples);
  ASSERT_TRUE(client.RunScript(Script("script.ini"))) << client.error();
  ExpectSampleUpdateDone(unit);
  EXPECT_GT(unit.counts().resends, 10u);
  EXPECT_GT(unit.counts().capture_resends, 0u);
  EXPECT_EQ(client.resends_answered(), unit.counts().resends + unit.counts().capture_resends);
}

TEST(Examples, ReadIdScriptShowsTheIdentifications) {
  sim::Unit unit(sim::UnitConfig{});
  InProcessLink link(unit);
  Client client(link, kExamples);
  ASSERT_TRUE(client.RunScript(Script("readid.ini"))) << client.error();
  const std::vector<std::string> expected = {"Boot Checksum : E000", "Device ID : A470",
                                             "ID Number : 3C", "ID Number : 0470A0D30003FC00",
                                             "ID Number : 0470B0D30003FC00"};
  EXPECT_EQ(client.status(), expected);
}

TEST(Examples, EffectFileExpectingAnotherIdcodeIsCaught) {
  const auto dir = std::filesystem::temp_directory_path() / "qsr470-sim-wrong-tdo";
  std::filesystem::create_directories(dir);
  std::ofstream out(dir / "prom1.svf");
  for (std::string line : Script("prom1.svf")) {
    const auto at = line.find("0470A0D3");
    if (at != std::string::npos) line.replace(at, 8, "0470A0D4");
    out << line << "\n";
  }
  out.close();
  sim::Unit unit(sim::UnitConfig{});
  InProcessLink link(unit);
  Client client(link, dir.string());
  EXPECT_FALSE(client.RunScript({"P4 prom1.svf"}));
  EXPECT_NE(client.error().find("TDO mismatch at Effect line 9"), std::string::npos)
      << client.error();
  std::filesystem::remove_all(dir);
}

TEST(Examples, UploadOfTheWrongBankFileFailsAtTheFirstLine) {
  sim::Unit unit(sim::UnitConfig{});
  InProcessLink link(unit);
  Client client(link, kExamples);
  EXPECT_FALSE(client.RunScript({"P0 keyb1.hex"}));
  EXPECT_NE(client.error().find("answered 'X'"), std::string::npos) << client.error();
}

}  // namespace
