#include "handlers/InstCourante.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_owner.h"

namespace {

using Texts = std::vector<std::string>;

class InstCrtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    owner.Attach(h);
    h.OnVersionSame = [this](TGestionnaire* sender, std::int32_t component) {
      EXPECT_EQ(sender, &h);
      owner.VersionSame(component);
    };
  }
  // Offers the line and takes the step that sends the first command.
  void Start(const std::string& line) {
    ASSERT_TRUE(owner.Offer(h, line)) << line;
    h.Step();
  }
  // The unit's reply arrives, then the handler takes one step.
  void Answer(const std::string& reply) {
    owner.Reply(reply);
    h.Step();
  }
  void Finish() {
    h.Step();  // Done
    EXPECT_FALSE(h.Busy());
    EXPECT_FALSE(owner.busy);
  }

  TestOwner owner;
  TInstCrt h;
};

TEST_F(InstCrtTest, TakesLinesByTheirFirstCharactersOnly) {
  struct Case {
    std::string line;
    std::string firstSend;  // empty: nothing is sent at the first working step
  };
  const Case taken[] = {
      {"prompt hello", ""}, {"wait 5", ""},    {"RS now", "RS"},  {"NP", "NP"},
      {"FIx", "FI"},        {"V1 0105", "V1"}, {"V10105", "V1"},  {"Verify", "Ve"},
      {"T1 0105", "T1"},    {"TA 0105", "TA"}, {"T \t7", "T7"},   {"UV text", "UV"},
      {"OP text", "OP"},    {"VUV", "VU"},     {"Tprompt", "Tp"},
  };
  for (const auto& c : taken) {
    TestOwner o;
    TInstCrt handler;
    o.Attach(handler);
    EXPECT_TRUE(o.Offer(handler, c.line)) << c.line;
    EXPECT_TRUE(o.sent.empty()) << "nothing is sent in the step that takes a line";
    handler.Step();
    EXPECT_EQ(o.sent, c.firstSend.empty() ? Texts{} : Texts{c.firstSend}) << c.line;
  }
  const std::string notTaken[] = {"",       "v1 0105", "t1 0105", "rs",          "Prompt x",
                                  "Wait 5", "U",       "O",       "PB boot.hex", "SYN",
                                  " RS",    "V",       "T   ",    "V\t\r\n"};
  for (const auto& line : notTaken) {
    TestOwner o;
    TInstCrt handler;
    o.Attach(handler);
    EXPECT_FALSE(o.Offer(handler, line)) << line;
    handler.Step();
    EXPECT_TRUE(o.events.empty()) << line;
  }
}

TEST_F(InstCrtTest, VersionWriteDialogue) {
  Start("V1 0105");
  EXPECT_EQ(owner.sent, Texts{"V1"});
  owner.events.clear();
  Answer(".");
  EXPECT_EQ(owner.events,
            (Texts{"Receive", "ChangeBufIn", "ChangeMaxProgress", "StepProgress", "Send"}));
  EXPECT_EQ(owner.sent, (Texts{"V1", "0105"}));
  Answer("I");  // only "." and "X" answer the text: "I" is left waiting
  EXPECT_TRUE(h.Busy());
  EXPECT_EQ(owner.rx, "I");
  owner.rx.clear();
  Answer(".");
  Finish();
  EXPECT_EQ(owner.progressMax, 2);
  EXPECT_EQ(owner.progressSteps, 2);
  EXPECT_TRUE(owner.errors.empty());
}

TEST_F(InstCrtTest, VerifyIsAVersionWrite) {
  Start("Verify");
  Answer(".");
  EXPECT_EQ(owner.sent, (Texts{"Ve", "rify"}));
}

TEST_F(InstCrtTest, VersionTestReportsOnlyAnExactMatch) {
  struct Case {
    std::string line, reply;
    std::vector<std::int32_t> reported;
  };
  const Case cases[] = {
      {"T1 0105", "0105.", {1}}, {"T1 0105", "0104.", {}}, {"T2 0105", "0105.", {2}},
      {"TA 0105", "0105.", {0}}, {"T3 010", "010 .", {}},  {"T3 01050", "0105.", {}},
      {"T9 abcd", "ABCD.", {}},
  };
  for (const auto& c : cases) {
    TestOwner o;
    TInstCrt handler;
    o.Attach(handler);
    handler.OnVersionSame = [&](TGestionnaire*, std::int32_t component) {
      o.VersionSame(component);
    };
    o.Offer(handler, c.line);
    handler.Step();
    o.Reply(".");
    handler.Step();
    o.Reply(c.reply);
    o.events.clear();
    handler.Step();
    EXPECT_EQ(o.versionsSame, c.reported) << c.line << " / " << c.reply;
    Texts order{"Receive", "ChangeBufIn", "StepProgress"};
    if (!c.reported.empty()) order.insert(order.begin() + 1, "VersionSame");
    EXPECT_EQ(o.events, order) << c.line;
    handler.Step();
    EXPECT_FALSE(handler.Busy());
    EXPECT_TRUE(o.errors.empty());
    EXPECT_EQ(o.progressSteps, 2);
  }
}

