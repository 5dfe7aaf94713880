#include "sim/jtag.h"

#include <array>
#include <deque>

namespace sim {

namespace {

constexpr std::size_t kTapStateCount = 16;
constexpr std::size_t kIrLength = 8;
constexpr std::size_t kIdcodeLength = 32;
constexpr std::size_t kAddressLength = 16;
constexpr std::size_t kPageLength = kPromPageSize * 8;

std::vector<std::uint8_t> BitsOf(std::uint64_t value, std::size_t count) {
  std::vector<std::uint8_t> bits(count);
  for (std::size_t i = 0; i < count; ++i)
    bits[i] = static_cast<std::uint8_t>((value >> i) & 1);
  return bits;
}

std::vector<std::uint8_t> BitsOfBytes(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint8_t> bits(bytes.size() * 8);
  for (std::size_t i = 0; i < bits.size(); ++i)
    bits[i] = (bytes[i / 8] >> (i % 8)) & 1;
  return bits;
}

bool ShiftOne(std::vector<std::uint8_t>& reg, bool tdi) {
  if (reg.empty()) return tdi;
  const bool out = reg.front() != 0;
  reg.erase(reg.begin());
  reg.push_back(tdi ? 1 : 0);
  return out;
}

}  // namespace

std::optional<TapState> TapStateFromCode(std::uint8_t code) {
  if (code >= kTapStateCount) return std::nullopt;
  return static_cast<TapState>(code);
}

TapState NextTapState(TapState state, bool tms) {
  switch (state) {
    case TapState::kReset:
      return tms ? TapState::kReset : TapState::kIdle;
    case TapState::kIdle:
      return tms ? TapState::kDrSelect : TapState::kIdle;
    case TapState::kDrSelect:
      return tms ? TapState::kIrSelect : TapState::kDrCapture;
    case TapState::kDrCapture:
      return tms ? TapState::kDrExit1 : TapState::kDrShift;
    case TapState::kDrShift:
      return tms ? TapState::kDrExit1 : TapState::kDrShift;
    case TapState::kDrExit1:
      return tms ? TapState::kDrUpdate : TapState::kDrPause;
    case TapState::kDrPause:
      return tms ? TapState::kDrExit2 : TapState::kDrPause;
    case TapState::kDrExit2:
      return tms ? TapState::kDrUpdate : TapState::kDrShift;
    case TapState::kDrUpdate:
      return tms ? TapState::kDrSelect : TapState::kIdle;
    case TapState::kIrSelect:
      return tms ? TapState::kReset : TapState::kIrCapture;
    case TapState::kIrCapture:
      return tms ? TapState::kIrExit1 : TapState::kIrShift;
    case TapState::kIrShift:
      return tms ? TapState::kIrExit1 : TapState::kIrShift;
    case TapState::kIrExit1:
      return tms ? TapState::kIrUpdate : TapState::kIrPause;
    case TapState::kIrPause:
      return tms ? TapState::kIrExit2 : TapState::kIrPause;
    case TapState::kIrExit2:
      return tms ? TapState::kIrUpdate : TapState::kIrShift;
    case TapState::kIrUpdate:
      return tms ? TapState::kDrSelect : TapState::kIdle;
  }
  return TapState::kReset;
}

bool IsStableState(TapState state) {
  switch (state) {
    case TapState::kReset:
    case TapState::kIdle:
    case TapState::kDrPause:
    case TapState::kIrPause:
      return true;
    case TapState::kDrSelect:
    case TapState::kDrCapture:
    case TapState::kDrShift:
    case TapState::kDrExit1:
    case TapState::kDrExit2:
    case TapState::kDrUpdate:
    case TapState::kIrSelect:
    case TapState::kIrCapture:
    case TapState::kIrShift:
    case TapState::kIrExit1:
    case TapState::kIrExit2:
    case TapState::kIrUpdate:
      return false;
  }
  return false;
}

std::vector<bool> TmsPath(TapState from, TapState to) {
  // Breadth-first over the sixteen states; trying TMS 0 before 1 makes the
  // choice between equally short paths fixed.
  struct Step {
    bool reached = false;
    TapState previous = TapState::kReset;
    bool tms = false;
  };
  std::array<Step, kTapStateCount> steps{};
  std::deque<TapState> queue{from};
  steps[static_cast<std::size_t>(from)].reached = true;
  while (!queue.empty() && !steps[static_cast<std::size_t>(to)].reached) {
    const TapState at = queue.front();
    queue.pop_front();
    for (bool tms : {false, true}) {
      const TapState next = NextTapState(at, tms);
      Step& step = steps[static_cast<std::size_t>(next)];
      if (step.reached) continue;
      step = Step{true, at, tms};
      queue.push_back(next);
    }
  }
  std::vector<bool> path;
  for (TapState at = to; at != from;) {
    const Step& step = steps[static_cast<std::size_t>(at)];
    path.insert(path.begin(), step.tms);
    at = step.previous;
  }
  return path;
}

PromInstruction DecodeInstruction(std::uint8_t opcode) {
  struct Entry {
    std::uint8_t opcode;
    PromInstruction instruction;
  };
  static constexpr Entry kTable[] = {
      {0xFF, PromInstruction::kBypass},  {0xFE, PromInstruction::kIdcode},
      {0x10, PromInstruction::kAddress}, {0x20, PromInstruction::kErase},
      {0x30, PromInstruction::kProgram}, {0x40, PromInstruction::kRead},
  };
  for (const Entry& entry : kTable) {
    if (entry.opcode == opcode) return entry.instruction;
  }
  return PromInstruction::kBypass;
}

PromDevice::PromDevice(std::uint32_t idcode, std::uint32_t size)
    : idcode_(idcode), array_(0, size), page_(kPromPageSize, 0xFF) {
  PowerOn();
}

void PromDevice::PowerOn() {
  state_ = TapState::kReset;
  Reset();
}

void PromDevice::Reset() {
  instruction_ = PromInstruction::kIdcode;
  ir_ = BitsOf(kIrCaptureValue, kIrLength);
  dr_ = BitsOf(idcode_, kIdcodeLength);
  address_ = 0;
  erase_armed_ = false;
  program_armed_ = false;
  idle_clocks_ = 0;
}

bool PromDevice::Clock(bool tms, bool tdi) {
  if (observer_) observer_(tms, tdi, 1);
  bool tdo = false;
  if (state_ == TapState::kDrShift) tdo = ShiftOne(dr_, tdi);
  if (state_ == TapState::kIrShift) tdo = ShiftOne(ir_, tdi);
  if (state_ == TapState::kIdle && !tms) CountIdleClocks(1);
  Enter(NextTapState(state_, tms));
  return tdo;
}

void PromDevice::IdleClocks(std::uint32_t count) {
  if (state_ != TapState::kIdle) return;
  if (observer_) observer_(false, false, count);
  CountIdleClocks(count);
}

void PromDevice::CountIdleClocks(std::uint32_t count) {
  idle_clocks_ += count;
  if (erase_armed_ && idle_clocks_ >= kEraseClocks) {
    array_.Erase();
    erase_armed_ = false;
  }
  if (program_armed_ && idle_clocks_ >= kProgramClocks) {
    array_.Program(address_, page_);
    ++pages_programmed_;
    address_ = (address_ + kPromPageSize) % array_.size();
    program_armed_ = false;
  }
}

void PromDevice::Enter(TapState state) {
  // An erase or a page program needs its clocks in Run-Test/Idle without a
  // break; leaving the state abandons it, as the real part would.
  if (state_ == TapState::kIdle && state != TapState::kIdle) {
    erase_armed_ = false;
    program_armed_ = false;
  }
  state_ = state;
  switch (state) {
    case TapState::kReset:
      Reset();
      break;
    case TapState::kDrCapture:
      CaptureDr();
      break;
    case TapState::kDrUpdate:
      UpdateDr();
      break;
    case TapState::kIrCapture:
      ir_ = BitsOf(kIrCaptureValue, kIrLength);
      break;
    case TapState::kIrUpdate: {
      std::uint8_t opcode = 0;
      for (std::size_t i = 0; i < ir_.size() && i < kIrLength; ++i) {
        opcode = static_cast<std::uint8_t>(opcode | (ir_[i] << i));
      }
      instruction_ = DecodeInstruction(opcode);
      erase_armed_ = instruction_ == PromInstruction::kErase;
      program_armed_ = false;
      idle_clocks_ = 0;
      break;
    }
    case TapState::kIdle:
    case TapState::kDrSelect:
    case TapState::kDrShift:
    case TapState::kDrExit1:
    case TapState::kDrPause:
    case TapState::kDrExit2:
    case TapState::kIrSelect:
    case TapState::kIrShift:
    case TapState::kIrExit1:
    case TapState::kIrPause:
    case TapState::kIrExit2:
      break;
  }
}

void PromDevice::CaptureDr() {
  switch (instruction_) {
    case PromInstruction::kBypass:
    case PromInstruction::kErase:
      dr_ = {0};
      break;
    case PromInstruction::kIdcode:
      dr_ = BitsOf(idcode_, kIdcodeLength);
      break;
    case PromInstruction::kAddress:
      dr_ = BitsOf(address_, kAddressLength);
      break;
    case PromInstruction::kProgram:
      dr_.assign(kPageLength, 0);
      break;
    case PromInstruction::kRead:
      dr_ = BitsOfBytes(array_.Read(address_, kPromPageSize));
      break;
  }
}

void PromDevice::UpdateDr() {
  switch (instruction_) {
    case PromInstruction::kBypass:
    case PromInstruction::kIdcode:
    case PromInstruction::kErase:
      break;
    case PromInstruction::kAddress:
      address_ = (RegisterValue() % array_.size()) / kPromPageSize * kPromPageSize;
      break;
    case PromInstruction::kProgram:
      page_ = RegisterBytes();
      page_.resize(kPromPageSize, 0xFF);
      program_armed_ = true;
      idle_clocks_ = 0;
      break;
    case PromInstruction::kRead:
      address_ = (address_ + kPromPageSize) % array_.size();
      break;
  }
}

std::uint32_t PromDevice::RegisterValue() const {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < dr_.size() && i < 32; ++i)
    value |= std::uint32_t{dr_[i]} << i;
  return value;
}

