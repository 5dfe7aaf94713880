// The PROM dialogue driven through the test owner, the way the main window
// drives it: the test plays the unit reply by reply and checks what the
// handler sends, shows and reports. Record lines are the known answers of the
// interpreter's tests.
#include "handlers/progjtag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/files.h"
#include "test_owner.h"

namespace {

using Texts = std::vector<std::string>;

const std::string kEsc = "\x1B";
const std::string kEnd = ":00000001FF\r\n";

class ProgJtag : public ::testing::Test {
 protected:
  void SetUp() override {
    owner.Attach(jtag);
    jtag.SetFileFolder(folder.Path());
    jtag.SetUpdateAllowed(true);
  }

  // Writes the Effect file, offers the instruction and runs its load step.
  void Load(const std::string& bytes, const std::string& line = "P4 prom1.svf") {
    folder.Write("prom1.svf", bytes);
    ASSERT_TRUE(owner.Offer(jtag, line));
    jtag.Step();
  }

  // The unit's reply, then one step; returns what that step sent, if anything.
  std::string Answer(const std::string& reply) {
    const std::size_t before = owner.sent.size();
    owner.Reply(reply);
    jtag.Step();
    EXPECT_LE(owner.sent.size(), before + 1) << "one command per step";
    return owner.sent.size() > before ? owner.sent.back() : std::string();
  }

  // Loads the file and acknowledges "P4"; returns the first record sent.
  std::string Begin(const std::string& bytes) {
    Load(bytes);
    EXPECT_EQ(owner.sent, Texts{"P4"});
    return Answer(".");
  }

  int Count(const std::string& event) const {
    return static_cast<int>(std::count(owner.events.begin(), owner.events.end(), event));
  }

  // Index of the first event with this name, or -1.
  int IndexOf(const std::string& event) const {
    const auto it = std::find(owner.events.begin(), owner.events.end(), event);
    return it == owner.events.end() ? -1 : static_cast<int>(it - owner.events.begin());
  }

  void ExpectFailedWith(const std::string& message) {
    EXPECT_EQ(owner.errors, Texts{message});
    EXPECT_EQ(jtag.State(), TProgJtag::TState::Failed);
    EXPECT_FALSE(owner.busy);
    EXPECT_FALSE(jtag.EffectFileOpen());
  }

