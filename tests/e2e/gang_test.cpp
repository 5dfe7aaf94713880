// Several units at once through qsr470-gang, and the progress objects it
// reads from each updater. Units are virtual, on pseudo-terminals reached
// through links whose names become the units' names.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
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

const std::string kGang = QSR470_GANG_BIN;
const std::string kUpdater = QSR470_UPDATER_BIN;
const std::string kUnit = QSR470_UNITSIM_BIN;
const std::string kExamples = std::string(QSR470_EXAMPLES_DIR) + "/";
constexpr auto kDeadline = 300s;  // generous: sanitizer builds are slow

std::string ImageSum(const std::string& file, std::uint16_t first, std::uint16_t last) {
  std::vector<std::string> lines;
  EXPECT_EQ(platform::ReadTextLines(kExamples + file, lines), platform::ReadStatus::kOk);
  return WordToHex(HexFileChecksum(lines, first, last));
}

// The summary table's row of one unit.
std::string Row(const std::string& table, const std::string& name) {
  std::istringstream in(table);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + " ", 0) == 0) return line;
  }
  return {};
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

class Gang : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qsr470-gang-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Unit `name` on a terminal linked as dir_/name; its own report is
  // dir_/name-unit.json.
  void StartUnit(const std::string& name, const std::vector<std::string>& extra = {}) {
    auto unit = std::make_unique<e2e::Process>();
    std::vector<std::string> args = {kUnit, "--link", Device(name), "--report",
                                     (dir_ / (name + "-unit.json")).string()};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(unit->Start(args));
    std::string tty;
    ASSERT_TRUE(unit->ReadLine(tty, 30s)) << unit->Err();
    units_.push_back(std::move(unit));
  }
  std::string Device(const std::string& name) const { return (dir_ / name).string(); }

  void StartGang(const std::vector<std::string>& devices) {
    std::vector<std::string> args = {kGang,
                                     "--updater",
                                     kUpdater,
                                     "--files",
                                     kExamples,
                                     "--report",
                                     (dir_ / "reports").string()};
    for (const auto& d : devices)
      args.insert(args.end(), {"--device", Device(d)});
    args.push_back(kExamples + "script.ini");
    ASSERT_TRUE(gang_.Start(args));
  }

  // Each unit ends when its updater lets go of the line, then writes its report.
  Json UnitReport(std::size_t index, const std::string& name) {
    EXPECT_EQ(units_[index]->Wait(60s), 0) << units_[index]->Err();
    return e2e::ReadJsonFile(dir_ / (name + "-unit.json"));
  }
  Json RunReport(const std::string& name) {
    return e2e::ReadJsonFile(dir_ / "reports" / (name + ".json"));
  }

  fs::path dir_;
  std::vector<std::unique_ptr<e2e::Process>> units_;
  e2e::Process gang_;
};

