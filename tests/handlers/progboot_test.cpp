#include "handlers/progboot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_owner.h"

namespace {

using Texts = std::vector<std::string>;

// Data records whose checksums are right, at the addresses the tests need.
const std::string kAt4000 = ":024000000102BB";  // bytes 01 02 at 0x4000
const std::string kAt1000 = ":02100000AABB89";  // outside the boot range
const std::string kEnd = ":00000001FF";
const std::string kL1 = ":0140000011AE";
const std::string kL2 = ":01400100229C";

class ProgBootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    owner.Attach(h);
    h.SetFileFolder(files.Path());
  }
  void Answer(const std::string& reply) {
    owner.Reply(reply);
    h.Step();
  }
  // Takes "PB ..." through to the first line: "PB" sent, command and erase
  // acknowledged.
  void StartUpload(const std::string& line) {
    ASSERT_TRUE(owner.Offer(h, line)) << line;
    h.Step();
    ASSERT_EQ(owner.sent.back(), "PB") << owner.lastError;
    Answer(".");
    Answer(".");
  }

  TempFolder files;
  TestOwner owner;
  TProgBoot h;
};

TEST_F(ProgBootTest, TakesSynAndPbLinesOnly) {
  for (const char* line :
       {"SYN", "SYNC now", "PB boot.hex", "P B boot.hex", "PBboot.hex", "P\t B", "PB"}) {
    TestOwner o;
    TProgBoot handler;
    o.Attach(handler);
    EXPECT_TRUE(o.Offer(handler, line)) << line;
    EXPECT_TRUE(o.sent.empty());
  }
  for (const char* line :
       {"", "syn", "SY", " SYN", "P", "Pb boot.hex", "P0 keyb0.hex", "P4 file.svf", "BP", "RS"}) {
    TestOwner o;
    TProgBoot handler;
    o.Attach(handler);
    EXPECT_FALSE(o.Offer(handler, line)) << line;
    EXPECT_TRUE(o.events.empty()) << line;
  }
}

TEST_F(ProgBootTest, SynchronisationDialogue) {
  ASSERT_TRUE(owner.Offer(h, "SYN"));
  owner.Reply("ab%%");
  const std::uint32_t moves = h.Moves();
  h.Step();
  h.Step();
  EXPECT_TRUE(owner.sent.empty()) << "noise is dropped one character per step";
  EXPECT_EQ(owner.rx, "%%");
  EXPECT_EQ(h.Moves(), moves) << "dropped noise moves nothing on";
  h.Step();
  EXPECT_EQ(owner.sent, Texts{"%"});
  EXPECT_EQ(owner.rx, "") << "queued call signs go with the first";
  EXPECT_GT(h.Moves(), moves);

  const std::uint32_t answered = h.Moves();
  Answer("?");
  EXPECT_EQ(owner.rx, "");
  EXPECT_EQ(h.Moves(), answered);
  Answer(".");
  EXPECT_EQ(owner.infos, Texts{"Verify Device Type"});
  EXPECT_EQ(owner.sent, (Texts{"%", "17"}));
  Answer(".");
  Answer("1234567");
  EXPECT_TRUE(owner.infos.size() == 1u) << "waits for the dot behind eight characters";
  owner.events.clear();
  Answer("8.");
  EXPECT_EQ(owner.events, (Texts{"Receive", "Info", "Info", "ChangeDeviceID", "ChangeBufIn"}));
  EXPECT_EQ(owner.infos, (Texts{"Verify Device Type", "Boot Checksum : B234", "Device ID : 5678"}));
  EXPECT_EQ(owner.deviceID, 0x5678);
  EXPECT_TRUE(h.UpdateAllowed());
  h.Step();
  EXPECT_FALSE(h.Busy());
  EXPECT_EQ(owner.progressMax, 100) << "synchronisation leaves the progress alone";
}

