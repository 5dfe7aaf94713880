// The JTAG model: the TAP follows the standard state diagram, and the PROM
// erases, programs and reads back only as its instruction set says.
#include <gtest/gtest.h>

#include <vector>

#include "sim/jtag.h"

namespace {

using sim::JtagPort;
using sim::PromDevice;
using sim::ShiftRequest;
using sim::TapState;
using T = TapState;

TEST(Tap, FollowsTheStateDiagramForBothTmsValues) {
  struct Row {
    TapState state, tms0, tms1;
  };
  const Row rows[] = {
      {T::kReset, T::kIdle, T::kReset},
      {T::kIdle, T::kIdle, T::kDrSelect},
      {T::kDrSelect, T::kDrCapture, T::kIrSelect},
      {T::kDrCapture, T::kDrShift, T::kDrExit1},
      {T::kDrShift, T::kDrShift, T::kDrExit1},
      {T::kDrExit1, T::kDrPause, T::kDrUpdate},
      {T::kDrPause, T::kDrPause, T::kDrExit2},
      {T::kDrExit2, T::kDrShift, T::kDrUpdate},
      {T::kDrUpdate, T::kIdle, T::kDrSelect},
      {T::kIrSelect, T::kIrCapture, T::kReset},
      {T::kIrCapture, T::kIrShift, T::kIrExit1},
      {T::kIrShift, T::kIrShift, T::kIrExit1},
      {T::kIrExit1, T::kIrPause, T::kIrUpdate},
      {T::kIrPause, T::kIrPause, T::kIrExit2},
      {T::kIrExit2, T::kIrShift, T::kIrUpdate},
      {T::kIrUpdate, T::kIdle, T::kDrSelect},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(sim::NextTapState(row.state, false), row.tms0) << int(row.state);
    EXPECT_EQ(sim::NextTapState(row.state, true), row.tms1) << int(row.state);
  }
}

TEST(Tap, PathsBetweenStatesAreTheShortestOnes) {
  struct Case {
    TapState from, to;
    std::vector<bool> tms;
  };
  const Case cases[] = {
      {T::kReset, T::kIdle, {false}},
      {T::kIdle, T::kDrShift, {true, false, false}},
      {T::kIdle, T::kIrShift, {true, true, false, false}},
      {T::kDrPause, T::kIdle, {true, true, false}},
      {T::kDrPause, T::kDrShift, {true, false}},  // no new capture from Pause-DR
      {T::kIrPause, T::kDrShift, {true, true, true, false, false}},
      {T::kDrShift, T::kReset, {true, true, true, true, true}},
      {T::kIdle, T::kIdle, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sim::TmsPath(c.from, c.to), c.tms) << int(c.from) << "->" << int(c.to);
  }
}

class Prom : public ::testing::Test {
 protected:
  Prom() : device(0x0470A0D3, 256), port(device) {}

  std::vector<std::uint8_t> Shift(bool ir, std::vector<std::uint8_t> tdi, std::uint16_t bits = 0) {
    ShiftRequest request;
    request.instruction_register = ir;
    request.start = request.end = true;
    request.length = bits ? bits : static_cast<std::uint16_t>(tdi.size() * 8);
    request.tdi = std::move(tdi);
    std::vector<std::uint8_t> captured;
    EXPECT_TRUE(port.Shift(request, captured));
    return captured;
  }
  void Instruction(std::uint8_t opcode) { Shift(true, {opcode}); }
  void Address(std::uint16_t address) {
    Instruction(0x10);
    Shift(false, {static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8)});
  }
  void ProgramPage(std::uint8_t fill, std::uint32_t clocks = sim::kProgramClocks) {
    Instruction(0x30);
    Shift(false, std::vector<std::uint8_t>(16, fill));
    ASSERT_TRUE(port.RunTest(clocks));
  }
  std::vector<std::uint8_t> ReadPage() {
    Instruction(0x40);
    return Shift(false, std::vector<std::uint8_t>(16, 0));
  }
  void Erase(std::uint32_t clocks = sim::kEraseClocks) {
    Instruction(0x20);
    ASSERT_TRUE(port.RunTest(clocks));
  }

