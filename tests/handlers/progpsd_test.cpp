#include "handlers/progpsd.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_owner.h"

namespace {

using Texts = std::vector<std::string>;

// Data records with right checksums: bytes 01 02 at the bottom of each half.
const std::string kLow = ":020000000102FB";
const std::string kHigh = ":0280000001027B";
const std::string kEnd = ":00000001FF";
// Checksum records for a half holding 01 02 and for an untouched half.
const std::string kSumWithData = ":0200000C7E056F\r\n";
const std::string kSumEmptyHalf = ":0200000C800072\r\n";

class ProgPsdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    owner.Attach(h);
    h.SetFileFolder(files.Path());
    h.SetUpdateAllowed(true);
    files.Write("two.hex", kHigh + "\r\n" + kEnd + "\r\n");
    files.Write("low.hex", kLow + "\n" + kEnd + "\n");
  }
  void Answer(const std::string& reply) {
    owner.Reply(reply);
    h.Step();
  }
  // Offers the line and takes the step that sends the first command.
  void Start(const std::string& line) {
    ASSERT_TRUE(owner.Offer(h, line)) << line;
    h.Step();
  }

  TempFolder files;
  TestOwner owner;
  TProgPsd h;
};

TEST_F(ProgPsdTest, TakesOnlyBankDigitsZeroToThree) {
  struct Case {
    std::string line, firstSend;
  };
  const Case taken[] = {
      {"P0 low.hex", "P0"}, {"P 0 low.hex", "P0"}, {"P3two.hex", "P3"}, {"D0", "D0"},
      {"D 1 rest", "D1"},   {"F2", "F2"},          {"F\t3 x", "F3"},
  };
  for (const auto& c : taken) {
    TestOwner o;
    TProgPsd handler;
    o.Attach(handler);
    handler.SetFileFolder(files.Path());
    handler.SetUpdateAllowed(true);
    EXPECT_TRUE(o.Offer(handler, c.line)) << c.line;
    EXPECT_TRUE(o.sent.empty());
    handler.Step();
    EXPECT_EQ(o.sent, Texts{c.firstSend}) << c.line << o.lastError;
  }
  for (const char* line : {"P4 file.hex", "D7", "Fx", "P", "D", "PB boot.hex", "p0 two.hex", "d0",
                           "", "V0 0105", " P0 two.hex", "P-1 x"}) {
    TestOwner o;
    TProgPsd handler;
    o.Attach(handler);
    EXPECT_FALSE(o.Offer(handler, line)) << line;
    EXPECT_TRUE(o.events.empty()) << line;
  }
}

TEST_F(ProgPsdTest, ProgramDialogue) {
  Start("P1 two.hex");
  EXPECT_EQ(owner.sent, Texts{"P1"});
  Answer(".");
  EXPECT_EQ(owner.infos, Texts{"Erase Bank1"});
  Answer(".");
  EXPECT_EQ(owner.progressMax, 2);
  Answer(".");
  Answer(".");
  EXPECT_EQ(owner.sent.size(), 3u) << "verification waits for the next step";
  h.Step();
  Answer("R");  // a repeat request after the record shows the line again ...
  h.Step();     // ... and sends the record again at the next step
  Answer(".extra");
  h.Step();
  EXPECT_FALSE(h.Busy());
  EXPECT_EQ(owner.sent, (Texts{"P1", kHigh + "\r\n", kEnd + "\r\n", kSumWithData, kSumWithData}));
  EXPECT_EQ(owner.infos, (Texts{"Erase Bank1", "Upload Bank1", "Verify Bank1", "Verify Bank1"}));
  EXPECT_EQ(owner.progressSteps, 2);
  EXPECT_EQ(owner.rx, "") << "the agreement empties the buffer";
  EXPECT_TRUE(owner.errors.empty());
}

TEST_F(ProgPsdTest, ChecksumCoversTheBanksHalfOfTheImage) {
  // A file whose data lies in the other half would be summed as an empty
  // bank: it is refused before the erase instead.
  files.Write("bare.hex", kEnd + "\n");
  struct Case {
    std::string line, record;
  };
  const Case cases[] = {
      {"P0 low.hex", kSumWithData},
      {"P1 two.hex", kSumWithData},
      {"P2 two.hex", kSumWithData},
      {"P3 two.hex", kSumWithData},
      {"P0 bare.hex", kSumEmptyHalf},
      {"P0 two.hex", "Error in HEX file two.hex line : 1"},
      {"P2 low.hex", "Error in HEX file low.hex line : 1"},
  };
  for (const auto& c : cases) {
    TestOwner o;
    TProgPsd handler;
    o.Attach(handler);
    handler.SetFileFolder(files.Path());
    handler.SetUpdateAllowed(true);
    o.unit = [&o](const std::string& text) { o.Reply(text.starts_with("P") ? ".." : "."); };
    o.Offer(handler, c.line);
    o.StepUntilIdle(handler);
    EXPECT_FALSE(handler.Busy()) << c.line;
    if (c.record.starts_with("Error")) {
      EXPECT_EQ(o.errors, Texts{c.record}) << c.line;
      EXPECT_TRUE(o.sent.empty()) << c.line;
      continue;
    }
    EXPECT_TRUE(o.errors.empty()) << c.line << ": " << o.lastError;
    EXPECT_EQ(o.sent.back(), c.record) << c.line;
  }
}

