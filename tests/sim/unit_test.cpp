// The unit's side of the example dialogues, byte for byte, with the replies
// the updater relies on for each failure.
#include <gtest/gtest.h>

#include <string>

#include "hex/hex.h"
#include "sim/unit.h"

namespace {

using sim::kEsc;
using sim::Unit;
using sim::UnitConfig;

const std::string kBlockRequest{kEsc, '.'};

class Dialogue {
 public:
  explicit Dialogue(UnitConfig config = {}) : unit(std::move(config)) {}

  std::string Send(std::string_view bytes, int baud = sim::kFastBaud) {
    unit.Receive(bytes, baud);
    return Output();
  }
  std::string Output() {
    std::string out;
    for (const sim::Chunk& chunk : unit.TakeOutput())
      out += chunk.bytes;
    return out;
  }
  std::string Text(std::string_view text) {
    unit.Receive(text, sim::kFastBaud);
    unit.EndOfText();
    return Output();
  }
  void Sync() {
    unit.EmitCallSign();
    Output();
    ASSERT_EQ(Send("%"), ".");
  }
  std::string Line(const std::string& record) { return Send(record + "\r\n"); }

  Unit unit;
};

std::string Data(std::uint16_t address, const std::string& bytes) {
  return MakeHexRecord(0x00, address, bytes);
}

std::string Checksum(std::uint16_t sum) {
  return MakeHexRecord(0x0C, 0x0000, WordToHex(sum));
}

TEST(StartUp, SendsCallSignsUntilAnsweredThenReportsChecksumAndIdentity) {
  UnitConfig config;
  config.boot_checksum = "1234";
  config.device_id = "ABCD";
  Dialogue d(config);
  d.unit.EmitCallSign();
  d.unit.EmitCallSign();
  EXPECT_EQ(d.Output(), "%%");
  EXPECT_EQ(d.Send("ab."), "") << "only the call sign's answer counts at start-up";
  EXPECT_EQ(d.Send("%"), ".");
  EXPECT_FALSE(d.unit.WantsCallSign());
  EXPECT_EQ(d.Send("17"), ".1234ABCD.");
}

TEST(StartUp, WrongTypeOfDeviceAnswersX) {
  UnitConfig config;
  config.wrong_type = true;
  Dialogue d(config);
  d.Sync();
  EXPECT_EQ(d.Send("17"), "X");
}

TEST(StartUp, ReportedBootChecksumFollowsTheBootArea) {
  Dialogue d;
  d.Sync();
  // An erased area sums to E000; the unit adds 6000 and the updater takes it off.
  EXPECT_EQ(d.Send("17"), ".4000A470.");
  d.Send("PB");
  d.Line(Data(0x4000, "0102"));
  d.Line(Checksum(static_cast<std::uint16_t>(0xE000 - 0xFF - 0xFF + 3)));
  EXPECT_EQ(d.unit.BootChecksumText(), WordToHex((0xE000 - 0xFF - 0xFF + 3 + 0x6000) & 0xFFFF));
}

TEST(StartUp, NoiseBeforeTheFirstCallSignIsReproducibleAndNeverACallSign) {
  UnitConfig config;
  config.faults.noise = 200;
  config.faults.seed = 7;
  Dialogue a(config), b(config);
  a.unit.EmitCallSign();
  b.unit.EmitCallSign();
  const std::string noise = a.Output();
  EXPECT_EQ(noise, b.Output());
  ASSERT_EQ(noise.size(), 201u);
  EXPECT_EQ(noise.find('%'), 200u);
  a.unit.EmitCallSign();
  EXPECT_EQ(a.Output(), "%") << "noise comes once, before the first call sign";
}

TEST(BootProgramming, ExampleDialogueStoresTheLinesAndAgreesOnTheSum) {
  Dialogue d;
  d.Sync();
  const std::string l1 = Data(0x4000, "0102030405060708");
  const std::string l2 = MakeHexRecord(0x01, 0, "");
  EXPECT_EQ(d.Send("PB"), "..");
  EXPECT_EQ(d.Line(l1), ".");
  EXPECT_EQ(d.Line(l2), ".");
  const std::uint16_t sum = HexFileChecksum({l1, l2}, 0x4000, 0x5FFF);
  EXPECT_EQ(d.Line(Checksum(sum)), ".");
  EXPECT_EQ(d.unit.boot().At(0x4000), 0x01);
  EXPECT_EQ(d.unit.boot().At(0x4007), 0x08);
  EXPECT_EQ(d.unit.boot().Sum16(), sum);
  EXPECT_EQ(d.Send("RS"), ".") << "back in command mode after the checksum record";
}

TEST(BootProgramming, EveryFaultyLineIsAnsweredAndTheUploadGoesOn) {
  struct Case {
    const char* what;
    std::string sent;
    std::string reply;
  };
  const std::string good = Data(0x4100, "AABB");
  std::string bad_sum = good;
  bad_sum.back() = bad_sum.back() == '0' ? '1' : '0';
  std::string lower = good;
  lower.replace(lower.find("AABB"), 4, "aabb");
  const Case cases[] = {
      {"record checksum wrong", bad_sum + "\r\n", "R"},
      {"line without its CR", good + "\n", "R"},
      {"lower-case digits", lower + "\r\n", "R"},
      {"count longer than the data", good.substr(0, good.size() - 2) + "\r\n", "R"},
      {"not a record", "hello\r\n", "R"},
      {"blank line", "\r\n", "."},
      {"extended address record", MakeHexRecord(0x04, 0, "0000") + "\r\n", "."},
      {"data outside the boot area", Data(0x3FFF, "0102") + "\r\n", "X"},
      {"unknown record type", MakeHexRecord(0x09, 0, "00") + "\r\n", "X"},
      {"the good line", good + "\r\n", "."},
  };
  Dialogue d;
  d.Sync();
  ASSERT_EQ(d.Send("PB"), "..");
  for (const Case& c : cases)
    EXPECT_EQ(d.Send(c.sent), c.reply) << c.what;
  EXPECT_EQ(d.unit.boot().At(0x4100), 0xAA);
  EXPECT_EQ(d.unit.boot().At(0x3FFF), 0xFF);
}

TEST(BootProgramming, VerificationThatDisagreesWithWhatWasStoredIsAnsweredX) {
  Dialogue d;
  d.Sync();
  d.Send("PB");
  d.Line(Data(0x4000, "00"));
  EXPECT_EQ(d.Line(Checksum(0xE000)), "X") << "the erased sum is no longer right";
  EXPECT_EQ(d.Send("NP"), ".");
}

TEST(BootProgramming, DataAfterTheEndOfFileRecordIsNotStored) {
  Dialogue d;
  d.Sync();
  d.Send("PB");
  EXPECT_EQ(d.Line(MakeHexRecord(0x01, 0, "")), ".");
  EXPECT_EQ(d.Line(Data(0x4000, "00")), ".");
  EXPECT_EQ(d.Line(Checksum(0xE000)), ".");
}

TEST(BankProgramming, ExampleDialogueSumsTheUpperHalfForBankOne) {
  Dialogue d;
  d.Sync();
  const std::string l1 = Data(0x8000, "11223344");
  const std::string l2 = Data(0xFFFE, "5566");
  EXPECT_EQ(d.Send("P1"), "..");
  EXPECT_EQ(d.Line(l1), ".");
  EXPECT_EQ(d.Line(l2), ".");
  EXPECT_EQ(d.Line(Checksum(HexFileChecksum({l1, l2}, 0x8000, 0xFFFF))), ".");
  EXPECT_EQ(d.unit.bank(1).At(0xFFFF), 0x66);
  EXPECT_EQ(d.unit.bank(2).Sum16(), 0x8000) << "other banks untouched";
}

TEST(BankProgramming, EachBankTakesOnlyItsOwnHalf) {
  struct Case {
    const char* command;
    std::uint16_t address;
    const char* reply;
  };
  const Case cases[] = {
      {"P0", 0x0000, "."}, {"P0", 0x7FFF, "."}, {"P0", 0x8000, "X"},
      {"P3", 0x8000, "."}, {"P3", 0x7FFF, "X"}, {"P2", 0xFFFF, "."},
  };
  for (const Case& c : cases) {
    Dialogue d;
    d.Sync();
    ASSERT_EQ(d.Send(c.command), "..");
    EXPECT_EQ(d.Line(Data(c.address, "5A")), c.reply) << c.command << " " << c.address;
  }
}

TEST(BankProgramming, RepeatRequestForTheVerificationRecordKeepsTheUploadOpen) {
  UnitConfig config;
  config.faults.resend_at = {2};
  Dialogue d(config);
  d.Sync();
  d.Send("P0");
  EXPECT_EQ(d.Line(Data(0x0000, "00")), ".");
  const std::string verify = Checksum(0x8000 - 0xFF);
  EXPECT_EQ(d.Line(verify), "R");
  EXPECT_EQ(d.Line(verify), ".");
}

TEST(BankProgramming, EraseFailureAnswersXAfterTheFirstAcknowledgement) {
  UnitConfig config;
  sim::ParseFaultPoints("P1", config.faults.fail_at);
  Dialogue d(config);
  d.Sync();
  EXPECT_EQ(d.Send("P1"), ".X");
  EXPECT_EQ(d.Send("P1"), "..") << "only the first occurrence fails";
}

TEST(GeneralCommands, RepliesOfTheExampleDialogues) {
  struct Case {
    std::string sent;
    std::string reply;
  };
  const Case cases[] = {
      {"RS", "."},
      {"NP", "."},
      {"FI", "."},
      {"F2", "."},
      {"F5", "."},
      {"D0", ".3C."},
      {"D3", ".3C."},
      {"T1", ".0100."},
      {"Ve", "I"},  // "Verify" is a V line with
                    // the component "e"
      {"TA", "I"},
      {"P6", "I"},
      {"D7", "I"},
      {"S0", "I"},
      {"Q", "I"},
      {"%", "I"},
      {"\r", "I"},
  };
  Dialogue d;
  d.Sync();
  for (const Case& c : cases)
    EXPECT_EQ(d.Send(c.sent), c.reply) << c.sent;
}

TEST(GeneralCommands, VersionTextsAreStoredAndReadBack) {
  Dialogue d;
  d.Sync();
  EXPECT_EQ(d.Send("V1"), ".");
  EXPECT_EQ(d.Text("0105"), ".");
  EXPECT_EQ(d.Send("T1"), ".0105.");
  EXPECT_EQ(d.Send("UV"), ".");
  EXPECT_EQ(d.Text("2.04 build 7"), ".");
  EXPECT_EQ(d.Send("OP"), ".");
  EXPECT_EQ(d.Text("0001"), ".");
  EXPECT_EQ(d.unit.unit_version(), "2.04 build 7");
  EXPECT_EQ(d.unit.option_text(), "0001");
}

TEST(GeneralCommands, TextsTheUnitCannotHoldAreRefused) {
  struct Case {
    const char* command;
    std::string text;
  };
  const Case cases[] = {
      {"V2", "010"},  {"V2", "01050"}, {"V2", "0105\r\n"}, {"UV", std::string(33, 'x')},
      {"OP", "a\tb"},
  };
  Dialogue d;
  d.Sync();
  for (const Case& c : cases) {
    ASSERT_EQ(d.Send(c.command), ".");
    EXPECT_EQ(d.Text(c.text), "X") << c.command << " " << c.text;
  }
  EXPECT_EQ(d.unit.version(2), "0100");
}

TEST(GeneralCommands, ReadingAVersionThatIsNotStoredAnswersX) {
  UnitConfig config;
  config.versions[3] = "";
  Dialogue d(config);
  d.Sync();
  EXPECT_EQ(d.Send("T3"), ".X");
}

class PromSession : public ::testing::Test {
 protected:
  void SetUp() override {
    d.Sync();
    ASSERT_EQ(d.Send("P4"), ".");
  }
  std::string Record(std::uint8_t type, std::uint16_t address, const std::string& data) {
    return d.Line(MakeHexRecord(type, address, data));
  }
  Dialogue d;
};

TEST_F(PromSession, WorkedExampleRecordsAreAcknowledged) {
  EXPECT_EQ(d.Line(":020000050001F8"), ".");      // STATE RESET IDLE
  EXPECT_EQ(d.Line(":010000060DEC"), ".");        // ENDIR IRPAUSE
  EXPECT_EQ(d.Line(":0100000701F7"), ".");        // ENDDR IDLE
  EXPECT_EQ(d.Line(":04000004000003E80D"), ".");  // RUNTEST 1000 TCK
  EXPECT_EQ(d.Line(":01000862FE97"), ".");        // SIR 8 TDI (FE)
  EXPECT_EQ(d.Line(":00000001FF"), ".");
  EXPECT_EQ(d.Send("NP"), ".") << "the end record closes the session";
}

TEST_F(PromSession, IdcodeIsReadThroughTheInstructionAndDataRegisters) {
  d.Line(":020000050001F8");
  // SIR 8 TDI (FE) TDO (01) MASK (03): the IR captures 01, with its sum.
  EXPECT_EQ(d.Line(":01000872FE87"), std::string("0101") + kEsc + ".");
  EXPECT_EQ(d.Send("."), ".");
  // SDR 32 TDI (00000000) TDO (...): IDCODE 0470A0D3, first byte first.
  EXPECT_EQ(d.Line(":010020F300EC"), std::string("D3A07004") + "E7" + kEsc + ".");
  EXPECT_EQ(d.Send("R"), std::string("D3A07004E7") + kEsc + ".") << "sent again on request";
  EXPECT_EQ(d.Send("."), ".");
}

TEST_F(PromSession, LongDataShiftAsksForItsBlockAndChecksTheBlockSum) {
  d.Line(":020000050001F8");
  Record(0x62, 8, "10");                                     // SIR 8 TDI (10): the address register
  const std::string header = MakeHexRecord(0x63, 16, "06");  // SDR 16 TDI (0040)
  EXPECT_EQ(d.Line(header), kBlockRequest);
  EXPECT_EQ(d.Send("400041"), "R") << "wrong block sum";
  EXPECT_EQ(d.Line(header), kBlockRequest);
  EXPECT_EQ(d.Send("400040"), ".");
  EXPECT_EQ(d.unit.prom(4).address(), 0x0040u);
}

TEST_F(PromSession, StatementsThatCannotBeCarriedOutAnswerX) {
  struct Case {
    const char* what;
    std::uint8_t type;
    std::uint16_t address;
    std::string data;
  };
  const Case cases[] = {
      {"unknown record type", 0x08, 0, "00"},
      {"ENDIR to a data state", 0x06, 0, "06"},
      {"ENDDR to a shift state", 0x07, 0, "04"},
      {"state code out of range", 0x05, 0, "10"},
      {"STATE to a non-adjacent unstable state", 0x05, 0, "04"},
      {"RUNTEST with a short count", 0x04, 0, "0003"},
      {"SIR data shorter than its length", 0x62, 16, "FE"},
      {"SIR without TDI and no earlier one", 0x62, 8, ""},
      {"long SDR announcing the wrong block size", 0x63, 32, "04"},
      {"continued shift outside a shift state", 0x83, 8, "00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Record(c.type, c.address, c.data), "X") << c.what;
  }
}

TEST_F(PromSession, SlowSessionListensAt19200UntilTheEndRecord) {
  EXPECT_EQ(d.Line(":00000001FF"), ".");
  ASSERT_EQ(d.Send("S5"), ".");
  EXPECT_EQ(d.unit.listen_baud(), sim::kSlowBaud);
  EXPECT_EQ(d.Send("P5", sim::kFastBaud), "II") << "bytes at the old speed arrive garbled";
  EXPECT_EQ(d.Send("P5", sim::kSlowBaud), ".");
  d.unit.Receive(":00000001FF\r\n", sim::kSlowBaud);
  const auto chunks = d.unit.TakeOutput();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].bytes, ".");
  EXPECT_EQ(chunks[0].baud, sim::kSlowBaud) << "acknowledged at the session's speed";
  EXPECT_EQ(d.unit.listen_baud(), sim::kFastBaud);
}

