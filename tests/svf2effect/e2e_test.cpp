// The converter, the updater and the virtual unit as the programs they are:
// a vendor-style file, converted and played, must leave PROM 1 exactly as
// the hand-written Effect file does, and a vendor file played unconverted
// must make the updater name the converter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "json.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using simtest::Json;

const std::string kConverter = QSR470_SVF2EFFECT_BIN;
const std::string kUpdater = QSR470_UPDATE_BIN;
const std::string kUnit = QSR470_UNITSIM_BIN;
const std::string kExamples = std::string(QSR470_EXAMPLES_DIR) + "/";
const std::string kRealWorld = std::string(QSR470_TESTDATA_DIR) + "/realworld/";
constexpr auto kDeadline = 300s;  // generous: sanitizer builds are slow

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ConvertAndPlay : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qsr470-svf2effect-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }

  int Convert(const std::vector<std::string>& args, e2e::Process& converter) {
    std::vector<std::string> argv = {kConverter};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(converter.Start(argv));
    return converter.Wait(kDeadline);
  }

  // One run of a one-line script against a fresh unit; returns the updater's
  // exit code and leaves the unit's report in `unit`.
  int Play(const std::string& instruction, const std::string& files, e2e::Process& updater,
           Json& unit) {
    Write("run.ini", instruction + "\n");
    e2e::Process sim;
    const fs::path report = dir_ / "unit.json";
    EXPECT_TRUE(sim.Start({kUnit, "--report", report.string()}));
    std::string tty;
    EXPECT_TRUE(sim.ReadLine(tty, 30s)) << sim.Err();
    EXPECT_TRUE(
        updater.Start({kUpdater, "--device", tty, "--files", files, (dir_ / "run.ini").string()}));
    const int code = updater.Wait(kDeadline);
    EXPECT_EQ(sim.Wait(60s), 0) << sim.Err();
    simtest::ParseJson(ReadFile(report), unit);
    return code;
  }

  fs::path dir_;
};

TEST_F(ConvertAndPlay, AVendorStyleFileConvertedLeavesProm1AsTheEffectExampleDoes) {
  e2e::Process converter;
  ASSERT_EQ(
      Convert({kExamples + "prom1_vendor.svf", "-o", (dir_ / "prom1v.svf").string()}, converter), 0)
      << converter.Err();
  EXPECT_NE(converter.Err().find("33 statements read, 27 records written"), std::string::npos)
      << converter.Err();
  EXPECT_FALSE(fs::exists(dir_ / "prom1v.svf.tmp"));

  e2e::Process original, converted;
  Json want, got;
  ASSERT_EQ(Play("P4 prom1.svf", kExamples, original, want), 0) << original.Err();
  ASSERT_EQ(Play("P4 prom1v.svf", dir_.string() + "/", converted, got), 0) << converted.Err();
  const Json& a = want["proms"][0];
  const Json& b = got["proms"][0];
  EXPECT_EQ(a["pages_programmed"].number, 4);
  EXPECT_EQ(b["erases"].number, a["erases"].number);
  EXPECT_EQ(b["pages_programmed"].number, a["pages_programmed"].number);
  EXPECT_EQ(b["sum"].text, a["sum"].text);
  ASSERT_EQ(b["segments"].items.size(), a["segments"].items.size());
  for (std::size_t i = 0; i < a["segments"].items.size(); ++i) {
    EXPECT_EQ(b["segments"][i]["address"].text, a["segments"][i]["address"].text);
    EXPECT_EQ(b["segments"][i]["data"].text, a["segments"][i]["data"].text);
  }
  EXPECT_EQ(got["counts"]["failures"].number, 0);
}

TEST_F(ConvertAndPlay, AVendorFilePlayedUnconvertedNamesTheConverterAndKeepsTheStatusLine) {
  if (!fs::exists(kRealWorld)) GTEST_SKIP() << "sample files not present in " << kRealWorld;
  // The job is checked before the port is opened, so no unit is needed.
  auto run = [this](const std::string& instruction, const std::string& files,
                    e2e::Process& updater) {
    Write("run.ini", instruction + "\n");
    EXPECT_TRUE(updater.Start({kUpdater, "--device", "/nonexistent/qsr470-tty", "--files", files,
                               (dir_ / "run.ini").string()}));
    return updater.Wait(kDeadline);
  };
  e2e::Process updater;
  ASSERT_EQ(run("P4 xc9536xl_ispen.svf", kRealWorld, updater), 1);
  const std::string error = "Error in Effect file line : 2\n";  // its blank second line
  EXPECT_NE(updater.Out().find(error), std::string::npos) << updater.Out();
  const std::string& err = updater.Err();
  ASSERT_GE(err.size(), error.size());
  EXPECT_EQ(err.substr(err.size() - error.size()), error);  // still the last line
  EXPECT_NE(err.find("qsr470-svf2effect"), std::string::npos) << err;
  // The line's place, the hint, the error stop.
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;

  // A line that is no SVF at all gets no such hint.
  Write("typo.svf", "STATE RESET;\nSIR8 TDI (FE);\n");
  e2e::Process second;
  ASSERT_EQ(run("P4 typo.svf", dir_.string() + "/", second), 1);
  EXPECT_EQ(second.Err(), dir_.string() +
                              "/typo.svf:2: SIR is followed by '8', not C, S, E or "
                              "a blank\nError in Effect file line : 2\n");
}

TEST_F(ConvertAndPlay, ARefusedFileWritesNothingAndNamesEveryLine) {
  if (!fs::exists(kRealWorld)) GTEST_SKIP() << "sample files not present in " << kRealWorld;
  Write("out.svf", "old");
  e2e::Process converter;
  EXPECT_EQ(Convert({kRealWorld + "synthetic_svf_commands.svf", "-o", (dir_ / "out.svf").string()},
                    converter),
            1);
  EXPECT_EQ(ReadFile(dir_ / "out.svf"), "old");
  EXPECT_NE(converter.Err().find("synthetic_svf_commands.svf:23: PIOMAP"), std::string::npos)
      << converter.Err();
  EXPECT_NE(converter.Err().find("synthetic_svf_commands.svf:29: PIO"), std::string::npos);

  // Converting a file onto itself, or onto the temporary its output goes
  // through, would lose the vendor's file.
  const std::string vendor = ReadFile(kRealWorld + "xc9536xl_ispen.svf");
  Write("in.svf", vendor);
  Write("in.svf.tmp", vendor);
  for (const auto& [in, out] : {std::pair{"in.svf", "in.svf"}, {"in.svf.tmp", "in.svf"}}) {
    e2e::Process onto;
    EXPECT_EQ(Convert({(dir_ / in).string(), "-o", (dir_ / "." / out).string()}, onto), 2);
    EXPECT_NE(onto.Err().find("would overwrite the input"), std::string::npos) << onto.Err();
    EXPECT_EQ(ReadFile(dir_ / in), vendor);
  }

  e2e::Process usage, help;
  EXPECT_EQ(Convert({kRealWorld + "xc9536xl_ispen.svf"}, usage), 2);  // no -o
  EXPECT_EQ(Convert({"--help"}, help), 0);
  EXPECT_NE(help.Out().find("--tck-hz"), std::string::npos);
}

}  // namespace
