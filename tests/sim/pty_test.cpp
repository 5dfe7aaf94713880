// qsr470-unitsim as an end-to-end test starts it: a child process whose
// first line is the terminal's path, serving a client on that terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "client.h"
#include "hex/hex.h"
#include "json.h"
#include "sim_process.h"

namespace {

using simtest::Client;
using simtest::Json;
using simtest::SimProcess;
using simtest::TerminalLink;

const std::string kProgram = QSR470_UNITSIM;
const std::string kExamples = QSR470_EXAMPLES_DIR;

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("qsr470-sim-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  Json Report() {
    Json report;
    EXPECT_TRUE(simtest::ParseJson(simtest::ReadFile(Path("report.json")), report));
    return report;
  }

  std::filesystem::path dir_;
};

TEST_F(Program, PrintsTheTerminalPathFirstAndLinksItForTheRun) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start(kProgram, {"--link", Path("tty")}));
  EXPECT_TRUE(sim.slave_path().starts_with("/dev/pts/")) << sim.slave_path();
  EXPECT_EQ(std::filesystem::read_symlink(Path("tty")).string(), sim.slave_path());
  {
    TerminalLink link;
    ASSERT_TRUE(link.Open(Path("tty")));
  }
  EXPECT_EQ(sim.Wait(), 0) << "one run: closing the terminal ends the program";
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(Path("tty"))));
}

TEST_F(Program, PacedSampleRunAtTheSlowSpeedLeavesTheUnitUpdated) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start(kProgram, {"--pace", "--report", Path("report.json")}));
  {
    TerminalLink link;
    ASSERT_TRUE(link.Open(sim.slave_path()));
    Client client(link, kExamples);
    client.set_slow(true);
    ASSERT_TRUE(client.RunScript(simtest::ReadLines(kExamples + "/script.ini"))) << client.error();
  }
  ASSERT_EQ(sim.Wait(), 0);
  const Json report = Report();
  EXPECT_EQ(report["ended_by"].text, "updater-closed");
  EXPECT_TRUE(report["finished"].boolean);
  const auto boot = simtest::ReadLines(kExamples + "/boot.hex");
  EXPECT_EQ(report["boot"]["sum"].text, WordToHex(HexFileChecksum(boot, 0x4000, 0x5FFF)));
  EXPECT_EQ(report["boot"]["segments"][0]["address"].text, "4000");
  const auto bank3 = simtest::ReadLines(kExamples + "/keyb3.hex");
  EXPECT_EQ(report["banks"][3]["sum"].text, WordToHex(HexFileChecksum(bank3, 0x8000, 0xFFFF)));
  EXPECT_EQ(report["proms"][0]["pages_programmed"].number, 4);
  EXPECT_EQ(report["proms"][1]["segments"][0]["address"].text, "0100");
  EXPECT_EQ(report["versions"][5].text, "0210");
  EXPECT_EQ(report["counts"]["garbled_in"].number, 0);
  EXPECT_EQ(report["counts"]["garbled_out"].number, 0);
  EXPECT_EQ(report["commands"][0].text, "%");
}

TEST_F(Program, HangUpAtAChosenCommandClosesTheTerminal) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start(kProgram, {"--hangup-at", "17", "--report", Path("report.json")}));
  TerminalLink link;
  ASSERT_TRUE(link.Open(sim.slave_path()));
  Client client(link, kExamples);
  EXPECT_FALSE(client.Sync());
  EXPECT_EQ(client.error(), "no reply from the unit");
  ASSERT_EQ(sim.Wait(), 0);
  EXPECT_EQ(Report()["ended_by"].text, "fault-hangup");
  std::string rest;
  EXPECT_FALSE(link.Receive(rest, std::chrono::milliseconds(10000))) << "the line is gone";
}

TEST_F(Program, CallSignAtAnotherSpeedArrivesGarbled) {
  SimProcess sim;
  // A long first period: the speed must be set well before the call sign.
  ASSERT_TRUE(sim.Start(kProgram, {"--call-period", "1000", "--report", Path("report.json")}));
  {
    TerminalLink link;
    ASSERT_TRUE(link.Open(sim.slave_path()));
    ASSERT_TRUE(link.SetBaud(sim::kSlowBaud));
    std::string received;
    while (received.empty())
      ASSERT_TRUE(link.Receive(received, std::chrono::milliseconds(10000)));
    EXPECT_NE(received[0], '%');
    EXPECT_NE(received[0] & 0x80, 0);
  }
  ASSERT_EQ(sim.Wait(), 0);
  EXPECT_GE(Report()["counts"]["garbled_out"].number, 1);
}

TEST_F(Program, ForeverServesRunAfterRunAndKeepsTheMemories) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start(kProgram, {"--forever", "--report", Path("report.json")}));
  {
    TerminalLink link;
    ASSERT_TRUE(link.Open(sim.slave_path()));
    Client client(link, kExamples);
    ASSERT_TRUE(client.RunScript({"V0 0300"})) << client.error();
  }
  {
    TerminalLink link;
    ASSERT_TRUE(link.Open(sim.slave_path()));
    Client client(link, kExamples);
    ASSERT_TRUE(client.RunScript({"T0 0300"})) << client.error();
    EXPECT_EQ(client.status().back(), "Version current");
  }
  sim.Terminate();
  const Json report = Report();
  EXPECT_EQ(report["ended_by"].text, "signal");
  EXPECT_EQ(report["commands"].items.size(), 8u);  // two runs of %, 17, a version command, FI
}

TEST_F(Program, UsageErrorsExitWithTwo) {
  EXPECT_EQ(simtest::RunProgram(kProgram, {"--bogus"}), 2);
  EXPECT_EQ(simtest::RunProgram(kProgram, {"--fail-at", "rec:x"}), 2);
  EXPECT_EQ(simtest::RunProgram(kProgram, {"--help"}), 0);
}

}  // namespace