std::vector<std::uint8_t> PromDevice::RegisterBytes() const {
  std::vector<std::uint8_t> bytes(dr_.size() / 8);
  for (std::size_t i = 0; i < bytes.size() * 8; ++i) {
    bytes[i / 8] = static_cast<std::uint8_t>(bytes[i / 8] | (dr_[i] << (i % 8)));
  }
  return bytes;
}

void JtagPort::Walk(TapState target) {
  for (bool tms : TmsPath(device_.state(), target))
    device_.Clock(tms, false);
}

bool JtagPort::MoveTo(TapState state, bool alone) {
  const TapState at = device_.state();
  if (at == state && IsStableState(state)) {
    if (alone) {
      // A record of this state alone moves by SVF's path table even here:
      // one clock in Run-Test/Idle, TMS 1 in Test-Logic-Reset, and a round
      // through Update (which latches the register) from a Pause state.
      static constexpr bool kDrRound[] = {true, true, true, false, true, false};
      static constexpr bool kIrRound[] = {true, true, true, true, false, true, false};
      if (state == TapState::kDrPause) {
        for (bool tms : kDrRound)
          device_.Clock(tms, false);
      } else if (state == TapState::kIrPause) {
        for (bool tms : kIrRound)
          device_.Clock(tms, false);
      } else {
        device_.Clock(state == TapState::kReset, false);
      }
      return true;
    }
    // Inside a path, naming the state the TAP is in keeps it there for one
    // TCK: the only way a record can hold clocks in a Pause state.
    device_.Clock(state == TapState::kReset, false);
    return true;
  }
  if (NextTapState(at, false) == state) {
    device_.Clock(false, false);
    return true;
  }
  if (NextTapState(at, true) == state) {
    device_.Clock(true, false);
    return true;
  }
  // Test-Logic-Reset is reachable from anywhere with TMS held high; other
  // paths of more than one step are only defined between resting states.
  if (state == TapState::kReset || (IsStableState(at) && IsStableState(state))) {
    Walk(state);
    return true;
  }
  return false;
}