TEST_F(PromSession, IdentificationHoldsIdcodeAndArraySumLowByteFirst) {
  d.Line(":00000001FF");
  // Erased 1024-byte array: sum 0003FC00.
  EXPECT_EQ(d.Send("D4"), ".00FC0300D3A07004.");
}

TEST(Faults, EscapeFormsReplaceZeroAndEscapeBytes) {
  UnitConfig config;
  config.prom_idcode[0] = 0x001B0001;
  config.faults.escapes = sim::EscapeMode::kAll;
  Dialogue d(config);
  d.Sync();
  d.Send("P4");
  d.Line(":020000050001F8");
  // IDCODE bytes 01 00 1B 00, sum 1C.
  EXPECT_EQ(d.Line(":010020F300EC"),
            std::string("01") + kEsc + '0' + kEsc + kEsc + kEsc + '0' + "1C" + kEsc + '.');
}

TEST(Faults, SilenceAndHangUpStopAllAnswers) {
  UnitConfig config;
  sim::ParseFaultPoints("D0", config.faults.silence_at);
  sim::ParseFaultPoints("cmd:4", config.faults.hangup_at);
  Dialogue d(config);
  d.Sync();
  EXPECT_EQ(d.Send("F0"), ".");
  EXPECT_EQ(d.Send("D0"), "");
  EXPECT_TRUE(d.unit.silent());
  EXPECT_EQ(d.Send("F0"), "");
  EXPECT_FALSE(d.unit.hang_up_requested());

  Dialogue h(config);
  h.Sync();
  h.Send("F0");
  h.Send("F1");
  EXPECT_EQ(h.Send("F2"), "");
  EXPECT_TRUE(h.unit.hang_up_requested());
}

