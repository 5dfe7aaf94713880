// The run loop, driven tick by tick against an in-memory link and a fake
// unit, through the same receivers the window wires in the product.
#include "app/main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "fake_link.h"
#include "handlers/InstCourante.h"
#include "handlers/progboot.h"
#include "platform/tick.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr const char* kIdle = "Click on button START to begin program operation";
constexpr const char* kDone = "Program operation completed";

class RunLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("qsr470-app-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    platform::SetTickSource([this] { return now_; });
  }
  void TearDown() override {
    platform::SetTickSource({});
    main_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Builds the window with `script` as its command-line script.
  void Make(const std::string& script) {
    const auto path = (dir_ / "script.ini").string();
    std::ofstream(path, std::ios::binary) << script;
    MakeWithArgument(path);
  }
  void MakeWithArgument(std::optional<std::string> argument) {
    auto link = std::make_unique<FakeLink>();
    link_ = link.get();
    main_ = std::make_unique<TMainFich>(std::move(link), std::move(argument));
    main_->SetFileFolder(dir_.string() + "/");
    main_->OnErrorBox = [this](const std::string& text) { errorBoxes_.push_back(text); };
    main_->OnClose = [this] { closed_ = true; };
  }

  // One timer tick, then the unit answers what it was sent and one piece of
  // its reply arrives, as the link would hand it over.
  void Tick() {
    now_ += 10;
    if (main_->Timer1.Enabled) main_->Timer1Timer();
    while (answered_ < link_->outgoing.size()) {
      const auto reply = unit_.Reply(link_->outgoing[answered_++]);
      if (!reply.empty()) link_->arriving.push_back(reply);
    }
    // Started with ENTER held, the unit repeats its call sign until answered.
    const bool answered = std::find(Sent().begin(), Sent().end(), "%") != Sent().end();
    if (link_->isOpen && !answered && link_->arriving.empty()) link_->arriving.push_back("%");
    if (link_->isOpen && !link_->arriving.empty() && link_->incoming.empty()) {
      link_->incoming = link_->arriving.front();
      link_->arriving.pop_front();
      link_->OnIncoming();
    }
  }

  bool RunUntil(const std::function<bool()>& done, int maxTicks = 5000) {
    for (int i = 0; i < maxTicks && !closed_; ++i) {
      if (done()) return true;
      Tick();
    }
    return done();
  }

  // Starts a run from idle and runs it until it ends, one way or the other.
  void RunToEnd() {
    Tick();  // idle tick
    main_->StartClick();
    RunUntil([this] { return !main_->Record.Result.empty(); });
    RunUntil([this] { return closed_ || main_->RunState == TRunState::Idle; }, 10);
  }

  const Lines& Sent() const { return link_->outgoing; }
  const Lines& Status() const { return main_->MemoStatus.Lines; }

  fs::path dir_;
  std::uint32_t now_ = 1000;
  std::unique_ptr<TMainFich> main_;
  FakeLink* link_ = nullptr;
  FakeUnit unit_;
  std::size_t answered_ = 0;
  std::vector<std::string> errorBoxes_;
  bool closed_ = false;
};

TEST_F(RunLoop, ScriptWithoutInstructionsStillSynchronisesAndEndsTheUnit) {
  Make("rem nothing to do\r\n\r\n");
  RunToEnd();
  EXPECT_EQ(Sent(), (Lines{"%", "17", "FI"}));
  EXPECT_EQ(main_->Record.Result, "completed");
  EXPECT_EQ(Status().back(), kDone);
  Tick();  // the idle state shows its prompt again once
  EXPECT_EQ(Status().back(), kIdle);
  EXPECT_FALSE(link_->isOpen);
  EXPECT_FALSE(closed_);
  EXPECT_EQ(std::count(Status().begin(), Status().end(), kIdle), 2);
}

TEST_F(RunLoop, RunShowsItsStepsAndTheUnitsIdentity) {
  Make("prompt Hello\nRS\n");
  RunToEnd();
  const Lines expected = {kIdle,
                          "Start the device while pushing the ENTER button",
                          "Verify Device Type",
                          "Boot Checksum : B234",
                          "Device ID : 1A2B",
                          "Hello",
                          "Reset",
                          kDone};
  EXPECT_EQ(Status(), expected);
  EXPECT_EQ(Sent(), (Lines{"%", "17", "RS", "FI"}));
  EXPECT_EQ(main_->Caption, "Corvane QSR470 Updater  (Device Id : 1A2B)");
  EXPECT_EQ(main_->Record.DeviceId, "1A2B");
  EXPECT_EQ(main_->Record.BootChecksum, "B234");
  // The idle state forgets the identity but does not repaint the title.
  Tick();
  EXPECT_EQ(main_->DeviceID, 0);
  EXPECT_EQ(main_->Caption, "Corvane QSR470 Updater  (Device Id : 1A2B)");
  main_->FormPaint();
  EXPECT_EQ(main_->Caption, "Corvane QSR470 Updater  (Device Id Unknown)");
}