bool JtagPort::RunTest(std::uint32_t count) {
  if (!IsStableState(device_.state())) return false;
  Walk(TapState::kIdle);
  device_.IdleClocks(count);
  return true;
}

bool JtagPort::SetEndState(bool instruction_register, TapState state) {
  const TapState pause = instruction_register ? TapState::kIrPause : TapState::kDrPause;
  if (state != pause && state != TapState::kReset && state != TapState::kIdle) return false;
  (instruction_register ? end_ir_ : end_dr_) = state;
  return true;
}

bool JtagPort::Shift(ShiftRequest request, std::vector<std::uint8_t>& captured) {
  captured.clear();
  if (request.instruction_register && request.tdi.empty() && request.length > 0) {
    // A shift may leave its TDI out when it repeats the last one's length.
    if (!last_ir_ || last_ir_->length != request.length) return false;
    request.tdi = last_ir_->tdi;
  }
  const std::size_t bytes = (request.length + 7u) / 8u;
  if (request.tdi.size() != bytes) return false;
  if (request.instruction_register) last_ir_ = request;
  if (request.length == 0) return true;

  const TapState shift_state =
      request.instruction_register ? TapState::kIrShift : TapState::kDrShift;
  if (request.start) {
    if (!IsStableState(device_.state())) return false;
    Walk(shift_state);
  } else if (device_.state() != shift_state) {
    return false;
  }
  captured.assign(bytes, 0);
  for (std::size_t i = 0; i < request.length; ++i) {
    const bool tdi = (request.tdi[i / 8] >> (i % 8)) & 1;
    const bool last = i + 1 == request.length;
    if (device_.Clock(request.end && last, tdi)) {
      captured[i / 8] = static_cast<std::uint8_t>(captured[i / 8] | (1u << (i % 8)));
    }
  }
  if (request.end) Walk(request.instruction_register ? end_ir_ : end_dr_);
  return true;
}

}  // namespace sim