TEST(Faults, ChatterAnswersNothingButCallsOnWithNoiseThatIsNoReply) {
  UnitConfig config;
  sim::ParseFaultPoints("P0", config.faults.chatter_at);
  Dialogue d(config);
  d.Sync();
  EXPECT_FALSE(d.unit.WantsCallSign());
  EXPECT_EQ(d.Send("P0"), "");
  EXPECT_EQ(d.Send("F0"), "");
  ASSERT_TRUE(d.unit.WantsCallSign());
  for (int k = 0; k < 200; ++k) {
    d.unit.EmitCallSign();
    const std::string out = d.Output();
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out.back(), '%');
    EXPECT_EQ(out.find_first_of(".XRI"), std::string::npos) << out;
  }
}

TEST(Faults, SplitRepliesArriveInPiecesThatMakeTheWholeReply) {
  UnitConfig config;
  config.faults.split_ms = 5;
  config.boot_checksum = "1234";
  Unit unit(config);
  unit.EmitCallSign();
  unit.TakeOutput();
  unit.Receive("%17", sim::kFastBaud);
  std::string whole;
  std::size_t pieces = 0;
  for (const sim::Chunk& chunk : unit.TakeOutput()) {
    whole += chunk.bytes;
    ++pieces;
    if (pieces > 3) {
      EXPECT_EQ(chunk.delay_ms, 5u);  // after the first piece of the long reply
    }
  }
  EXPECT_EQ(whole, "..1234A470.");
  EXPECT_GT(pieces, 3u);
}

