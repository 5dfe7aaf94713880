// qsr470-update against qsr470-unitsim over a pseudo-terminal, both run as
// the programs they are. The unit's end report tells whether a run that
// said it completed really updated the unit.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hex/hex.h"
#include "json.h"
#include "platform/files.h"
#include "process.h"
#include "unit_report_check.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using simtest::Json;

const std::string kUpdater = QSR470_UPDATE_BIN;
const std::string kUnit = QSR470_UNITSIM_BIN;
const std::string kExamples = std::string(QSR470_EXAMPLES_DIR) + "/";
constexpr auto kRunDeadline = 300s;  // generous: sanitizer builds are slow

std::string Bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ImageSum(const std::string& file, std::uint16_t first, std::uint16_t last) {
  std::vector<std::string> lines;
  EXPECT_EQ(platform::ReadTextLines(kExamples + file, lines), platform::ReadStatus::kOk);
  return WordToHex(HexFileChecksum(lines, first, last));
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
    return e2e::ReadJsonFile(dir_ / "unit.json");
  }
  Json RunReport() { return e2e::ReadJsonFile(dir_ / "run.json"); }

  fs::path dir_;
  std::string tty_;
  e2e::Process unit_;
  e2e::Process updater_;
};

TEST_F(EndToEnd, SampleScriptCompletesAndTheUnitHoldsWhatTheFilesSay) {
  StartUnit();
  ASSERT_EQ(RunUpdater({kExamples + "script.ini"}), 0) << updater_.Err();
  // The window's idle prompt speaks of a button the command line has not got.
  const std::string done = "Program operation completed\n";
  EXPECT_EQ(updater_.Out().substr(updater_.Out().size() - done.size()), done);
  EXPECT_EQ(updater_.Out().find("Click on button START"), std::string::npos);
  EXPECT_EQ(updater_.Err(), "");

  const Json unit = UnitReport();
  for (const std::string& problem : e2e::CheckSampleScriptReport(unit, kExamples)) {
    ADD_FAILURE() << problem;
  }
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
  // The erase failed: the instruction was under way, but no file line had gone.
  EXPECT_EQ(updater_.Err(), "at script.ini:9 (P1 keyb1.hex)\n" + run["error"].text + "\n");
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
  EXPECT_EQ(updater_.Err(), "at script.ini:0 (SYN)\nStopped: the unit was not changed.\n");
  // The unit serves one run and ends when the updater lets go of the line.
  EXPECT_EQ(UnitReport()["ended_by"].text, "updater-closed");
}

TEST_F(EndToEnd, ClosedPipeAndClosedTerminalNeverEndAnUpdateHalfWay) {
  StartUnit({"--pace"});  // at the line's speed, so the run is still young below
  StartUpdater({kExamples + "script.ini"});
  std::string first;
  ASSERT_TRUE(updater_.ReadLine(first, 60s)) << updater_.Err();
  // `| head -1` has its line and goes; then the SSH connection drops.
  updater_.CloseOut();
  updater_.Signal(SIGHUP);
  EXPECT_EQ(updater_.Wait(kRunDeadline), 0) << updater_.Err();
  EXPECT_EQ(RunReport()["result"].text, "completed");
  EXPECT_FALSE(fs::exists(dir_ / "run.json.tmp"));
  for (const std::string& problem : e2e::CheckSampleScriptReport(UnitReport(), kExamples)) {
    ADD_FAILURE() << problem;
  }
}

TEST_F(EndToEnd, TermDuringAnUploadStopsAndSaysWhereAndThatTheUnitMayBeHalfUpdated) {
  StartUnit({"--silence-at", "rec:3"});
  StartUpdater({"--progress", "json", kExamples + "script.ini"});
  // The erase and two lines of boot.hex acknowledged: the third is out.
  ASSERT_TRUE(updater_.WaitForOutput("\"position\":3,\"max\":11", 60s)) << updater_.Out();
  updater_.Signal(SIGTERM);
  EXPECT_EQ(updater_.Wait(60s), 130);
  EXPECT_EQ(updater_.Err(),
            "at script.ini:7 (PB boot.hex), boot.hex:3\nStopped: the unit may be incompletely "
            "updated (PB boot.hex was under way); run the update again to complete it.\n");
  EXPECT_NE(updater_.Out().find("\"stopPosition\":\"at script.ini:7 (PB boot.hex), boot.hex:3\""),
            std::string::npos)
      << updater_.Out();
  const Json run = RunReport();
  EXPECT_EQ(run["result"].text, "stopped");
  EXPECT_EQ(run["stopLine"].number, 7);
  EXPECT_EQ(run["stopFile"].text, "boot.hex");
  EXPECT_EQ(run["stopFileLine"].number, 3);
  EXPECT_EQ(UnitReport()["ended_by"].text, "updater-closed");
}