TEST_F(InstCrtTest, VersionReadWaitsForTheDotBehindFourCharacters) {
  Start("T1 0105");
  Answer(".");
  for (const char* partial : {".", "01.", "010"}) {
    owner.rx = partial;
    h.Step();
    EXPECT_TRUE(h.Busy()) << partial;
    EXPECT_EQ(owner.rx, partial) << "nothing is taken before the reply is whole";
  }
  Answer("5.more");
  EXPECT_EQ(owner.versionsSame, std::vector<std::int32_t>{1});
  EXPECT_EQ(owner.rx, "") << "a data reply empties the buffer";
}

TEST_F(InstCrtTest, FailuresClearBusyBeforeReportingAndParkTheHandler) {
  struct Case {
    std::string line;
    Texts replies;  // the last one fails
    std::string message;
  };
  const Case cases[] = {
      {"RS", {"I"}, "Instruction unknown"},
      {"NP", {"I"}, "Instruction unknown"},
      {"FI", {"I"}, "Instruction unknown"},
      {"V1 0105", {"I"}, "Instruction unknown"},
      {"T1 0105", {"I"}, "Instruction unknown"},
      {"UV x", {"I"}, "Instruction unknown"},
      {"OP x", {"I"}, "Instruction unknown"},
      {"V1 0105", {".", "X"}, "Error while writing version number !!!"},
      {"UV x", {".", "X"}, "Error while writing version number !!!"},
      {"OP x", {".", "X"}, "Error while writing version number !!!"},
      {"T1 0105", {".", "X"}, "Error while reading version number !!!"},
  };
  for (const auto& c : cases) {
    TestOwner o;
    TInstCrt handler;
    o.Attach(handler);
    o.Offer(handler, c.line);
    handler.Step();
    for (std::size_t i = 0; i < c.replies.size(); ++i) {
      const bool last = i + 1 == c.replies.size();
      o.Reply(last ? c.replies[i] + "rest" : c.replies[i]);
      handler.Step();
    }
    EXPECT_EQ(o.errors, Texts{c.message}) << c.line;
    EXPECT_EQ(o.rx, "rest") << "the failure reply is consumed, nothing more";
    ASSERT_GE(o.events.size(), 2u);
    EXPECT_EQ(o.events[o.events.size() - 2], "ChangeBusy");
    EXPECT_EQ(o.events.back(), "Error");
    EXPECT_FALSE(handler.Busy());

    const auto sentBefore = o.sent.size();
    o.Offer(handler, "RS");
    handler.Step();
    EXPECT_FALSE(handler.Busy()) << "a failed handler takes nothing until Reset";
    EXPECT_EQ(o.sent.size(), sentBefore);
    handler.Reset();
    EXPECT_TRUE(o.Offer(handler, "RS"));
  }
}

TEST_F(InstCrtTest, ResetShowsResetAndLeavesWhatFollowsTheDot) {
  Start("RS now");
  EXPECT_EQ(owner.infos, Texts{"Reset"});
  EXPECT_EQ(owner.events, (Texts{"ChangeBusy", "Info", "Send"}));
  EXPECT_EQ(owner.sent, Texts{"RS"});
  Answer(".I");
  Finish();
  EXPECT_EQ(owner.rx, "I") << "left for the next instruction's first reply test";

  Start("NP");
  EXPECT_EQ(owner.sent.back(), "NP");
  h.Step();
  EXPECT_EQ(owner.errors, Texts{"Instruction unknown"});
}

TEST_F(InstCrtTest, UnknownRepliesAreLeftAndWaitedOn) {
  Start("FI");
  Answer("%");
  Answer("X");
  EXPECT_TRUE(h.Busy());
  EXPECT_EQ(owner.rx, "%X");
  EXPECT_EQ(owner.progressSteps, 0);
}