TEST_F(ProgBootTest, DeviceReplyDigitsOutsideUpperCaseHexCountAsZero) {
  struct Case {
    std::string reply, checksumLine, idLine;
    std::int32_t id;
  };
  const Case cases[] = {
      {"1234ABCD.", "Boot Checksum : B234", "Device ID : ABCD", 0xABCD},
      {"0000abcd.", "Boot Checksum : A000", "Device ID : abcd", 0},
      {"6000FFFF.", "Boot Checksum : 0000", "Device ID : FFFF", 0xFFFF},
      {"F00z0-01.", "Boot Checksum : 9000", "Device ID : 0-01", 1},
  };
  for (const auto& c : cases) {
    TestOwner o;
    TProgBoot handler;
    o.Attach(handler);
    o.Offer(handler, "SYN");
    for (const char* reply : {"%", ".", "."}) {
      o.Reply(reply);
      handler.Step();
    }
    o.Reply(c.reply);
    handler.Step();
    EXPECT_EQ(o.infos, (Texts{"Verify Device Type", c.checksumLine, c.idLine})) << c.reply;
    EXPECT_EQ(o.deviceID, c.id) << c.reply;
  }
}

TEST_F(ProgBootTest, WrongDeviceTypeReportsThenDropsTheReply) {
  owner.Offer(h, "SYN");
  Answer("%");
  Answer(".");
  owner.events.clear();
  Answer("X.");
  EXPECT_EQ(owner.errors, Texts{"Bad type of device !!!"});
  EXPECT_EQ(owner.events, (Texts{"Receive", "ChangeBusy", "Error", "ChangeBufIn"}));
  EXPECT_EQ(owner.rx, ".");
}

TEST_F(ProgBootTest, UploadDialogue) {
  files.Write("boot.hex", kAt4000 + "\r\n" + kEnd + "\r\n");
  ASSERT_TRUE(owner.Offer(h, "PB boot.hex"));
  h.Step();
  EXPECT_EQ(owner.sent, Texts{"PB"});
  EXPECT_EQ(owner.progressMax, 4);
  Answer(".");
  EXPECT_EQ(owner.infos, Texts{"Erase Extended Boot"});
  Answer(".");
  Answer(".");
  Answer(".");
  EXPECT_EQ(owner.sent.size(), 3u) << "verification waits for the next step";
  h.Step();
  Answer(".");
  h.Step();
  EXPECT_FALSE(h.Busy());
  EXPECT_EQ(owner.sent, (Texts{"PB", kAt4000 + "\r\n", kEnd + "\r\n", ":0200000CDE050F\r\n"}));
  EXPECT_EQ(owner.infos, (Texts{"Erase Extended Boot", "Upload Extended Boot", "Verify Checksum"}));
  EXPECT_EQ(owner.progressSteps, 3);
  EXPECT_TRUE(owner.errors.empty());
}

TEST_F(ProgBootTest, LineFormsAndTheChecksumThatIsSent) {
  files.Write("boot.hex", kAt4000 + "\n");
  files.Write("out.hex", kAt1000 + "\n" + kEnd + "\n");
  files.Write("my\tboot.hex", kAt4000 + "\n");
  struct Case {
    std::string line, record;
  };
  const Case cases[] = {
      {"PB boot.hex", ":0200000CDE050F"},
      {"P B boot.hex", ":0200000CDE050F"},
      {"PBboot.hex", ":0200000CDE050F"},
      {"PB boot.hex 1A2B", ":0200000C1A2BAD"},
      {"PB   boot.hex \t 1A2B ", ":0200000C1A2BAD"},
      {"PB my\tboot.hex", ":0200000CDE050F"},  // only a space ends the name
  };
  for (const auto& c : cases) {
    TestOwner o;
    TProgBoot handler;
    o.Attach(handler);
    handler.SetFileFolder(files.Path());
    o.unit = [&o](const std::string& text) { o.Reply(text == "PB" ? ".." : "."); };
    o.Offer(handler, c.line);
    o.StepUntilIdle(handler);
    EXPECT_TRUE(o.errors.empty()) << c.line << ": " << o.lastError;
    EXPECT_FALSE(handler.Busy()) << c.line;
    EXPECT_EQ(o.sent.back(), c.record + "\r\n") << c.line;
  }
}