TEST_F(EndToEnd, InjectedFailureNamesTheScriptLineAndTheFileLineUnderWay) {
  StartUnit({"--fail-at", "rec:2"});
  const std::string script = (dir_ / "job.ini").string();
  std::ofstream(script) << "rem one bank\nP1 keyb1.hex\n";
  // A stale temporary that is a link: the record must not go through it.
  std::ofstream(dir_ / "elsewhere") << "keep";
  fs::create_symlink(dir_ / "elsewhere", dir_ / "run.json.tmp");
  EXPECT_EQ(RunUpdater({script}), 1);
  EXPECT_EQ(Bytes(dir_ / "elsewhere"), "keep");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "run.json.tmp")));
  const Json run = RunReport();
  EXPECT_EQ(updater_.Err(),
            "at job.ini:2 (P1 keyb1.hex), keyb1.hex:2\n" + run["error"].text + "\n");
  EXPECT_EQ(run["stopPosition"].text, "at job.ini:2 (P1 keyb1.hex), keyb1.hex:2");
  EXPECT_EQ(run["unitChanged"].kind, Json::Kind::kBool);
  EXPECT_TRUE(run["unitChanged"].boolean);
}

TEST_F(EndToEnd, ReportThatCannotBeWrittenIsBadUsageAndTheUnitHearsNothing) {
  StartUnit();
  ASSERT_TRUE(updater_.Start({kUpdater, "--device", tty_, "--files", kExamples, "--report",
                              (dir_ / "absent" / "run.json").string(), kExamples + "script.ini"}));
  EXPECT_EQ(updater_.Wait(60s), 2);
  EXPECT_NE(updater_.Err().find("cannot write the report"), std::string::npos) << updater_.Err();
  // Nor may the record replace the job it is the record of.
  const fs::path job = dir_ / "job";
  fs::create_directories(job);
  fs::copy_file(kExamples + "keyb1.hex", job / "keyb1.hex");
  std::ofstream(job / "job.ini") << "P1 keyb1.hex\n";
  const std::string image = Bytes(job / "keyb1.hex");
  for (const fs::path& report : {job / "job.ini", job / "." / "keyb1.hex"}) {
    e2e::Process updater;
    ASSERT_TRUE(updater.Start(
        {kUpdater, "--device", tty_, "--report", report.string(), (job / "job.ini").string()}));
    EXPECT_EQ(updater.Wait(60s), 2) << report;
    EXPECT_NE(updater.Err().find("would replace the job's file"), std::string::npos)
        << updater.Err();
  }
  EXPECT_EQ(Bytes(job / "job.ini"), "P1 keyb1.hex\n");
  EXPECT_EQ(Bytes(job / "keyb1.hex"), image);
  unit_.Signal(SIGTERM);
  const Json unit = UnitReport();
  EXPECT_EQ(unit["ended_by"].text, "signal");
  EXPECT_TRUE(unit["commands"].items.empty());
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

TEST_F(EndToEnd, JobWithABadFileLateInTheScriptNeverReachesTheUnit) {
  StartUnit();
  const std::string script = (dir_ / "job.ini").string();
  std::ofstream(script) << "PB boot.hex\nP0 keyb0.hex\nrem the last bank\nP3 keyb3.hx\n";
  EXPECT_EQ(RunUpdater({script}), 1);
  EXPECT_EQ(updater_.Err(), script + ":4: " + kExamples + "keyb3.hx File not found !!!\n" +
                                kExamples + "keyb3.hx File not found !!!\n");
  // The updater never opened the line, so the unit is still waiting for it.
  unit_.Signal(SIGTERM);
  const Json unit = UnitReport();
  EXPECT_EQ(unit["ended_by"].text, "signal");
  EXPECT_TRUE(unit["commands"].items.empty());
  EXPECT_EQ(unit["boot"]["erases"].number, 0);
}

TEST_F(EndToEnd, ABadRecordInTheLastBankStopsTheJobBeforeTheUnitIsOpened) {
  StartUnit();
  for (const char* file : {"boot.hex", "keyb0.hex"})
    fs::copy_file(kExamples + file, dir_ / file);
  std::ifstream in(kExamples + "keyb3.hex");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string good = ":10802000E3EAF1F8FF060D141B222930373E454CD8";
  ASSERT_NE(text.find(good), std::string::npos);
  text.replace(text.find(good) + good.size() - 2, 2, "08");  // one wrong record checksum
  std::ofstream(dir_ / "keyb3.hex", std::ios::binary) << text;
  const std::string script = (dir_ / "job.ini").string();
  std::ofstream(script) << "PB boot.hex\nP0 keyb0.hex\nP3 keyb3.hex\n";

  EXPECT_EQ(RunUpdater({"--files", dir_.string() + "/", script}), 1);
  EXPECT_EQ(updater_.Err(), dir_.string() +
                                "/keyb3.hex:3: record checksum is 08, the bytes need D8\n"
                                "Error in HEX file keyb3.hex line : 3\n");
  unit_.Signal(SIGTERM);
  const Json unit = UnitReport();
  EXPECT_TRUE(unit["commands"].items.empty()) << "the unit was addressed";
  EXPECT_EQ(unit["banks"][0]["erases"].number, 0);
}

TEST_F(EndToEnd, CheckPlansTheSampleJobWithTheUnitsSumsAndAboutItsTime) {
  e2e::Process check;
  ASSERT_TRUE(check.Start({kUpdater, "--check", "--files", kExamples, kExamples + "script.ini"}));
  ASSERT_EQ(check.Wait(60s), 0) << check.Err();
  // The unit's own quiet times (call signs, the end of a version text) are
  // not the job's; keep them short so the comparison is the job's time.
  StartUnit({"--pace", "--text-gap", "2", "--call-period", "10"});
  ASSERT_EQ(RunUpdater({kExamples + "script.ini"}), 0) << updater_.Err();
  const Json unit = UnitReport();
  const std::string& plan = check.Out();
  EXPECT_NE(plan.find("boot.hex, 9 lines, checksum " + unit["boot"]["sum"].text), std::string::npos)
      << plan;
  for (std::size_t bank = 0; bank < 4; ++bank) {
    const std::string sum = unit["banks"][bank]["sum"].text;
    EXPECT_NE(plan.find("keyb" + std::to_string(bank) + ".hex, "), std::string::npos);
    EXPECT_NE(plan.find("checksum " + sum), std::string::npos) << "bank " << bank << "\n" << plan;
  }
  const auto about = plan.find("about ");
  ASSERT_NE(about, std::string::npos) << plan;
  const double estimate = std::stod(plan.substr(about + 6));
  const double real = RunReport()["durationMs"].number / 1000.0;
  EXPECT_GT(estimate, 0.0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Sanitizers slow the updater's own turns beyond what a plan can know.
  EXPECT_NEAR(estimate, real, real * 0.05);
#else
  EXPECT_GT(real, 0.0);
#endif
}

TEST_F(EndToEnd, SilentUnitEndsTheRunAtTheTimeout) {
  StartUnit({"--silence-at", "rec:3"});
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RunUpdater({"--timeout", "1", kExamples + "script.ini"}), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  // Two lines of the boot went through; the third is the one never answered.
  EXPECT_EQ(updater_.Err(),
            "at script.ini:7 (PB boot.hex), boot.hex:3\n"
            "Nothing came from the unit while the run waited\nNo reply from the unit for 1 s\n");
  EXPECT_EQ(UnitReport()["ended_by"].text, "updater-closed");
}

TEST_F(EndToEnd, UnitThatTalksButNeverAnswersEndsTheRunAtTheTimeout) {
  // "I" to the answer to its call sign, and it calls on: every byte is one
  // the synchronisation drops.
  StartUnit({"--fail-at", "cmd:1", "--call-period", "50"});
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RunUpdater({"--timeout", "1", kExamples + "script.ini"}), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  // The "I", then the call signs of the second that passed.
  const std::string& err = updater_.Err();
  EXPECT_NE(err.find("Last bytes from the unit while the run waited: \"I%%%%%"), std::string::npos)
      << err;
  const std::string end = "%\"\nNo reply from the unit for 1 s\n";
  EXPECT_EQ(err.substr(err.size() - std::min(err.size(), end.size())), end);
  UnitReport();
}

TEST_F(EndToEnd, UnitThatChattersInAnUploadEndsTheRunAtTheTimeout) {
  StartUnit({"--chatter-at", "rec:30", "--call-period", "50"});
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RunUpdater({"--timeout", "1", kExamples + "script.ini"}), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
  EXPECT_NE(updater_.Err().find("Last bytes from the unit while the run waited: \""),
            std::string::npos)
      << updater_.Err();
  EXPECT_EQ(UnitReport()["ended_by"].text, "updater-closed");
}

TEST_F(EndToEnd, UnitThatHangsUpIsReportedAtOnce) {
  StartUnit({"--hangup-at", "rec:3"});
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RunUpdater({kExamples + "script.ini"}), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_EQ(
      updater_.Err().rfind("at script.ini:7 (PB boot.hex), boot.hex:3\nSerial line lost (", 0), 0u)
      << updater_.Err();
  EXPECT_EQ(RunReport()["result"].text, "error");
}

TEST(CommandLine, CheckListsEveryProblemOfABadJob) {
  const std::string script =
      (fs::temp_directory_path() / ("qsr470-check-" + std::to_string(::getpid()) + ".ini"))
          .string();
  std::ofstream(script) << "PB boot.hex 12G4\n\nBOGUS line\nP1 absent.hex\nP4 prom1.svf\n";
  e2e::Process p;
  ASSERT_TRUE(p.Start({kUpdater, "--check", "--files", kExamples, script}));
  EXPECT_EQ(p.Wait(60s), 1);
  EXPECT_EQ(p.Err(), script + ":1: Bad checksum value !!!\n" + script +
                         ":3: Syntax Error in script file line : 3\n" + script +
                         ":4: " + kExamples + "absent.hex File not found !!!\n");
  EXPECT_NE(p.Out().find("prom1.svf, 26 records"), std::string::npos) << p.Out();
  fs::remove(script);

  // A script that is there but is no file says what it is.
  const std::string folder = fs::temp_directory_path().string();
  e2e::Process dir;
  ASSERT_TRUE(dir.Start({kUpdater, "--check", folder}));
  EXPECT_EQ(dir.Wait(60s), 1);
  EXPECT_EQ(dir.Err(), folder + " is a directory, not a file\n" + folder + ":0: " + folder +
                           " File not found !!!\n");
}

TEST(CommandLine, PortThatCannotBeOpenedIsReportedOncePerAttemptUntilStopped) {
  e2e::Process p;
  ASSERT_TRUE(p.Start({kUpdater, "--device", "/nonexistent/qsr470-tty", "--files", kExamples,
                       kExamples + "script.ini"}));
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

TEST(CommandLine, DeviceThatCanNeverBeASerialPortIsBadUsageAtOnce) {
  for (const std::string& device :
       {std::string("/dev/null"), fs::temp_directory_path().string(), kExamples + "script.ini"}) {
    e2e::Process p;
    ASSERT_TRUE(
        p.Start({kUpdater, "--device", device, "--files", kExamples, kExamples + "script.ini"}));
    EXPECT_EQ(p.Wait(60s), 2) << device;
    EXPECT_NE(p.Err().find("--device " + device + " is "), std::string::npos) << p.Err();
    EXPECT_EQ(p.Out(), "") << device;  // the run never began
  }
}

TEST(CommandLine, BadUsageExitsTwoAndHelpExitsZero) {
  e2e::Process p;
  ASSERT_TRUE(p.Start({kUpdater, "--port", "256"}));
  EXPECT_EQ(p.Wait(60s), 2);
  EXPECT_NE(p.Err().find("usage:"), std::string::npos);
  e2e::Process help;
  ASSERT_TRUE(help.Start({kUpdater, "--help"}));
  EXPECT_EQ(help.Wait(60s), 0);
  EXPECT_NE(help.Out().find("--readid"), std::string::npos);
}

// A job is a folder: given by a path relative to the current folder, its
// script's files are found beside it, not beside the program.
TEST(CommandLine, CheckFindsTheFilesBesideARelativeScript) {
  e2e::Process p;
  ASSERT_TRUE(p.Start({kUpdater, "--check", "script.ini"}, kExamples));
  EXPECT_EQ(p.Wait(60s), 0) << p.Err();
  EXPECT_EQ(p.Err(), "");
}

// Each adapter by its stable name, with the number --port takes for it, or
// "-" when only its path (for --device) reaches it.
TEST(CommandLine, ListPortsNamesAdaptersByTheirStablePaths) {
  const fs::path byId = fs::temp_directory_path() / ("qsr470-by-id-" + std::to_string(::getpid()));
  fs::create_directories(byId);
  const std::string mapped = "usb-Corvane_QSR470_Cable_A1-if00-port0";
  const std::string loose = "usb-FTDI_FT232R_USB_UART_B2-if00-port0";
  fs::create_symlink("/dev/null", byId / mapped);
  fs::create_symlink("/dev/zero", byId / loose);
  ::setenv("QSR470_SERIAL_BY_ID", byId.c_str(), 1);
  ::setenv("QSR470_COM12", "/dev/null", 1);
  ::setenv("QSR470_COM200", (byId / "unplugged").c_str(), 1);
  e2e::Process p;
  const bool started = p.Start({kUpdater, "--list-ports"});
  ::unsetenv("QSR470_SERIAL_BY_ID");
  ::unsetenv("QSR470_COM12");
  ::unsetenv("QSR470_COM200");
  ASSERT_TRUE(started);
  EXPECT_EQ(p.Wait(60s), 0) << p.Err();
  const std::string& out = p.Out();
  const std::string first = "12\t" + mapped + "\t" + (byId / mapped).string() + "\n";
  const std::string last = "-\t" + loose + "\t" + (byId / loose).string() + "\n";
  EXPECT_NE(out.find(first), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with(last)) << out;
  EXPECT_EQ(out.find("unplugged"), std::string::npos) << out;
  fs::remove_all(byId);
}

}  // namespace