TEST_F(InstCrtTest, UserAndOptionTextsAreSentTrimmedAfterTheCommand) {
  Start("UV  my text \t");
  EXPECT_EQ(owner.sent, Texts{"UV"});
  EXPECT_EQ(owner.progressMax, 100) << "UV sets the maximum at the acknowledgement";
  Answer(".");
  Answer(".");
  Finish();
  EXPECT_EQ(owner.sent, (Texts{"UV", "my text"}));
  EXPECT_EQ(owner.progressSteps, 2);

  owner.ClearRecords();
  ASSERT_TRUE(owner.Offer(h, "OPabc"));
  h.Step();
  EXPECT_EQ(owner.events, (Texts{"ChangeBusy", "ChangeMaxProgress", "Send"}));
  Answer(".");
  Answer(".");
  Finish();
  EXPECT_EQ(owner.sent, (Texts{"OP", "abc"}));
}

TEST_F(InstCrtTest, PromptShowsTheTrimmedText) {
  Start("prompt   Connect the unit  ");
  EXPECT_EQ(owner.infos, Texts{"Connect the unit"});
  Finish();
  owner.ClearRecords();
  Start("prompt");
  EXPECT_EQ(owner.infos, Texts{""});
  Finish();
  EXPECT_TRUE(owner.sent.empty());
}

TEST_F(InstCrtTest, WaitEndsOnceMoreThanItsTimeHasPassed) {
  struct Case {
    std::uint32_t start, ms;
  };
  const Case cases[] = {{1000, 0}, {5, 1000}, {0xFFFFFF00u, 0x200}, {0xFFFFFFFFu, 1}};
  for (const auto& c : cases) {
    FakeClock clock(c.start);
    TestOwner o;
    TInstCrt handler;
    o.Attach(handler);
    ASSERT_TRUE(o.Offer(handler, "wait " + std::to_string(c.ms)));
    handler.Step();  // the wait begins now
    clock.Advance(c.ms);
    o.StepTimes(handler, 3);
    EXPECT_TRUE(handler.Busy()) << "still waiting after exactly " << c.ms << " ms";
    clock.Advance(1);
    handler.Step();  // waited long enough
    handler.Step();  // Done
    EXPECT_FALSE(handler.Busy()) << c.ms;
    EXPECT_TRUE(o.sent.empty());
  }
}

TEST_F(InstCrtTest, WaitTakesOnlyNonNegativeDecimalMilliseconds) {
  FakeClock clock(0);
  for (const char* line :
       {"wait", "wait   ", "wait -5", "wait +", "wait ++5", "wait 5s", "wait 1 2", "wait 0x10",
        "wait 4294967296", "wait 99999999999999999999"}) {
    TestOwner o;
    TInstCrt handler;
    o.Attach(handler);
    ASSERT_TRUE(o.Offer(handler, line));
    handler.Step();
    EXPECT_EQ(o.errors, Texts{"Bad wait time !!!"}) << line;
    EXPECT_FALSE(handler.Busy());
  }
  TestOwner o;
  TInstCrt handler;
  o.Attach(handler);
  o.Offer(handler, "wait\t4294967295 ");
  handler.Step();
  clock.Advance(0xFFFFFFFFu);
  handler.Step();
  EXPECT_TRUE(o.errors.empty());
  EXPECT_TRUE(handler.Busy()) << "the longest wait never passes by a whole wrap";

  TestOwner plus;
  TInstCrt signedWait;
  plus.Attach(signedWait);
  plus.Offer(signedWait, "wait +5");
  signedWait.Step();
  clock.Advance(5);
  signedWait.Step();
  EXPECT_TRUE(signedWait.Busy()) << "a leading plus sign still reads as 5 ms";
  clock.Advance(1);
  signedWait.Step();
  signedWait.Step();
  EXPECT_FALSE(signedWait.Busy());
  EXPECT_TRUE(plus.errors.empty());
}

TEST_F(InstCrtTest, ALineReplacedWhileBusyIsNotReadPastItsEnd) {
  Start("V1 0105");
  h.SetInstruction("");
  Answer(".");
  EXPECT_EQ(owner.sent, (Texts{"V1", ""}));
  h.Reset();
  ASSERT_TRUE(owner.Offer(h, "prompt x"));
  h.SetInstruction("p");
  h.Step();
  EXPECT_EQ(owner.infos.back(), "");
}

}  // namespace