  TempFolder folder;
  FakeClock clock;
  TestOwner owner;
  TProgJtag jtag;
};

TEST_F(ProgJtag, TakesOnlyPromDevicesAfterItsLetters) {
  struct Case {
    std::string line;
    bool taken;
    TProgJtag::TState first;
  };
  const Case cases[] = {
      {"P4 prom1.svf", true, TProgJtag::TState::PLoad},
      {"P 5 prom2.svf", true, TProgJtag::TState::PLoad},
      {"D5", true, TProgJtag::TState::IdSend},
      {"D 4 whatever", true, TProgJtag::TState::IdSend},
      {"F4", true, TProgJtag::TState::FSend},
      {"P3 x", false, TProgJtag::TState::Idle},
      {"D6", false, TProgJtag::TState::Idle},
      {"F", false, TProgJtag::TState::Idle},
      {"", false, TProgJtag::TState::Idle},
      {"p4 prom1.svf", false, TProgJtag::TState::Idle},
      {" P4 prom1.svf", false, TProgJtag::TState::Idle},
      {"V4", false, TProgJtag::TState::Idle},
  };
  for (const auto& c : cases) {
    jtag.Reset();
    owner.ClearRecords();
    EXPECT_EQ(owner.Offer(jtag, c.line), c.taken) << c.line;
    EXPECT_EQ(jtag.State(), c.first) << c.line;
    EXPECT_TRUE(owner.sent.empty()) << "nothing is sent in the step that takes a line";
  }
}

TEST_F(ProgJtag, FileNameIsTheTrimmedRestAfterTheDigit) {
  folder.Write("prom 2.svf", "STATE RESET;\n");
  ASSERT_TRUE(owner.Offer(jtag, "P 5  prom 2.svf "));
  jtag.Step();
  EXPECT_EQ(owner.sent, Texts{"P5"});
  EXPECT_EQ(jtag.DeviceDigit(), "5");
  EXPECT_TRUE(owner.errors.empty());
}

TEST_F(ProgJtag, PlaysAFileRecordByRecordAndEndsWithTheEndRecord) {
  Load(
      "// header comment\r\n"
      "TRST OFF;\r\n"
      "STATE RESET IDLE;\r\n"
      "ENDIR IRPAUSE;\r\n"
      "// another comment\r\n"
      "RUNTEST 1000 TCK;\r\n"
      "SIR 8 TDI (FE);");  // a last line without its end counts
  EXPECT_EQ(owner.sent, Texts{"P4"});
  EXPECT_EQ(clock.sleeps, std::vector<std::uint32_t>{1000});
  EXPECT_EQ(owner.progressMax, 7);  // comment lines count
  EXPECT_EQ(jtag.State(), TProgJtag::TState::PAck);

  EXPECT_EQ(Answer("."), ":020000050001F8\r\n");
  EXPECT_EQ(owner.infos, Texts{"Updating Prom Devices"});
  EXPECT_EQ(jtag.LinesRead(), 3);
  EXPECT_EQ(Answer("."), ":010000060DEC\r\n");
  EXPECT_EQ(Answer(""), "");  // nothing yet: wait
  EXPECT_EQ(Answer("."), ":04000004000003E80D\r\n");
  EXPECT_EQ(Answer("."), ":01000862FE97\r\n");
  EXPECT_EQ(Answer("."), kEnd);
  EXPECT_EQ(owner.progressSteps, 4);  // every record but the end record
  EXPECT_EQ(Answer("."), "");
  EXPECT_EQ(owner.speedUps, 1);
  EXPECT_EQ(owner.speedDowns, 0);
  EXPECT_EQ(jtag.State(), TProgJtag::TState::Done);
  EXPECT_TRUE(owner.busy);
  jtag.Step();
  EXPECT_EQ(jtag.State(), TProgJtag::TState::Idle);
  EXPECT_FALSE(owner.busy);
  EXPECT_FALSE(jtag.EffectFileOpen());
  EXPECT_TRUE(owner.errors.empty());
  EXPECT_EQ(owner.rx, "");
}

TEST_F(ProgJtag, SlowLinkAnnouncesWithSThenLowersTheSpeedBeforeP) {
  jtag.SetSlowLink(true);
  Load("STATE RESET;\n");
  EXPECT_EQ(owner.sent, Texts{"S4"});
  owner.ClearRecords();
  EXPECT_EQ(Answer("."), "P4");
  EXPECT_EQ(owner.events, (Texts{"Receive", "ChangeBufIn", "SpeedDown", "Send"}))
      << "the speed is lowered before P is sent";
  EXPECT_EQ(Answer("."), ":0100000500FA\r\n");
  EXPECT_EQ(Answer("."), kEnd);
  EXPECT_EQ(owner.speedUps, 0);
  EXPECT_EQ(Answer("."), "");
  EXPECT_EQ(owner.speedUps, 1);
  EXPECT_EQ(owner.speedDowns, 1);
  EXPECT_EQ(owner.StepUntilIdle(jtag), 1);
}

TEST_F(ProgJtag, AnnounceRefusedWithIDropsOneCharacter) {
  for (bool slow : {false, true}) {
    jtag.Reset();
    jtag.SetUpdateAllowed(true);
    jtag.SetSlowLink(slow);
    owner.ClearRecords();
    owner.rx.clear();
    Load("STATE RESET;\n");
    EXPECT_EQ(Answer("I."), "");
    ExpectFailedWith("Instruction unknown");
    EXPECT_EQ(owner.rx, ".");
    EXPECT_EQ(owner.speedDowns, 0);
  }
}

TEST_F(ProgJtag, LongSdrSendsItsDataBlockWhenTheUnitAsksForIt) {
  EXPECT_EQ(Begin("SDR 32 TDI (12345678);\n"), ":010020630A72\r\n");
  EXPECT_EQ(Answer(kEsc + "."), "7856341214");  // no line end
  EXPECT_EQ(Answer("."), kEnd);
  EXPECT_EQ(owner.progressSteps, 1);
}

TEST_F(ProgJtag, RepeatsARecordOnRAndALongSdrFromItsHeader) {
  EXPECT_EQ(Begin("SIR 8 TDI (FE);\nSDR 32 TDI (12345678);\n"), ":01000862FE97\r\n");
  EXPECT_EQ(Answer("R"), ":01000862FE97\r\n");
  EXPECT_EQ(Answer("."), ":010020630A72\r\n");
  EXPECT_EQ(Answer(kEsc + "."), "7856341214");
  EXPECT_EQ(Answer("R"), ":010020630A72\r\n");  // the header again
  EXPECT_EQ(Answer(kEsc + "."), "7856341214");
  EXPECT_EQ(Answer("."), kEnd);
  EXPECT_EQ(jtag.RetryCount(), 2);
  EXPECT_EQ(owner.progressSteps, 2);
}

TEST_F(ProgJtag, CapturedDataIsComparedUnderMask) {
  const std::string file = "SIR 8 TDI (FE) TDO (01) MASK (03);\n";
  // Data 05, masked with 03, is the expected 01.
  EXPECT_EQ(Begin(file), ":01000872FE87\r\n");
  EXPECT_EQ(Answer("0505" + kEsc + "."), ".");
  EXPECT_EQ(Answer("."), kEnd);
  EXPECT_TRUE(owner.errors.empty());
  EXPECT_EQ(owner.progressSteps, 1);
}

TEST_F(ProgJtag, CapturedDataThatDiffersEndsTheInstructionAfterTheDot) {
  Begin("// line 1\nSIR 8 TDI (FE) TDO (01) MASK (03);\n");
  EXPECT_EQ(Answer("0202" + kEsc + "."), ".");
  ExpectFailedWith("Error while executing Effect file line : 2");
}

TEST_F(ProgJtag, CapturedDataWithAWrongSumIsAskedForAgain) {
  Begin("SIR 8 TDI (FE) TDO (01) MASK (03);\n");
  EXPECT_EQ(Answer("0503" + kEsc + "."), "R");
  EXPECT_EQ(owner.rx, "");
  EXPECT_EQ(Answer("0505" + kEsc + "."), ".");
  EXPECT_EQ(jtag.RetryCount(), 1);
  EXPECT_TRUE(owner.errors.empty());
}

TEST_F(ProgJtag, CapturedDataWithoutASumIsAskedForAgain) {
  Begin("SIR 8 TDI (FE) TDO (01);\n");
  EXPECT_EQ(Answer(kEsc + "."), "R");
  EXPECT_EQ(Answer("5" + kEsc + "."), "R");
  EXPECT_EQ(jtag.RetryCount(), 2);
  EXPECT_EQ(Answer("0101."), ".");  // a plain "." ends it like ESC "."
  EXPECT_TRUE(owner.errors.empty());
}

TEST_F(ProgJtag, CapturedDataIsDecodedFromItsEscapes) {
  // ESC ESC stands for "1B", ESC "0" for "00"; a stray ESC is dropped.
  Begin("SIR 16 TDI (0000) TDO (1B00);\n");
  // Expected 001B (byte-reversed); sum 1B.
  EXPECT_EQ(Answer(kEsc + "0" + kEsc + kEsc + kEsc + "1B" + kEsc + "."), ".");
  EXPECT_TRUE(owner.errors.empty());
}

TEST_F(ProgJtag, LongSdrWithTdoGoesHeaderBlockCapturedDataDot) {
  EXPECT_EQ(Begin("SDR 32 TDI (12345678) TDO (0000FFFF);\n"), ":010020730A62\r\n");
  EXPECT_EQ(Answer(kEsc + "."), "7856341214");
  EXPECT_EQ(Answer("FFFF0000FE" + kEsc + "."), ".");
  EXPECT_EQ(Answer("."), kEnd);
  EXPECT_EQ(owner.progressSteps, 1);
  EXPECT_TRUE(owner.errors.empty());
}

TEST_F(ProgJtag, CompressedSdrWithTdo) {
  EXPECT_EQ(Begin("SDR 32 TDI (00000000) TDO (12345678) MASK (FFFFFFFF);\n"), ":010020F300EC\r\n");
  EXPECT_EQ(Answer("7856341214" + kEsc + "."), ".");
  EXPECT_EQ(Answer("."), kEnd);
}

TEST_F(ProgJtag, XNamesTheStatementsLineCountingComments) {
  std::string file;
  for (int i = 1; i <= 11; ++i)
    file += i % 2 ? "// comment\n" : "STATE RESET;\n";
  file += "SIR 8 TDI (FE);\nSTATE IDLE;\n";
  Begin(file);
  for (int i = 0; i < 5; ++i)
    Answer(".");
  EXPECT_EQ(owner.sent.back(), ":01000862FE97\r\n");
  EXPECT_EQ(Answer("R"), ":01000862FE97\r\n");
  EXPECT_EQ(Answer("X"), "");
  ExpectFailedWith("Error while executing Effect file line : 12");
}

TEST_F(ProgJtag, ThreeHundredRepeatsAreAnsweredTheNextOneEndsIt) {
  Begin("SIR 8 TDI (FE) TDO (01);\n");
  // The unit's "R" and the handler's own "R" draw on the same budget.
  for (int i = 0; i < 150; ++i) {
    ASSERT_EQ(Answer("R"), ":01000872FE87\r\n");
    ASSERT_EQ(Answer("0102" + kEsc + "."), "R");
  }
  EXPECT_TRUE(owner.errors.empty());
  EXPECT_EQ(Answer("R"), "");
  ExpectFailedWith("Too Many Transmission Error !!!");
}

TEST_F(ProgJtag, FileOfCommentsOnlySendsTheEndRecordAtOnce) {
  EXPECT_EQ(Begin("// one\n// two\nTRST OFF;\n"), kEnd);
  EXPECT_EQ(jtag.LinesRead(), 3);
}

TEST_F(ProgJtag, EndRecordRepliesAllRaiseTheSpeedFirst) {
  struct Case {
    std::string reply;
    std::string error;
  };
  const Case cases[] = {
      {"X", "Instruction unknown"},
      {"R", "Too Many Transmission Error !!!"},
  };
  for (const auto& c : cases) {
    jtag.Reset();
    jtag.SetUpdateAllowed(true);
    owner.ClearRecords();
    owner.speedUps = 0;
    EXPECT_EQ(Begin("// nothing to send\n"), kEnd);
    EXPECT_EQ(Answer(c.reply), "") << "the end record is not sent again";
    ExpectFailedWith(c.error);
    EXPECT_EQ(owner.speedUps, 1);
    EXPECT_LT(IndexOf("SpeedUp"), IndexOf("Error"));
  }
}

TEST_F(ProgJtag, ErrorReportsBeforeItClearsBusy) {
  Begin("SIR 8 TDI (FE);\n");
  owner.ClearRecords();
  Answer("X");
  EXPECT_LT(IndexOf("Error"), IndexOf("ChangeBusy"));
  jtag.Step();
  EXPECT_EQ(jtag.State(), TProgJtag::TState::Failed) << "stays until Reset";
}

TEST_F(ProgJtag, ReadsADeviceIdentificationByteReversed) {
  ASSERT_TRUE(owner.Offer(jtag, "D5"));
  jtag.Step();
  EXPECT_EQ(owner.sent, Texts{"D5"});
  EXPECT_EQ(Answer("."), "");
  EXPECT_EQ(owner.infos, Texts{"Extract Prom Devices ID"});
  EXPECT_EQ(Answer("0123456789ABCDE"), "");
  EXPECT_EQ(jtag.State(), TProgJtag::TState::IdRead);
  EXPECT_EQ(Answer("F."), "");
  EXPECT_EQ(owner.infos.back(), "ID Number : EFCDAB8967452301");
  EXPECT_EQ(owner.rx, "");
  EXPECT_EQ(owner.StepUntilIdle(jtag), 1);
  EXPECT_EQ(owner.progressMax, 100);
  EXPECT_EQ(owner.progressSteps, 0);
}

TEST_F(ProgJtag, IdentificationOfFifteenCharactersIsNeverTaken) {
  ASSERT_TRUE(owner.Offer(jtag, "D4"));
  jtag.Step();
  Answer(".");
  Answer("0123456789ABCDE.");
  owner.StepTimes(jtag, 10);
  EXPECT_EQ(jtag.State(), TProgJtag::TState::IdRead);
  EXPECT_EQ(owner.infos, Texts{"Extract Prom Devices ID"});
}

TEST_F(ProgJtag, DeviceCommandsAnsweredWithIFail) {
  for (const std::string line : {"D4", "F5"}) {
    jtag.Reset();
    owner.ClearRecords();
    owner.rx.clear();
    ASSERT_TRUE(owner.Offer(jtag, line));
    jtag.Step();
    EXPECT_EQ(owner.sent, Texts{line});
    EXPECT_EQ(Answer("I"), "");
    ExpectFailedWith("Instruction unknown");
  }
}

TEST_F(ProgJtag, FCommandEndsOnItsAcknowledgement) {
  ASSERT_TRUE(owner.Offer(jtag, "F5 rest ignored"));
  jtag.Step();
  EXPECT_EQ(owner.sent, Texts{"F5"});
  EXPECT_EQ(Answer(".."), "");
  EXPECT_EQ(owner.rx, ".");
  EXPECT_EQ(owner.StepUntilIdle(jtag), 1);
  EXPECT_TRUE(owner.errors.empty());
}

TEST_F(ProgJtag, RefusesToUpdateWhenNotAllowedAndReturnsToIdle) {
  jtag.SetUpdateAllowed(false);
  Load("STATE RESET;\n");
  EXPECT_TRUE(owner.sent.empty());
  EXPECT_EQ(owner.errors, Texts{"Update Not Allowed !!!"});
  EXPECT_EQ(jtag.State(), TProgJtag::TState::Done);
  jtag.Step();
  EXPECT_EQ(jtag.State(), TProgJtag::TState::Idle);
  EXPECT_EQ(Count("ChangeBusy"), 3);  // set, cleared by the error, cleared again
}

// A file is refused whole before the unit hears of it.
TEST_F(ProgJtag, UnsoundFilesAreRefusedBeforeAnythingIsSent) {
  struct Case {
    std::string what;
    std::string bytes;
    std::string error;
  };
  const Case cases[] = {
      {"no lines", "", "Effect File Empty !!!"},
      {"third line malformed after two comments", "// a\n// b\nFREQUENCY 1E6 HZ;\nSTATE RESET;\n",
       "Error in Effect file line : 3"},
      {"blank last line", "STATE RESET;\nSIR 8 TDI (FE);\n\n", "Error in Effect file line : 3"},
      {"negative count", "RUNTEST -1 TCK;\n", "Error in Effect file line : 1"},
      {"odd vector late in the file", "STATE RESET;\r\nSTATE IDLE;\r\nSDR 4 TDI (F);\r\n",
       "Error in Effect file line : 3"},
  };
  for (const auto& c : cases) {
    jtag.Reset();
    jtag.SetUpdateAllowed(true);
    owner.ClearRecords();
    Load(c.bytes);
    EXPECT_TRUE(owner.sent.empty()) << c.what;
    EXPECT_TRUE(clock.sleeps.empty()) << c.what;
    ExpectFailedWith(c.error);
  }
}

TEST_F(ProgJtag, MissingFileNamesTheFolderAndSendsNothing) {
  ASSERT_TRUE(owner.Offer(jtag, "P5   absent.svf  "));
  jtag.Step();
  EXPECT_TRUE(owner.sent.empty());
  ExpectFailedWith(folder.Path() + "absent.svf File not found !!!");
  EXPECT_EQ(jtag.LineCount(), -1);
}

TEST_F(ProgJtag, UnreadableFileEndsWithTheReadError) {
  // Reading this file fails at its first byte.
  if (!platform::FileExists("/proc/self/mem")) GTEST_SKIP() << "no /proc";
  jtag.SetFileFolder("/proc/self/");
  ASSERT_TRUE(owner.Offer(jtag, "P4 mem"));
  jtag.Step();
  EXPECT_TRUE(owner.sent.empty());
  ExpectFailedWith("Error while reading Effect file !!!");
}

TEST_F(ProgJtag, FileThatShrinksWhilePlayingEndsWithTheReadError) {
  // The long comments outlast what the reader has buffered, so the cut is seen.
  std::string comments;
  for (int i = 0; i < 10; ++i)
    comments += "// " + std::string(20000, 'x') + "\n";
  Begin("STATE RESET;\n" + comments + "STATE IDLE;\n");
  folder.Write("prom1.svf", "STATE RESET;\n");
  EXPECT_EQ(Answer("."), "");
  ExpectFailedWith("Error while reading Effect file !!!");
}

TEST_F(ProgJtag, ResetClosesTheEffectFileAndANewRunStartsClean) {
  Begin("STATE RESET;\nSTATE IDLE;\n");
  EXPECT_TRUE(jtag.EffectFileOpen());
  jtag.Reset();
  EXPECT_FALSE(jtag.EffectFileOpen());
  EXPECT_EQ(jtag.State(), TProgJtag::TState::Idle);

  jtag.SetUpdateAllowed(true);
  owner.ClearRecords();
  owner.rx.clear();
  EXPECT_EQ(Begin("STATE IDLE;\n"), ":0100000501F9\r\n");
  EXPECT_EQ(Answer("."), kEnd);
}

std::string RealworldFolder() {
  return std::string(QSR470_TESTDATA_DIR) + "/realworld/";
}

TEST_F(ProgJtag, RealworldFileWithABlankLineIsRefusedBeforeAnythingIsSent) {
  // Line 2 of this tool-written file is empty, which no Effect file may have.
  const std::string dir = RealworldFolder();
  if (!platform::FileExists(dir + "xc9536xl_ispen.svf"))
    GTEST_SKIP() << "sample files not present in " << dir;
  jtag.SetFileFolder(dir);
  ASSERT_TRUE(owner.Offer(jtag, "P4 xc9536xl_ispen.svf"));
  jtag.Step();
  EXPECT_TRUE(owner.sent.empty());
  ExpectFailedWith("Error in Effect file line : 2");
}

}  // namespace
