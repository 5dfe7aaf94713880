// qsr470-update against qsr470-unitsim over a pseudo-terminal, both run as
// the programs they are. The unit's end report tells whether a run that
// said it completed really updated the unit.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hex/hex.h"
#include "json.h"
#include "platform/files.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using simtest::Json;

const std::string kUpdater = QSR470_UPDATE_BIN;
const std::string kUnit = QSR470_UNITSIM_BIN;
const std::string kExamples = std::string(QSR470_EXAMPLES_DIR) + "/";
constexpr auto kRunDeadline = 300s;  // generous: sanitizer builds are slow

std::string ImageSum(const std::string& file, std::uint16_t first, std::uint16_t last) {
  std::vector<std::string> lines;
  EXPECT_EQ(platform::ReadTextLines(kExamples + file, lines), platform::ReadStatus::kOk);
  return WordToHex(HexFileChecksum(lines, first, last));
}

// What a PROM must hold after its Effect file: the file's own verify shifts,
// whose expected TDO is the page read back, last byte shifted first.
struct PromPages {
  std::size_t address = 0;
  std::vector<std::uint8_t> bytes;
};

PromPages ExpectedPromPages(const std::string& file) {
  std::vector<std::string> lines;
  EXPECT_EQ(platform::ReadTextLines(kExamples + file, lines), platform::ReadStatus::kOk);
  PromPages pages;
  std::string address;
  for (const std::string& line : lines) {
    if (line.rfind("SDR 16 TDI (", 0) == 0) address = line.substr(12, 4);
    if (line == "SIR 8 TDI (40);") pages.address = HexToWord(address);
    const auto tdo = line.find("TDO (");
    if (line.rfind("SDR 128 ", 0) != 0 || tdo == std::string::npos) continue;
    const std::string hex = line.substr(tdo + 5, 32);
    for (std::size_t k = hex.size(); k >= 2; k -= 2) {
      pages.bytes.push_back(
          static_cast<std::uint8_t>(HexValue(hex[k - 2]) * 16 + HexValue(hex[k - 1])));
    }
  }
  return pages;
}

// The PROM array as the unit reports it: erased bytes (FF) left out.
std::vector<std::uint8_t> PromContents(const Json& prom) {
  std::vector<std::uint8_t> array(static_cast<std::size_t>(prom["size"].number), 0xFF);
  for (std::size_t i = 0; i < prom["segments"].items.size(); ++i) {
    const auto& segment = prom["segments"][i];
    std::size_t at = HexToWord(segment["address"].text);
    const std::string& data = segment["data"].text;
    for (std::size_t k = 0; k + 1 < data.size() && at < array.size(); k += 2, ++at) {
      array[at] = static_cast<std::uint8_t>(HexValue(data[k]) * 16 + HexValue(data[k + 1]));
    }
  }
  return array;
}