TEST_F(Gang, OneFailingUnitDoesNotStopTheOthersAndEachRecordMatchesItsUnit) {
  StartUnit("unit1");
  StartUnit("unit2", {"--fail-at", "P1"});
  StartUnit("unit3");
  StartGang({"unit1", "unit2", "unit3"});
  // The terminal closes as the units start: a dropped connection must not
  // leave them half updated.
  ASSERT_TRUE(gang_.WaitForOutput("identified A470", kDeadline, true)) << gang_.Err();
  gang_.Signal(SIGHUP);
  EXPECT_EQ(gang_.Wait(kDeadline), 1) << gang_.Err();

  const std::string& table = gang_.Out();
  EXPECT_NE(Row(table, "unit1").find(" completed "), std::string::npos) << table;
  EXPECT_NE(Row(table, "unit3").find(" completed "), std::string::npos) << table;
  const std::string failed = Row(table, "unit2");
  EXPECT_NE(failed.find(" error "), std::string::npos) << table;
  EXPECT_EQ(failed.substr(failed.size() - 23), "Error while erasing !!!") << table;
  // Not a terminal: one plain line per event that matters.
  EXPECT_NE(gang_.Err().find("unit2: failed after "), std::string::npos) << gang_.Err();
  EXPECT_NE(gang_.Err().find("unit1: identified A470"), std::string::npos) << gang_.Err();

  for (const std::string name : {"unit1", "unit3"}) {
    const Json unit = UnitReport(name == "unit1" ? 0 : 2, name);
    EXPECT_EQ(unit["boot"]["sum"].text, ImageSum("boot.hex", 0x4000, 0x5FFF)) << name;
    EXPECT_EQ(unit["banks"][0]["sum"].text, ImageSum("keyb0.hex", 0x0000, 0x7FFF)) << name;
    for (std::size_t bank = 1; bank <= 3; ++bank) {
      EXPECT_EQ(unit["banks"][bank]["sum"].text,
                ImageSum("keyb" + std::to_string(bank) + ".hex", 0x8000, 0xFFFF))
          << name;
    }
    EXPECT_EQ(unit["proms"][1]["erases"].number, 1) << name;
    EXPECT_TRUE(unit["finished"].boolean) << name;
    EXPECT_EQ(RunReport(name)["result"].text, "completed") << name;
  }
  const Json unit2 = UnitReport(1, "unit2");
  EXPECT_EQ(unit2["boot"]["sum"].text, ImageSum("boot.hex", 0x4000, 0x5FFF));
  EXPECT_EQ(unit2["banks"][2]["erases"].number, 0);  // nothing after the failure
  EXPECT_FALSE(unit2["finished"].boolean);
  const Json run2 = RunReport("unit2");
  EXPECT_EQ(run2["result"].text, "error");
  EXPECT_EQ(run2["error"].text, "Error while erasing !!!");
  EXPECT_EQ(run2["deviceId"].text, "A470");

  const Json summary = e2e::ReadJsonFile(dir_ / "reports" / "summary.json");
  EXPECT_EQ(summary["exit"].number, 1);
  ASSERT_EQ(summary["units"].items.size(), 3u);
  EXPECT_EQ(summary["units"][1]["error"].text, "Error while erasing !!!");
  EXPECT_EQ(summary["units"][2]["result"].text, "completed");
}

TEST_F(Gang, CtrlCStopsEveryUnitAndFreesEveryPort) {
  // Each unit falls silent in the middle of the boot upload, so the Ctrl-C
  // surely finds every updater waiting in an upload.
  for (const std::string name : {"unit1", "unit2", "unit3"})
    StartUnit(name, {"--silence-at", "rec:3"});
  StartGang({"unit1", "unit2", "unit3", "absent"});
  ASSERT_TRUE(gang_.WaitFor(
      [&] {
        return Count(gang_.Err(), "started PB boot.hex") == 3 &&
               Count(gang_.Err(), "absent: Error while opening") >= 1;
      },
      kDeadline))
      << gang_.Err();
  gang_.Signal(SIGINT);
  EXPECT_EQ(gang_.Wait(kDeadline), 130) << gang_.Err();

  const std::string& table = gang_.Out();
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string name = "unit" + std::to_string(i + 1);
    EXPECT_NE(Row(table, name).find(" stopped "), std::string::npos) << table;
    const Json run = RunReport(name);
    EXPECT_EQ(run["result"].text, "stopped") << name;
    // Where the run stood and what became of the unit, as the updater's own
    // record says: the erase may or may not have been acknowledged by then.
    EXPECT_EQ(run["stopPosition"].text.rfind("at script.ini:7 (PB boot.hex)", 0), 0u) << name;
    const std::string said =
        " " + run["stopPosition"].text + ": " +
        (run["unitChanged"].boolean ? "the unit may be incompletely updated (PB boot.hex was "
                                      "under way); run the update again to complete it"
                                    : "the unit was not changed");
    const std::string plain = name + ": stopped after ";
    const auto at = gang_.Err().find(plain);
    ASSERT_NE(at, std::string::npos) << gang_.Err();
    const std::string line = gang_.Err().substr(at, gang_.Err().find('\n', at) - at);
    EXPECT_TRUE(line.ends_with(said)) << line << "\n" << said;
    EXPECT_TRUE(Row(table, name).ends_with(said)) << table;
    EXPECT_EQ(UnitReport(i, name)["ended_by"].text, "updater-closed") << name;
  }
  // The device that never opened is that unit's failure, in its own row.
  EXPECT_NE(Row(table, "absent").find("Error while opening"), std::string::npos) << table;
  EXPECT_EQ(e2e::ReadJsonFile(dir_ / "reports" / "summary.json")["exit"].number, 130);
}

