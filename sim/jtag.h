#pragma once

// The unit's JTAG side: the test access port state machine, a small PROM
// device with an 8-bit instruction register, and the port through which the
// unit plays Effect records to the one device it has connected. See
// sim/README.md for the instruction set and the timing rules.

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "sim/memory_area.h"

namespace sim {

// Codes as the Effect records carry them.
enum class TapState : std::uint8_t {
  kReset = 0x00,
  kIdle = 0x01,
  kDrSelect = 0x02,
  kDrCapture = 0x03,
  kDrShift = 0x04,
  kDrExit1 = 0x05,
  kDrPause = 0x06,
  kDrExit2 = 0x07,
  kDrUpdate = 0x08,
  kIrSelect = 0x09,
  kIrCapture = 0x0A,
  kIrShift = 0x0B,
  kIrExit1 = 0x0C,
  kIrPause = 0x0D,
  kIrExit2 = 0x0E,
  kIrUpdate = 0x0F,
};

std::optional<TapState> TapStateFromCode(std::uint8_t code);
TapState NextTapState(TapState state, bool tms);
// The states a path may end in and the TAP may rest in between statements.
bool IsStableState(TapState state);
// TMS values of the shortest path (TMS 0 tried first); empty when from == to.
std::vector<bool> TmsPath(TapState from, TapState to);

inline constexpr std::uint32_t kPromPageSize = 16;
inline constexpr std::uint32_t kEraseClocks = 1000;
inline constexpr std::uint32_t kProgramClocks = 100;
inline constexpr std::uint8_t kIrCaptureValue = 0x01;

enum class PromInstruction {
  kBypass,
  kIdcode,
  kAddress,
  kErase,
  kProgram,
  kRead,
};

// Opcode to instruction through one table; any code not in it selects BYPASS.
PromInstruction DecodeInstruction(std::uint8_t opcode);

class PromDevice {
 public:
  PromDevice(std::uint32_t idcode, std::uint32_t size);

  // One TCK with the given TMS and TDI; returns TDO (the bit shifted out when
  // the TAP was in a shift state, else 0).
  bool Clock(bool tms, bool tdi);
  // count TCKs with TMS 0 while the TAP rests in Run-Test/Idle, at once.
  void IdleClocks(std::uint32_t count);
  // Power cycle: TAP to Test-Logic-Reset; the array keeps its contents.
  void PowerOn();

  // Sees every TCK before it acts, with TMS, TDI and how many come alike in
  // a row (IdleClocks reports its clocks in one call). For tests that trace
  // what a player puts on the wires.
  using ClockObserver = std::function<void(bool tms, bool tdi, std::uint32_t count)>;
  void SetClockObserver(ClockObserver observer) { observer_ = std::move(observer); }

  TapState state() const { return state_; }
  PromInstruction instruction() const { return instruction_; }
  std::uint32_t idcode() const { return idcode_; }
  std::uint32_t address() const { return address_; }
  const MemoryArea& array() const { return array_; }
  std::uint32_t pages_programmed() const { return pages_programmed_; }

 private:
  void Enter(TapState state);
  void CaptureDr();
  void UpdateDr();
  void Reset();
  void CountIdleClocks(std::uint32_t count);
  std::uint32_t RegisterValue() const;
  std::vector<std::uint8_t> RegisterBytes() const;
  void LoadRegister(const std::vector<std::uint8_t>& bytes, std::size_t bits);

  std::uint32_t idcode_;
  MemoryArea array_;
  TapState state_ = TapState::kReset;
  PromInstruction instruction_ = PromInstruction::kIdcode;
  std::vector<std::uint8_t> ir_;  // one bit per entry; [0] is next to TDO
  std::vector<std::uint8_t> dr_;
  std::uint32_t address_ = 0;
  std::vector<std::uint8_t> page_;
  bool erase_armed_ = false;
  bool program_armed_ = false;
  std::uint64_t idle_clocks_ = 0;
  std::uint32_t pages_programmed_ = 0;
  ClockObserver observer_;
};

// One shift statement as the record gives it.
struct ShiftRequest {
  bool instruction_register = false;
  bool start = false;  // go from the resting state into Shift-IR/DR first
  bool end = false;    // leave the shift state for the end state afterwards
  std::uint16_t length = 0;
  std::vector<std::uint8_t> tdi;  // byte 0 holds the first bits shifted
};

// The player's side of one Effect session: end states and the TDI a
// following SIR may omit. Each call returns false when the statement cannot
// be carried out from the state the TAP is in.
class JtagPort {
 public:
  explicit JtagPort(PromDevice& device) : device_(device) {}

  // One state of a STATE record; `alone` when the record names no other.
  bool MoveTo(TapState state, bool alone);
  bool RunTest(std::uint32_t count);
  bool SetEndState(bool instruction_register, TapState state);
  bool Shift(ShiftRequest request, std::vector<std::uint8_t>& captured);

 private:
  void Walk(TapState target);

  PromDevice& device_;
  TapState end_ir_ = TapState::kIdle;
  TapState end_dr_ = TapState::kIdle;
  std::optional<ShiftRequest> last_ir_;
};

}  // namespace sim