Json ReadJson(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  Json json;
  simtest::ParseJson(text.str(), json);
  return json;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qsr470-e2e-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void StartUnit(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {kUnit, "--report", (dir_ / "unit.json").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(unit_.Start(args));
    ASSERT_TRUE(unit_.ReadLine(tty_, 30s)) << unit_.Err();
  }

  void StartUpdater(const std::vector<std::string>& extra, const std::string& cwd = "") {
    std::vector<std::string> args = {
        kUpdater, "--device", tty_, "--files", kExamples, "--report", (dir_ / "run.json").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(updater_.Start(args, cwd));
  }

  int RunUpdater(const std::vector<std::string>& extra, const std::string& cwd = "") {
    StartUpdater(extra, cwd);
    return updater_.Wait(kRunDeadline);
  }

  // The unit ends when the updater lets go of the line, then writes its report.
  Json UnitReport() {
    EXPECT_EQ(unit_.Wait(60s), 0) << unit_.Err();
    return ReadJson(dir_ / "unit.json");
  }
  Json RunReport() { return ReadJson(dir_ / "run.json"); }

  fs::path dir_;
  std::string tty_;
  e2e::Process unit_;
  e2e::Process updater_;
};

TEST_F(EndToEnd, SampleScriptCompletesAndTheUnitHoldsWhatTheFilesSay) {
  StartUnit();
  ASSERT_EQ(RunUpdater({kExamples + "script.ini"}), 0) << updater_.Err();
  const std::string done =
      "Program operation completed\nClick on button START to begin program operation\n";
  EXPECT_EQ(updater_.Out().substr(updater_.Out().size() - done.size()), done);
  EXPECT_EQ(updater_.Err(), "");

  const Json unit = UnitReport();
  ASSERT_NE(unit.kind, Json::Kind::kNull);
  EXPECT_EQ(unit["boot"]["sum"].text, ImageSum("boot.hex", 0x4000, 0x5FFF));
  EXPECT_EQ(unit["banks"][0]["sum"].text, ImageSum("keyb0.hex", 0x0000, 0x7FFF));
  for (std::size_t bank = 1; bank <= 3; ++bank) {
    EXPECT_EQ(unit["banks"][bank]["sum"].text,
              ImageSum("keyb" + std::to_string(bank) + ".hex", 0x8000, 0xFFFF));
  }
  EXPECT_EQ(unit["versions"][0].text, "0105");
  EXPECT_EQ(unit["versions"][4].text, "0210");
  EXPECT_EQ(unit["versions"][5].text, "0210");
  EXPECT_EQ(unit["unit_version"].text, "0204");
  EXPECT_EQ(unit["option_text"].text, "0001");
  const char* effectFiles[2] = {"prom1.svf", "prom2.svf"};
  for (std::size_t prom = 0; prom < 2; ++prom) {
    EXPECT_EQ(unit["proms"][prom]["erases"].number, 1);
    const PromPages expected = ExpectedPromPages(effectFiles[prom]);
    ASSERT_FALSE(expected.bytes.empty());
    const auto contents = PromContents(unit["proms"][prom]);
    ASSERT_GE(contents.size(), expected.address + expected.bytes.size());
    EXPECT_TRUE(std::equal(expected.bytes.begin(), expected.bytes.end(),
                           contents.begin() + static_cast<long>(expected.address)))
        << effectFiles[prom];
  }
  EXPECT_EQ(unit["counts"]["bad_records"].number, 0);
  EXPECT_EQ(unit["counts"]["failures"].number, 0);
  // The unit timed every upload and Effect session, in script order.
  const Json& transfers = unit["timing"]["transfers"];
  std::string measured;
  for (const Json& t : transfers.items) {
    measured += t["command"].text + " ";
    EXPECT_GT(t["elapsed_us"].number, t["turnaround_us"]["total"].number);
    EXPECT_GT(t["wire_us"].number, 0);
  }
  EXPECT_EQ(measured, "PB P0 P1 P2 P3 P4 P5 ");
  EXPECT_GT(unit["timing"]["turnaround_us"]["count"].number, 50);

  const Json run = RunReport();
  EXPECT_EQ(run["result"].text, "completed");
  EXPECT_EQ(run["deviceId"].text, "A470");
  EXPECT_EQ(run["lines"][0]["text"].text, "SYN");
  // A line without an adapter holds nothing back, and nothing is said about
  // it (stderr stayed empty above).
  EXPECT_EQ(run["adapterLatencyMs"].kind, Json::Kind::kNumber);
  EXPECT_LT(run["adapterLatencyMs"].number, 4);
}

TEST_F(EndToEnd, AdapterThatHoldsRepliesBackIsNamedOnceWithItsCure) {
  // Paced, so that what the updater measures beyond the wire time is the
  // hold alone.
  StartUnit({"--pace", "--reply-delay", "16"});
  ASSERT_EQ(RunUpdater({"--readid"}, kExamples), 0) << updater_.Err();
  const std::string& err = updater_.Err();
  const auto count = [&](const std::string& text) {
    std::size_t n = 0;
    for (auto at = err.find(text); at != std::string::npos; at = err.find(text, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("\n"), 1u) << err;
  EXPECT_EQ(count("serial adapter delays every reply by about 1"), 1u) << err;
  EXPECT_EQ(count("latency_timer"), 1u) << err;
  EXPECT_EQ(count("Device Manager"), 1u) << err;
  const double latency = RunReport()["adapterLatencyMs"].number;
  EXPECT_GE(latency, 15.5);
  EXPECT_LT(latency, 40);
  EXPECT_EQ(RunReport()["result"].text, "completed");
}

TEST_F(EndToEnd, ResendsWithinTheBudgetStillComplete) {
  StartUnit({"--resend-rate", "0.05", "--seed", "7"});
  ASSERT_EQ(RunUpdater({kExamples + "script.ini"}), 0) << updater_.Err();
  const Json unit = UnitReport();
  EXPECT_GT(unit["counts"]["resends"].number, 0);
  EXPECT_EQ(unit["boot"]["sum"].text, ImageSum("boot.hex", 0x4000, 0x5FFF));
  EXPECT_EQ(unit["banks"][2]["sum"].text, ImageSum("keyb2.hex", 0x8000, 0xFFFF));
  int resends = 0;
  const Json run = RunReport();
  for (std::size_t i = 0; i < run["lines"].items.size(); ++i) {
    resends += static_cast<int>(run["lines"][i]["resends"].number);
  }
  EXPECT_GT(resends, 0);
}

TEST_F(EndToEnd, FailureAtAChosenPointStopsWithItsMessage) {
  StartUnit({"--fail-at", "P1"});
  EXPECT_EQ(RunUpdater({kExamples + "script.ini"}), 1);
  const Json run = RunReport();
  EXPECT_EQ(run["result"].text, "error");
  EXPECT_FALSE(run["error"].text.empty());
  EXPECT_EQ(updater_.Err(), run["error"].text + "\n");
  EXPECT_EQ(updater_.Out().find("Program operation completed"), std::string::npos);
  const Json unit = UnitReport();
  EXPECT_EQ(unit["banks"][2]["erases"].number, 0);  // nothing after the failure
}

TEST_F(EndToEnd, SlowSpeedMovesThePromTransfersTo19200AndBack) {
  StartUnit();  // the unit insists on the speed it expects, so a wrong one fails
  ASSERT_EQ(RunUpdater({"--speed", "slow", kExamples + "script.ini"}), 0) << updater_.Err();
  const Json unit = UnitReport();
  EXPECT_EQ(unit["proms"][0]["erases"].number, 1);
  EXPECT_EQ(unit["proms"][1]["erases"].number, 1);
  EXPECT_EQ(unit["listen_baud"].number, 57600);
  const Json& commands = unit["commands"];
  int slow = 0;
  for (std::size_t i = 0; i < commands.items.size(); ++i) {
    if (commands[i].text == "S4" || commands[i].text == "S5") ++slow;
  }
  EXPECT_EQ(slow, 2);
}

TEST_F(EndToEnd, SkippedComponentIsLeftUntouched) {
  StartUnit();
  ASSERT_EQ(RunUpdater({"--skip", "prom2", kExamples + "script.ini"}), 0) << updater_.Err();
  const Json unit = UnitReport();
  EXPECT_EQ(unit["proms"][0]["erases"].number, 1);
  EXPECT_EQ(unit["proms"][1]["erases"].number, 0);
  EXPECT_EQ(unit["versions"][5].text, "0100");
  EXPECT_EQ(RunReport()["skipped"][0]["component"].number, 5);
}

TEST_F(EndToEnd, AutoModeSkipsWhatTheUnitAlreadyHas) {
  StartUnit({"--comp-version", "0=0105", "--comp-version", "4=0210"});
  ASSERT_EQ(RunUpdater({"--mode", "auto", kExamples + "script.ini"}), 0) << updater_.Err();
  const Json unit = UnitReport();
  for (std::size_t bank = 0; bank < 4; ++bank)
    EXPECT_EQ(unit["banks"][bank]["erases"].number, 0);
  EXPECT_EQ(unit["proms"][0]["erases"].number, 0);
  EXPECT_EQ(unit["proms"][1]["erases"].number, 1);  // its version differed
  EXPECT_EQ(unit["boot"]["erases"].number, 1);      // the boot has no version
}

TEST_F(EndToEnd, CtrlCStopsAndFreesThePort) {
  StartUnit({"--silence-at", "17"});
  StartUpdater({kExamples + "script.ini"});
  ASSERT_TRUE(updater_.WaitForOutput("Verify Device Type", 60s)) << updater_.Err();
  updater_.Signal(SIGINT);
  EXPECT_EQ(updater_.Wait(60s), 130);
  EXPECT_EQ(RunReport()["result"].text, "stopped");
  // The unit serves one run and ends when the updater lets go of the line.
  EXPECT_EQ(UnitReport()["ended_by"].text, "updater-closed");
}

TEST_F(EndToEnd, MissingScriptIsReportedAndNothingIsSent) {
  StartUnit();
  const std::string script = (dir_ / "absent.ini").string();
  EXPECT_EQ(RunUpdater({script}), 1);
  EXPECT_EQ(updater_.Err(), script + " File not found !!!\n");
  EXPECT_NE(updater_.Out().find(script + " File not found !!!"), std::string::npos);
}

TEST_F(EndToEnd, ReadIdRunsReadidIniFromTheCurrentFolder) {
  StartUnit();
  ASSERT_EQ(RunUpdater({"--readid"}, kExamples), 0) << updater_.Err();
  const std::string& out = updater_.Out();
  EXPECT_NE(out.find("ID Number : 3C"), std::string::npos) << out;
  EXPECT_NE(out.find("ID Number : 0470A0D3"), std::string::npos) << out;
  EXPECT_NE(out.find("Program operation completed"), std::string::npos);
}

TEST(CommandLine, PortThatCannotBeOpenedIsReportedOncePerAttemptUntilStopped) {
  e2e::Process p;
  ASSERT_TRUE(p.Start({kUpdater, "--device", "/nonexistent/qsr470-tty", kExamples + "script.ini"}));
  // The thread pauses a second after each report, so two take at least that.
  auto reports = [&p] {
    int n = 0;
    for (auto at = p.Err().find("Error while opening "); at != std::string::npos;
         at = p.Err().find("Error while opening ", at + 1)) {
      ++n;
    }
    return n;
  };
  ASSERT_TRUE(p.WaitFor([&] { return reports() >= 2; }, 60s)) << p.Err();
  p.Signal(SIGINT);
  EXPECT_EQ(p.Wait(60s), 130);
  EXPECT_NE(p.Out().find("Start the device while pushing the ENTER button"), std::string::npos);
}

TEST(CommandLine, BadUsageExitsTwoAndHelpExitsZero) {
  e2e::Process p;
  ASSERT_TRUE(p.Start({kUpdater, "--port", "99"}));
  EXPECT_EQ(p.Wait(60s), 2);
  EXPECT_NE(p.Err().find("usage:"), std::string::npos);
  e2e::Process help;
  ASSERT_TRUE(help.Start({kUpdater, "--help"}));
  EXPECT_EQ(help.Wait(60s), 0);
  EXPECT_NE(help.Out().find("--readid"), std::string::npos);
}

}  // namespace