TEST_F(Gang, SameDeviceTwiceIsRefusedBeforeAnythingStarts) {
  StartUnit("unit1");
  ASSERT_TRUE(fs::exists(Device("unit1")));
  fs::create_symlink(Device("unit1"), dir_ / "alias");
  StartGang({"unit1", "alias"});
  EXPECT_EQ(gang_.Wait(kDeadline), 2);
  EXPECT_NE(gang_.Err().find("named twice"), std::string::npos) << gang_.Err();
  EXPECT_FALSE(fs::exists(dir_ / "reports"));
  // The unit was never opened: it is still waiting for its run.
  units_[0]->Signal(SIGTERM);
  EXPECT_EQ(UnitReport(0, "unit1")["counts"]["commands"].number, 0);
}

TEST_F(Gang, WhatTheUpdaterWouldRefuseStopsTheGangBeforeAnyUnit) {
  StartUnit("unit1");
  const std::vector<std::vector<std::string>> refused = {
      {"--timeout", "0"}, {"--device", "/dev/null"}, {"--mode", "auto", "--skip", "prom1"}};
  for (const auto& bad : refused) {
    std::vector<std::string> args = {kGang,
                                     "--updater",
                                     kUpdater,
                                     "--files",
                                     kExamples,
                                     "--report",
                                     (dir_ / "reports").string(),
                                     "--device",
                                     Device("unit1")};
    args.insert(args.end(), bad.begin(), bad.end());
    args.push_back(kExamples + "script.ini");
    e2e::Process gang;
    ASSERT_TRUE(gang.Start(args));
    EXPECT_EQ(gang.Wait(kDeadline), 2) << bad[0] << " " << bad[1];
  }
  EXPECT_FALSE(fs::exists(dir_ / "reports"));
  units_[0]->Signal(SIGTERM);
  EXPECT_EQ(UnitReport(0, "unit1")["counts"]["commands"].number, 0);
}

// The same run told as status lines and as progress objects.
TEST_F(Gang, ProgressObjectsCarryThePlainRunsStatusLines) {
  auto run = [&](const std::string& name, const std::vector<std::string>& extra) {
    StartUnit(name);
    e2e::Process updater;
    std::vector<std::string> args = {kUpdater, "--device", Device(name), "--files", kExamples};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(kExamples + "script.ini");
    EXPECT_TRUE(updater.Start(args));
    EXPECT_EQ(updater.Wait(kDeadline), 0) << updater.Err();
    return updater.Out();
  };
  const std::string plain = run("plain", {});
  const std::string objects = run("json", {"--progress", "json"});

  std::istringstream in(objects);
  std::string statusLines;
  std::vector<Json> events;
  double lastT = 0;
  int begun = 0;
  int ended = 0;
  for (std::string line; std::getline(in, line);) {
    Json e;
    ASSERT_TRUE(simtest::ParseJson(line, e)) << line;
    ASSERT_EQ(e.kind, Json::Kind::kObject) << line;
    EXPECT_GE(e["t"].number, lastT) << line;
    lastT = e["t"].number;
    const std::string& event = e["event"].text;
    if (event == "status") statusLines += e["text"].text + "\n";
    if (event == "instruction") ++begun;
    if (event == "instructionEnd") ++ended;
    events.push_back(e);
  }
  EXPECT_EQ(statusLines, plain);
  ASSERT_FALSE(events.empty());
  const Json& end = events.back();
  EXPECT_EQ(end["event"].text, "end");
  EXPECT_EQ(end["result"].text, "completed");
  EXPECT_EQ(end["exit"].number, 0);
  EXPECT_EQ(begun, ended);
  EXPECT_GT(begun, 20);  // SYN, every instruction of the sample, FI
  auto first = [&](const std::string& event) -> const Json* {
    for (const Json& e : events) {
      if (e["event"].text == event) return &e;
    }
    return nullptr;
  };
  ASSERT_NE(first("identity"), nullptr);
  EXPECT_EQ((*first("identity"))["deviceId"].text, "A470");
  ASSERT_NE(first("progress"), nullptr);
  int fullBars = 0;
  for (const Json& e : events) {
    if (e["event"].text == "progress" && e["max"].number > 0 &&
        e["position"].number == e["max"].number) {
      ++fullBars;
    }
  }
  EXPECT_GT(fullBars, 0);
}

}  // namespace