TEST_F(ProgPsdTest, IdentificationDialogue) {
  Start("D0");
  owner.events.clear();
  Answer(".");
  EXPECT_EQ(owner.events, (Texts{"Receive", "Info", "ChangeBufIn"}));
  EXPECT_EQ(owner.infos, Texts{"Extract ID Keyb"});
  Answer("A.");
  EXPECT_EQ(owner.infos.size(), 1u) << "one character before the dot is not a reply";
  owner.rx.clear();
  Answer("3C.more");
  EXPECT_EQ(owner.infos.back(), "ID Number : 3C");
  EXPECT_EQ(owner.rx, "");
  h.Step();
  EXPECT_FALSE(h.Busy());
  EXPECT_EQ(owner.progressMax, 100);
}

TEST_F(ProgPsdTest, BankCommandDialogue) {
  Start("F2");
  EXPECT_EQ(owner.sent, Texts{"F2"});
  Answer(".");
  h.Step();
  EXPECT_FALSE(h.Busy());
  EXPECT_TRUE(owner.infos.empty());
}

TEST_F(ProgPsdTest, ProgrammingNeedsAnAllowedUnitButTheOtherCommandsDoNot) {
  h.SetUpdateAllowed(false);
  Start("P0 nothere.hex");
  EXPECT_EQ(owner.errors, Texts{"Update Not Allowed !!!"}) << "the file is not even looked at";
  EXPECT_TRUE(owner.sent.empty());
  EXPECT_FALSE(h.Busy());
  owner.events.clear();
  h.Step();
  EXPECT_EQ(owner.events, Texts{"ChangeBusy"}) << "the instruction still finishes";
  EXPECT_TRUE(owner.Offer(h, "F1")) << "and the handler is idle again";
  h.Step();
  Answer(".");
  h.Step();
  EXPECT_EQ(owner.sent, Texts{"F1"});
  EXPECT_EQ(owner.errors.size(), 1u);
}

TEST_F(ProgPsdTest, NothingIsSentWhenTheFileIsUnusable) {
  files.Write("empty.hex", "");
  struct Case {
    std::string line, message;
  };
  const Case cases[] = {
      {"P0 nothere.hex", files.Path() + "nothere.hex File not found !!!"},
      {"P 2   my keyb.hex  ", files.Path() + "my keyb.hex File not found !!!"},
      {"P0", files.Path() + " File not found !!!"},
      {"P1 empty.hex", "Keyb File Empty !!!"},
  };
  for (const auto& c : cases) {
    TestOwner o;
    TProgPsd handler;
    o.Attach(handler);
    handler.SetFileFolder(files.Path());
    handler.SetUpdateAllowed(true);
    o.Offer(handler, c.line);
    o.StepUntilIdle(handler);
    EXPECT_EQ(o.errors, Texts{c.message}) << c.line;
    EXPECT_TRUE(o.sent.empty()) << c.line;
  }
}

TEST_F(ProgPsdTest, RepeatBudgetCoversUploadAndVerificationTogether) {
  Start("P1 two.hex");
  Answer(".");
  Answer(".");
  Answer("R");
  EXPECT_EQ(owner.sent.back(), kHigh + "\r\n") << "the first line again";
  for (int i = 2; i <= 150; ++i)
    Answer("R");
  Answer(".");
  Answer(".");
  h.Step();  // the record
  for (int i = 151; i <= 300; ++i) {
    Answer("R");
    h.Step();  // the record again
  }
  EXPECT_TRUE(owner.errors.empty());
  EXPECT_EQ(owner.sent.back(), kSumWithData);
  Answer("R");
  EXPECT_EQ(owner.errors, Texts{"Too Many Transmission Error !!!"});
  EXPECT_FALSE(h.Busy());

  // A new instruction starts a new count.
  h.Reset();
  h.SetUpdateAllowed(true);
  owner.ClearRecords();
  Start("P1 two.hex");
  Answer(".");
  Answer(".");
  for (int i = 1; i <= 300; ++i)
    Answer("R");
  EXPECT_TRUE(owner.errors.empty());
}

TEST_F(ProgPsdTest, UnitFailuresStopTheInstruction) {
  struct Case {
    std::string line;
    Texts replies;  // after the command was sent; the last one fails
    std::string message;
  };
  const Case cases[] = {
      {"P0 low.hex", {"I"}, "Instruction unknown"},
      {"D0", {"I"}, "Instruction unknown"},
      {"F0", {"I"}, "Instruction unknown"},
      {"P0 low.hex", {".", "X"}, "Error while erasing !!!"},
      {"P0 low.hex", {".", ".", "X"}, "Error while writing!!!"},
      {"P0 low.hex", {".", ".", ".", ".", "", "X"}, "Checksum Error"},
  };
  for (const auto& c : cases) {
    TestOwner o;
    TProgPsd handler;
    o.Attach(handler);
    handler.SetFileFolder(files.Path());
    handler.SetUpdateAllowed(true);
    o.Offer(handler, c.line);
    handler.Step();
    for (const auto& reply : c.replies) {
      o.events.clear();
      o.Reply(reply);
      handler.Step();
    }
    EXPECT_EQ(o.errors, Texts{c.message}) << c.line;
    EXPECT_EQ(o.events, (Texts{"Receive", "ChangeBufIn", "ChangeBusy", "Error"})) << c.message;
    handler.Step();
    EXPECT_EQ(o.errors.size(), 1u) << "a failed handler stays put";
  }
}

}  // namespace