TEST(Faults, PowerOnRestartsTheDialogueAndKeepsTheMemories) {
  Dialogue d;
  d.Sync();
  d.Send("V0");
  d.Text("0200");
  d.Send("P0");
  d.Line(Data(0x0000, "42"));
  d.unit.PowerOn();
  EXPECT_TRUE(d.unit.WantsCallSign());
  EXPECT_EQ(d.Send("RS"), "");
  EXPECT_EQ(d.unit.version(0), "0200");
  EXPECT_EQ(d.unit.bank(0).At(0), 0x42);
}

}  // namespace

namespace {

// Every byte from the line is untrusted: whatever arrives, in whatever state,
// the unit answers within its vocabulary and reads nothing out of bounds.
TEST(Robustness, ArbitraryBytesInEveryStateGetOnlyDialogueReplies) {
  const std::string openers[] = {
      "", "PB", "P2", "P4", "S5", "V1", "UV", "P4:010010630467\r\n", "P4:01000872FE87\r\n"};
  std::uint32_t seed = 12345;
  auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return static_cast<char>(seed >> 16);
  };
  for (const std::string& opener : openers) {
    for (int round = 0; round < 20; ++round) {
      Dialogue d;
      d.Sync();
      d.Send(opener);
      std::string noise;
      for (int k = 0; k < 700; ++k)
        noise += k % 97 == 0 ? '\n' : next();
      d.unit.Receive(noise, round % 2 ? sim::kSlowBaud : sim::kFastBaud);
      d.unit.EndOfText();
      for (char c : d.Output()) {
        EXPECT_NE(std::string(".IXR0123456789ABCDEF%\x1B").find(c), std::string::npos)
            << opener << " replied " << int(c);
      }
    }
  }
}

}  // namespace