TEST_F(ProgBootTest, NothingIsSentWhenTheLineOrFileIsUnusable) {
  files.Write("boot.hex", kAt4000 + "\n");
  files.Write("out.hex", kAt1000 + "\n");
  files.Write("empty.hex", "");
  struct Case {
    std::string line, message;
  };
  const Case cases[] = {
      {"PB nothere.hex", files.Path() + "nothere.hex File not found !!!"},
      {"PB nothere.hex  1A2B", files.Path() + "nothere.hex  1A2B File not found !!!"},
      {"PB", files.Path() + " File not found !!!"},
      {"PB empty.hex", "Boot File Empty !!!"},
      {"PB out.hex", "Error in HEX file out.hex line : 1"},  // data outside the boot
      {"PB boot.hex 1A2", "Bad checksum value !!!"},
      {"PB boot.hex 1A2B3", "Bad checksum value !!!"},
      {"PB boot.hex 1a2b", "Bad checksum value !!!"},
      {"PB boot.hex 1A2G", "Bad checksum value !!!"},
      {"PB boot.hex 1A 2B", "Bad checksum value !!!"},
  };
  for (const auto& c : cases) {
    TestOwner o;
    TProgBoot handler;
    o.Attach(handler);
    handler.SetFileFolder(files.Path());
    o.Offer(handler, c.line);
    o.StepUntilIdle(handler);
    EXPECT_EQ(o.errors, Texts{c.message}) << c.line;
    EXPECT_TRUE(o.sent.empty()) << c.line;
    EXPECT_FALSE(handler.Busy());
  }
}

TEST_F(ProgBootTest, RepeatRequestsResendTheLastLineUpTo300PerInstruction) {
  files.Write("boot.hex", kL1 + "\n" + kL2 + "\n");
  StartUpload("PB boot.hex");
  Answer("R");
  EXPECT_EQ(owner.sent, (Texts{"PB", kL1 + "\r\n", kL1 + "\r\n"}));
  Answer(".");
  for (int i = 2; i <= 300; ++i)
    Answer("R");
  EXPECT_TRUE(owner.errors.empty());
  EXPECT_EQ(owner.sent.back(), kL2 + "\r\n");
  EXPECT_EQ(owner.sent.size(), 2u + 300u + 1u);
  Answer("R");
  EXPECT_EQ(owner.errors, Texts{"Too Many Transmission Error !!!"});
  EXPECT_EQ(owner.sent.size(), 303u) << "the 301st request is not answered";

  // The count starts again with the next instruction.
  h.Reset();
  owner.ClearRecords();
  StartUpload("PB boot.hex");
  for (int i = 1; i <= 300; ++i)
    Answer("R");
  EXPECT_TRUE(owner.errors.empty());
}

TEST_F(ProgBootTest, RepeatRequestAfterTheRecordIsLeftWaiting) {
  files.Write("boot.hex", kL1 + "\n");
  StartUpload("PB boot.hex");
  Answer(".");
  h.Step();
  const auto sent = owner.sent.size();
  Answer("R");
  h.Step();
  EXPECT_EQ(owner.rx, "R");
  EXPECT_EQ(owner.sent.size(), sent);
  EXPECT_TRUE(h.Busy());
}

TEST_F(ProgBootTest, UnitFailuresStopTheInstruction) {
  files.Write("boot.hex", kL1 + "\n");
  struct Case {
    Texts replies;  // after "PB" was sent; the last one fails
    std::string message;
    Texts events;  // of the failing step
  };
  const Texts consumeFirst{"Receive", "ChangeBufIn", "ChangeBusy", "Error"};
  const Texts errorFirst{"Receive", "ChangeBusy", "Error", "ChangeBufIn"};
  const Case cases[] = {
      {{"I"}, "Instruction unknown", consumeFirst},
      {{".", "X"}, "Error while erasing !!!", consumeFirst},
      {{".", ".", "X"}, "Error while writing!!!", errorFirst},
      {{".", ".", ".", "", "X"}, "Checksum Error", consumeFirst},
  };
  for (const auto& c : cases) {
    TestOwner o;
    TProgBoot handler;
    o.Attach(handler);
    handler.SetFileFolder(files.Path());
    o.Offer(handler, "PB boot.hex");
    handler.Step();
    for (const auto& reply : c.replies) {
      o.events.clear();
      o.Reply(reply);
      handler.Step();
    }
    EXPECT_EQ(o.errors, Texts{c.message});
    EXPECT_EQ(o.events, c.events) << c.message;
    EXPECT_EQ(o.rx, "");
    handler.Step();
    EXPECT_EQ(o.errors.size(), 1u) << "a failed handler stays put";
  }
}

}  // namespace