TEST_F(RunLoop, SyntaxErrorsNameTheLineCountingCommentsAndBlankLines) {
  struct Case {
    std::string script;
    std::string error;
  };
  const Case cases[] = {
      {"rem first\n\nBOGUS\n", "Syntax Error in script file line : 3"},
      {"   rem indented comment\nREM shouted\n", "Syntax Error in script file line : 2"},
      {"prompt a\nvery wrong\nprompt b", "Syntax Error in script file line : 2"},
  };
  for (const auto& c : cases) {
    errorBoxes_.clear();
    closed_ = false;
    answered_ = 0;
    Make(c.script);
    RunToEnd();
    EXPECT_EQ(std::count(Status().begin(), Status().end(), c.error), 1) << c.script;
    EXPECT_EQ(errorBoxes_, (Lines{c.error}));
    EXPECT_TRUE(closed_);
    EXPECT_FALSE(link_->isOpen);
    EXPECT_EQ(main_->Record.Result, "error");
  }
}

TEST_F(RunLoop, MissingScriptNamesItsFullPathAndEndsTheProgram) {
  const std::string path = (dir_ / "absent.ini").string();
  MakeWithArgument(path);
  RunToEnd();
  EXPECT_EQ(Status().back(), path + " File not found !!!");
  EXPECT_EQ(errorBoxes_, (Lines{path + " File not found !!!"}));
  EXPECT_TRUE(closed_);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(RunLoop, HandlerErrorIsShownOnceThenTheBoxThenClose) {
  unit_.overrides["RS"] = "I";
  Make("RS\nprompt never\n");
  RunToEnd();
  EXPECT_EQ(std::count(Status().begin(), Status().end(), "Instruction unknown"), 1);
  EXPECT_EQ(errorBoxes_, (Lines{"Instruction unknown"}));
  EXPECT_TRUE(closed_);
  EXPECT_FALSE(main_->Timer1.Enabled);
  EXPECT_EQ(std::count(Sent().begin(), Sent().end(), "FI"), 0);
  // Nothing runs once closing has begun.
  const auto before = Status().size();
  main_->RunStep();
  main_->LinkDataArrived();
  EXPECT_EQ(Status().size(), before);
}

TEST_F(RunLoop, ScriptProgressCountsLinesWithoutRemAndStepsPerInstruction) {
  // Counted: "prompt a", "   " (blank but not empty), "prompt b": maximum 1 + 3.
  // Stepped: the synchronisation, "prompt a", "prompt b", and "prompt rem" which
  // is executed but not counted.
  Make("prompt a\n   \nrem c\nprompt rem\n\nprompt b\n");
  int maxSeen = 0;
  RunToEnd();
  maxSeen = main_->ProgressBar2.Max;
  EXPECT_EQ(maxSeen, 4);
  EXPECT_EQ(main_->ProgressBar2.Position, 4);  // four steps, a full bar
  EXPECT_EQ(main_->Record.Result, "completed");
}

TEST_F(RunLoop, ManualModeTurnsUnselectedComponentLinesIntoNP) {
  Make("P5 prom2.eff\n  V5 0101\nF 5\nP\t4 prom1.eff\nprompt x\n");
  main_->CompSel.CBProm2.Checked = false;
  main_->CompSel.CBProm1.Checked = false;
  RunToEnd();
  EXPECT_EQ(main_->Record.Result, "completed");
  EXPECT_EQ(Sent(), (Lines{"%", "17", "NP", "NP", "NP", "NP", "FI"}));
  ASSERT_EQ(main_->Record.Skipped.size(), 2u);
  EXPECT_EQ(main_->Record.Skipped[0].Component, 4);
  EXPECT_EQ(main_->Record.Skipped[1].Component, 5);
}

TEST_F(RunLoop, LostLineStopsTheRunWithItsReasonAndClosesTheWindow) {
  Make("wait 100000\n");
  Tick();
  main_->StartClick();
  ASSERT_TRUE(
      RunUntil([this] { return main_->RunState == TRunState::Execute && !Sent().empty(); }));
  link_->OnLineLost("cable pulled");
  RunUntil([this] { return closed_; });
  EXPECT_EQ(errorBoxes_, Lines{"Serial line lost (cable pulled)"});
  EXPECT_EQ(main_->Record.Result, "error");
  EXPECT_FALSE(link_->isOpen);
}

TEST_F(RunLoop, AutoModeSkipsComponentsWhoseVersionIsCurrent) {
  unit_.versions['2'] = "0105";
  unit_.versions['5'] = "0200";
  Make("T2 0105\nT5 0200\nP0 k0.hex\nV3 0105\nF1\nP5 p2.eff\nV4 0101\nprompt end\n");
  // Lines that the versions will skip are still part of the job, so checked.
  std::ofstream(dir_ / "k0.hex") << ":00000001FF\n";
  std::ofstream(dir_ / "p2.eff") << "SIR 8 TDI (FE);\n";
  Lines seen;
  main_->OnStatusLine = [&](const std::string& line) {
    if (line == "end") seen = main_->Script;
  };
  main_->MAutoClick();
  RunToEnd();
  EXPECT_EQ(main_->Record.Result, "completed");
  // Banks 0 to 3 all go for component 2; component 5 alone for 5; V4 stays.
  const Lines expected = {"T2 0105", "T5 0200", "NP", "NP", "NP", "NP", "V4 0101", "prompt end"};
  EXPECT_EQ(seen, expected);
}

TEST_F(RunLoop, ManualModeIgnoresVersionsAndAutoModeIgnoresTheDialog) {
  unit_.versions['5'] = "0200";
  Make("T5 0200\nV5 0201\n");
  RunToEnd();  // Manual: the version does not skip V5
  EXPECT_EQ(std::count(Sent().begin(), Sent().end(), "V5"), 1);
  Make("V5 0201\n");
  main_->CompSel.CBProm2.Checked = false;
  main_->MAutoClick();
  answered_ = 0;
  RunToEnd();  // Auto: the unticked box does not skip V5 either
  EXPECT_EQ(std::count(Sent().begin(), Sent().end(), "V5"), 1);
}

TEST_F(RunLoop, StopClosesThePortAtOnceAndTheNextTickResets) {
  unit_.silent = true;
  Make("prompt a\n");
  Tick();
  main_->StartClick();
  RunUntil([this] { return main_->ProgBoot->Busy(); });
  ASSERT_TRUE(link_->isOpen);
  EXPECT_EQ(main_->Start.Caption, "STOP");
  EXPECT_FALSE(main_->Port1.Enabled);
  EXPECT_TRUE(main_->Speed1.Enabled);
  main_->StartClick();
  EXPECT_FALSE(link_->isOpen);
  EXPECT_EQ(main_->RunState, TRunState::Idle);
  EXPECT_EQ(main_->Record.Result, "stopped");
  Tick();
  EXPECT_FALSE(main_->ProgBoot->Busy());
  EXPECT_EQ(main_->Start.Caption, "START");
  EXPECT_TRUE(main_->Port1.Enabled);
  EXPECT_FALSE(closed_);
}

TEST_F(RunLoop, RunUsesTheSettingsChosenBeforeStart) {
  Make("prompt a\n");
  main_->ComClick(7);
  main_->SlowClick();
  Tick();
  main_->StartClick();
  RunUntil([this] { return main_->RunState == TRunState::Execute; });
  EXPECT_EQ(link_->selectedPort, 7);
  EXPECT_TRUE(main_->ProgBoot->SlowLink());
  main_->ComClick(212);  // a USB adapter's port, beyond the menu's nine
  EXPECT_FALSE(main_->Com[6].Checked);
  main_->StartClick();  // STOP
  Tick();
  main_->StartClick();
  RunUntil([this] { return main_->RunState == TRunState::Execute; });
  EXPECT_EQ(link_->selectedPort, 212);
  main_->StartClick();  // STOP
  main_->ComClick(3);
  EXPECT_EQ(main_->CheckedPort(), 3);
}

// A job is a folder anywhere: a script given by a relative path is the file
// of that name in the folder current at start-up, and its files are looked
// up beside it, whatever the current folder is later.
TEST_F(RunLoop, FilesAreLookedUpBesideTheScriptGivenAtStartUp) {
  const fs::path job = dir_ / "job 1";
  fs::create_directories(job);
  std::ofstream(job / "script.ini") << "PB boot.hex\n";
  const fs::path before = fs::current_path();
  fs::current_path(dir_);
  auto link = std::make_unique<FakeLink>();
  link_ = link.get();
  main_ = std::make_unique<TMainFich>(std::move(link), "job 1/script.ini");
  main_->OnErrorBox = [this](const std::string& text) { errorBoxes_.push_back(text); };
  main_->OnClose = [this] { closed_ = true; };
  fs::current_path(before);
  RunToEnd();
  EXPECT_EQ(errorBoxes_, (Lines{(job / "boot.hex").string() + " File not found !!!"}));
  EXPECT_TRUE(Sent().empty());  // the job check stops it before the port opens
}

TEST_F(RunLoop, RepliesInPiecesAreJoinedBeforeTheHandlerLooksAtThem) {
  unit_.overrides["17"] = "";
  Make("prompt a\n");
  Tick();
  main_->StartClick();
  RunUntil([this] { return std::find(Sent().begin(), Sent().end(), "17") != Sent().end(); });
  for (const char* piece : {".12", "34", "AB", "CD", "."})
    link_->arriving.push_back(piece);
  RunUntil([this] { return !main_->Record.Result.empty(); });
  EXPECT_EQ(main_->Record.DeviceId, "ABCD");
  EXPECT_EQ(main_->Record.Result, "completed");
}

TEST_F(RunLoop, OpenRequestThatFailsStopsTheRun) {
  Make("prompt a\n");
  link_->openSucceeds = false;
  RunToEnd();
  EXPECT_EQ(errorBoxes_, (Lines{"Error while opening "}));
  EXPECT_TRUE(closed_);
}

TEST_F(RunLoop, TimeoutCountsProgressNotBytes) {
  // The unit refuses the answer to its call sign and calls on: the boot
  // handler drops every byte while it waits for ".", so bytes keep coming
  // and the run never moves on.
  unit_.overrides["%"] = "I";
  Make("RS\n");
  main_->SetReplyTimeout(1);
  Tick();
  main_->StartClick();
  RunUntil([this] { return !Sent().empty(); });
  const std::uint32_t answered = now_;
  RunUntil([this] {
    if (link_->isOpen) link_->arriving.push_back("%");
    return !main_->Record.Result.empty();
  });
  EXPECT_EQ(main_->LastError, "No reply from the unit for 1 s");
  EXPECT_GE(now_ - answered, 1000u);
  EXPECT_LE(now_ - answered, 1100u);
  EXPECT_EQ(main_->StallText(),
            "Last bytes from the unit while the run waited: \"" + std::string(32, '%') + "\"");
  EXPECT_EQ(Sent(), (Lines{"%"}));
}

TEST_F(RunLoop, TimeoutSparesAWaitAndSaysWhenNothingCame) {
  unit_.overrides["RS"] = "";
  Make("wait 2500\nRS\n");
  main_->SetReplyTimeout(1);
  RunToEnd();
  EXPECT_EQ(Sent(), (Lines{"%", "17", "RS"}));
  EXPECT_EQ(errorBoxes_, (Lines{"No reply from the unit for 1 s"}));
  EXPECT_EQ(main_->StallText(), "Nothing came from the unit while the run waited");
  EXPECT_GE(main_->Record.Lines.at(1).DurationMs, 2500u);
}

TEST(MainWindow, StartsWithTheSettingsOfEveryProgramStart) {
  auto link = std::make_unique<FakeLink>();
  TMainFich main(std::move(link), std::nullopt);
  EXPECT_EQ(main.Caption, "Corvane QSR470 Updater  (Device Id Unknown)");
  EXPECT_TRUE(main.Com[0].Checked);
  EXPECT_TRUE(main.MManual.Checked);
  EXPECT_FALSE(main.MAuto.Checked);
  EXPECT_TRUE(main.Fast.Checked);
  EXPECT_TRUE(main.Timer1.Enabled);
  EXPECT_EQ(main.Timer1.Interval, 10);
  EXPECT_TRUE(main.CompSel.CBKeyb.Checked && main.CompSel.CBProm1.Checked &&
              main.CompSel.CBProm2.Checked);
  EXPECT_EQ(main.AboutBox.Caption, "About \"Corvane QSR470 Updater\"");
  EXPECT_EQ(main.AboutBox.LVersion.rfind("Version : ", 0), 0u);
  int dialogs = 0;
  main.OnShowCompSel = [&](TCompSelDlg&) { ++dialogs; };
  main.MAutoClick();
  EXPECT_EQ(dialogs, 0);
  main.MManualClick();
  EXPECT_EQ(dialogs, 1);
  main.DeviceID = 0x1A2B;
  main.FormPaint();
  EXPECT_EQ(main.Caption, "Corvane QSR470 Updater  (Device Id : 1A2B)");
}

TEST(MainWindow, StatusDisplayDoesNotRepeatItsLastLine) {
  TMainFich main(std::make_unique<FakeLink>(), std::nullopt);
  main.ShowInfo("");  // an empty display counts as an empty last line
  main.ShowInfo("a");
  main.ShowInfo("a");
  main.ShowInfo("b");
  main.ShowInfo("a");
  EXPECT_EQ(main.MemoStatus.Lines, (Lines{"a", "b", "a"}));
}

}  // namespace