  PromDevice device;
  JtagPort port;
};

TEST_F(Prom, IdcodeIsSelectedAfterResetAndTheIrCapturesZeroOne) {
  ASSERT_TRUE(port.MoveTo(T::kReset, true));
  EXPECT_EQ(Shift(false, {0, 0, 0, 0}), (std::vector<std::uint8_t>{0xD3, 0xA0, 0x70, 0x04}));
  EXPECT_EQ(Shift(true, {0xFF}), std::vector<std::uint8_t>{0x01});
  EXPECT_EQ(Shift(false, {0x00}, 1), std::vector<std::uint8_t>{0x00}) << "BYPASS is one bit";
}

TEST_F(Prom, ProgramThenVerifyLeavesThePromHoldingTheData) {
  Erase();
  Address(0x0020);
  ProgramPage(0x5A);
  ProgramPage(0x00);
  Address(0x0020);
  EXPECT_EQ(ReadPage(), std::vector<std::uint8_t>(16, 0x5A));
  EXPECT_EQ(ReadPage(), std::vector<std::uint8_t>(16, 0x00)) << "reading moves to the next page";
  EXPECT_EQ(device.array().At(0x1F), 0xFF);
  EXPECT_EQ(device.array().At(0x20), 0x5A);
  EXPECT_EQ(device.pages_programmed(), 2u);
}

TEST_F(Prom, OperationsNeedTheirClocksInRunTestIdle) {
  Erase();
  ProgramPage(0x0F, sim::kProgramClocks - 1);
  EXPECT_EQ(device.array().At(0), 0xFF) << "too few clocks: nothing programmed";
  ProgramPage(0x0F);
  ProgramPage(0xF0);
  EXPECT_EQ(device.array().At(0x10), 0xF0);
  Address(0);
  ProgramPage(0xF0);
  EXPECT_EQ(device.array().At(0), 0x00) << "programming without an erase only clears bits";
  Erase(sim::kEraseClocks - 1);
  EXPECT_EQ(device.array().At(0), 0x00);
  Erase();
  EXPECT_EQ(device.array().At(0), 0xFF);
}

TEST_F(Prom, ShiftSplitOverSeveralStatementsActsAsOne) {
  Erase();
  Address(0);
  Instruction(0x30);
  std::vector<std::uint8_t> captured;
  ShiftRequest first{false, true, false, 64, std::vector<std::uint8_t>(8, 0x11)};
  ShiftRequest second{false, false, true, 64, std::vector<std::uint8_t>(8, 0x22)};
  ASSERT_TRUE(port.Shift(first, captured));
  EXPECT_EQ(device.state(), T::kDrShift);
  EXPECT_FALSE(port.RunTest(sim::kProgramClocks)) << "no resting in the middle of a shift";
  ASSERT_TRUE(port.Shift(second, captured));
  ASSERT_TRUE(port.RunTest(sim::kProgramClocks));
  EXPECT_EQ(device.array().At(0), 0x11);
  EXPECT_EQ(device.array().At(8), 0x22);
}

TEST_F(Prom, PauseEndStatesDelayTheUpdate) {
  ASSERT_TRUE(port.SetEndState(true, T::kIrPause));
  Instruction(0x10);
  EXPECT_EQ(device.state(), T::kIrPause);
  EXPECT_EQ(device.instruction(), sim::PromInstruction::kIdcode) << "not updated yet";
  Shift(false, {0x40, 0x00});
  EXPECT_EQ(device.instruction(), sim::PromInstruction::kAddress);
  EXPECT_EQ(device.address(), 0x40u);
  EXPECT_FALSE(port.SetEndState(true, T::kDrPause));
  EXPECT_FALSE(port.SetEndState(false, T::kIrPause));
}

}  // namespace
