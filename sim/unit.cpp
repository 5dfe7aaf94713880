#include "sim/unit.h"

#include <algorithm>

#include "hex/hex.h"

namespace sim {

namespace {

// Offset the unit adds to the boot area's sum before reporting it; the
// updater takes it off again when it shows the checksum.
constexpr std::uint16_t kBootChecksumOffset = 0x6000;
constexpr std::uint32_t kBootFirst = 0x4000;
constexpr std::uint32_t kBootSize = 0x2000;
constexpr std::uint32_t kBankSize = 0x8000;
constexpr std::size_t kMaxLine = 530;  // the longest record, its CR, and some slack
constexpr std::size_t kMaxText = 64;
constexpr std::size_t kMaxVersionText = 4;
constexpr std::size_t kMaxOptionText = 32;
constexpr std::size_t kMaxLoggedCommands = 100000;

enum class UploadRecord { kData, kEndOfFile, kAddress, kChecksum, kUnknown };

UploadRecord UploadRecordKind(std::uint8_t type) {
  struct Entry {
    std::uint8_t type;
    UploadRecord kind;
  };
  static constexpr Entry kTable[] = {
      {0x00, UploadRecord::kData},     {0x01, UploadRecord::kEndOfFile},
      {0x02, UploadRecord::kAddress},  {0x03, UploadRecord::kAddress},
      {0x04, UploadRecord::kAddress},  {0x05, UploadRecord::kAddress},
      {0x0C, UploadRecord::kChecksum},
  };
  for (const Entry& entry : kTable) {
    if (entry.type == type) return entry.kind;
  }
  return UploadRecord::kUnknown;
}

enum class EffectRecord { kEnd, kShiftIr, kShiftDr, kRunTest, kState, kEndIr, kEndDr, kUnknown };

constexpr std::uint8_t kCaptureFlag = 0x10;
constexpr std::uint8_t kStartFlag = 0x20;
constexpr std::uint8_t kEndFlag = 0x40;
constexpr std::uint8_t kCompressedFlag = 0x80;

EffectRecord EffectRecordKind(std::uint8_t type) {
  struct Entry {
    std::uint8_t type;
    EffectRecord kind;
  };
  static constexpr Entry kTable[] = {
      {0x01, EffectRecord::kEnd},   {0x04, EffectRecord::kRunTest}, {0x05, EffectRecord::kState},
      {0x06, EffectRecord::kEndIr}, {0x07, EffectRecord::kEndDr},
  };
  for (const Entry& entry : kTable) {
    if (entry.type == type) return entry.kind;
  }
  // Shifts carry flags in the high half; only data-register shifts compress.
  if ((type & 0x0F) == 0x02 && (type & kCompressedFlag) == 0) return EffectRecord::kShiftIr;
  if ((type & 0x0F) == 0x03) return EffectRecord::kShiftDr;
  return EffectRecord::kUnknown;
}

bool IsPrintable(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

std::string Visible(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == kEsc) {
      out += "<ESC>";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (u < 0x20 || u > 0x7E) {
      out += "<" + ByteToHex(u) + ">";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

Unit::Unit(UnitConfig config)
    : config_(std::move(config)),
      faults_(config_.faults),
      boot_(kBootFirst, kBootSize),
      versions_(config_.versions),
      unit_version_(config_.unit_version),
      option_text_(config_.option_text) {
  // Bank 0 answers in the lower half of the address space, the others in the
  // upper half, as the updater computes their sums.
  banks_.emplace_back(0x0000, kBankSize);
  for (int bank = 1; bank < 4; ++bank)
    banks_.emplace_back(0x8000, kBankSize);
  for (std::size_t k = 0; k < proms_.size(); ++k) {
    proms_[k] = std::make_unique<PromDevice>(config_.prom_idcode[k], config_.prom_size);
  }
  PowerOn();
}

Unit::~Unit() = default;

void Unit::PowerOn() {
  state_ = State::kCallSign;
  listen_baud_ = kFastBaud;
  noise_sent_ = false;
  line_.clear();
  line_overflow_ = false;
  jtag_.reset();
  output_.clear();
  for (auto& prom : proms_)
    prom->PowerOn();
}

const PromDevice& Unit::prom(int component) const {
  return *proms_.at(static_cast<std::size_t>(component - 4));
}

bool Unit::WantsCallSign() const {
  return state_ == State::kCallSign || state_ == State::kChatter;
}

void Unit::EmitChatter() {
  // A few bytes of noise with each call sign, none of them a reply that some
  // dialogue step waits for, so the updater hears a unit that talks and
  // never answers.
  std::string noise;
  for (std::uint32_t k = 1 + faults_.Below(3); k > 0; --k) {
    char c = static_cast<char>(faults_.Below(256));
    if (c == '.' || c == 'X' || c == 'R' || c == 'I') c = '~';
    noise += c;
  }
  ++counts_.call_signs;
  Reply(noise + "%");
}

void Unit::EmitCallSign() {
  if (state_ == State::kChatter) {
    EmitChatter();
    return;
  }
  if (state_ != State::kCallSign) return;
  if (!noise_sent_ && config_.faults.noise > 0) {
    std::string noise;
    for (std::uint32_t k = 0; k < config_.faults.noise; ++k) {
      char c = static_cast<char>(faults_.Below(256));
      if (c == '%') c = '&';
      noise += c;
    }
    Reply(noise);
  }
  noise_sent_ = true;
  ++counts_.call_signs;
  Reply("%");
}

bool Unit::InTransfer() const {
  switch (state_) {
    case State::kUpload:
    case State::kEffect:
    case State::kDataBlock:
    case State::kCaptureAck:
      return true;
    case State::kCallSign:
    case State::kCommand:
    case State::kCommandSecond:
    case State::kText:
    case State::kSilent:
    case State::kChatter:
      return false;
  }
  return false;
}

bool Unit::silent() const {
  return state_ == State::kSilent;
}

char Unit::Garble(char byte) {
  // A byte sampled at the wrong speed comes out as something else; with the
  // top bit set it can never pass for a reply or a command.
  const auto u = static_cast<unsigned char>(byte);
  return static_cast<char>(0x80 | ((u * 5 + 3) & 0x7F));
}

void Unit::Receive(std::string_view bytes, int line_baud) {
  for (char c : bytes) {
    if (config_.speed_check && line_baud != listen_baud_) {
      c = Garble(c);
      ++counts_.garbled_in;
    }
    Feed(c);
  }
}

bool Unit::WantsTextEnd() const {
  return state_ == State::kText && (!line_.empty() || line_overflow_);
}

std::vector<Chunk> Unit::TakeOutput() {
  std::vector<Chunk> out;
  out.swap(output_);
  return out;
}

void Unit::Feed(char byte) {
  switch (state_) {
    case State::kCallSign:
      if (byte != '%') break;  // anything else is line noise at start-up
      {
        const auto fault = faults_.OnCommand("%");
        ++counts_.commands;
        command_log_.push_back("%");
        Trace("rx %");
        if (ApplyInterruptingFault(fault)) break;
        if (fault == FaultInjector::Action::kFail) {
          Answer('I');
          break;
        }
        Answer('.');
        state_ = State::kCommand;
      }
      break;
    case State::kCommand:
      StartCommand(byte);
      break;
    case State::kCommandSecond:
      FinishCommand(first_, byte);
      break;
    case State::kText:
      if (line_.size() < kMaxText) {
        line_ += byte;
      } else {
        line_overflow_ = true;
      }
      break;
    case State::kUpload:
      if (TakeLineByte(byte)) HandleUploadLine(line_);
      break;
    case State::kEffect:
      if (TakeLineByte(byte)) HandleEffectLine(line_);
      break;
    case State::kDataBlock:
      line_ += byte;
      if (line_.size() == block_length_) HandleDataBlock();
      break;
    case State::kCaptureAck:
      if (byte == '.') {
        state_ = State::kEffect;
        Answer('.');
      } else if (byte == 'R') {
        ++counts_.capture_resends;
        SendCapture(false);
      } else {
        state_ = State::kEffect;
        Answer('X');
      }
      break;
    case State::kSilent:
    case State::kChatter:
      break;
  }
}

bool Unit::TakeLineByte(char byte) {
  if (byte == '\n') return true;
  if (line_.size() < kMaxLine) {
    line_ += byte;
  } else {
    line_overflow_ = true;
  }
  return false;
}

bool Unit::LookUpCommand(char first, std::optional<char> second, Command& command) {
  struct Row {
    char first;
    char low;  // the second character lies in low..high
    char high;
    Command command;
  };
  static constexpr Row kTable[] = {
      {'1', '7', '7', Command::kDeviceType},  {'P', 'B', 'B', Command::kBootErase},
      {'P', '0', '3', Command::kBankErase},   {'P', '4', '5', Command::kPromSession},
      {'S', '4', '5', Command::kSlowSession}, {'D', '0', '3', Command::kBankId},
      {'D', '4', '5', Command::kPromId},      {'F', '0', '5', Command::kComponentCommand},
      {'F', 'I', 'I', Command::kFinish},      {'V', '0', '5', Command::kVersionWrite},
      {'T', '0', '5', Command::kVersionRead}, {'U', 'V', 'V', Command::kUnitVersion},
      {'O', 'P', 'P', Command::kOptionText},  {'R', 'S', 'S', Command::kReset},
      {'N', 'P', 'P', Command::kNoProgram},
  };
  for (const Row& row : kTable) {
    if (row.first != first) continue;
    if (!second || (*second >= row.low && *second <= row.high)) {
      command = row.command;
      return true;
    }
  }
  return false;
}

void Unit::StartCommand(char first) {
  Command command;
  if (LookUpCommand(first, std::nullopt, command)) {
    first_ = first;
    state_ = State::kCommandSecond;
    return;
  }
  const std::string text(1, first);
  const auto fault = faults_.OnCommand(text);
  ++counts_.commands;
  if (command_log_.size() < kMaxLoggedCommands) command_log_.push_back(text);
  Trace("rx " + Visible(text));
  if (ApplyInterruptingFault(fault)) return;
  Answer('I');
}

void Unit::FinishCommand(char first, char second) {
  state_ = State::kCommand;
  const std::string text{first, second};
  const auto fault = faults_.OnCommand(text);
  ++counts_.commands;
  if (command_log_.size() < kMaxLoggedCommands) command_log_.push_back(text);
  Trace("rx " + Visible(text));
  if (ApplyInterruptingFault(fault)) return;
  Command command;
  if (LookUpCommand(first, second, command)) {
    Dispatch(command, second, fault);
  } else {
    Answer('I');
  }
}

bool Unit::ApplyInterruptingFault(FaultInjector::Action fault) {
  switch (fault) {
    case FaultInjector::Action::kSilence:
      Trace("fault: silence");
      state_ = State::kSilent;
      return true;
    case FaultInjector::Action::kHangUp:
      Trace("fault: hang-up");
      state_ = State::kSilent;
      hang_up_ = true;
      return true;
    case FaultInjector::Action::kChatter:
      Trace("fault: chatter");
      state_ = State::kChatter;
      return true;
    case FaultInjector::Action::kNone:
    case FaultInjector::Action::kFail:
      return false;
  }
  return false;
}

void Unit::Dispatch(Command command, char argument, FaultInjector::Action fault) {
  const bool fail = fault == FaultInjector::Action::kFail;
  const int component = argument - '0';
  transfer_command_ = {first_, argument};
  switch (command) {
    case Command::kDeviceType:
      if (fail || config_.wrong_type) {
        Answer('X');
        break;
      }
      Reply(".");
      Reply(BootChecksumText() + config_.device_id + ".");
      break;
    case Command::kBootErase:
    case Command::kBankErase: {
      Reply(".");
      if (fail) {
        Answer('X');
        break;
      }
      const bool boot = command == Command::kBootErase;
      upload_area_ = boot ? &boot_ : &banks_[static_cast<std::size_t>(component)];
      upload_is_boot_ = boot;
      upload_ended_ = false;
      upload_area_->Erase();
      Reply(".", config_.erase_ms);
      line_.clear();
      line_overflow_ = false;
      state_ = State::kUpload;
      break;
    }
    case Command::kPromSession:
      if (fail) {
        Answer('I');
        break;
      }
      jtag_ = std::make_unique<JtagPort>(*proms_[static_cast<std::size_t>(component - 4)]);
      Answer('.');
      line_.clear();
      line_overflow_ = false;
      state_ = State::kEffect;
      break;
    case Command::kSlowSession:
      if (fail) {
        Answer('I');
        break;
      }
      // The acknowledgement still goes out fast; the unit listens slowly after.
      Answer('.');
      listen_baud_ = kSlowBaud;
      break;
    case Command::kBankId:
      if (fail) {
        Answer('I');
        break;
      }
      Reply(".");
      Reply(config_.keyboard_id + ".");
      break;
    case Command::kPromId: {
      if (fail) {
        Answer('I');
        break;
      }
      // IDCODE above the array's 32-bit sum, least significant byte first:
      // the order the device shifts its bits out.
      const PromDevice& device = prom(component);
      const std::uint64_t value = (std::uint64_t{device.idcode()} << 32) | device.array().Sum32();
      std::string text;
      for (int k = 0; k < 8; ++k)
        text += ByteToHex(static_cast<std::uint8_t>(value >> (8 * k)));
      Reply(".");
      Reply(text + ".");
      break;
    }
    case Command::kComponentCommand:
    case Command::kNoProgram:
      Answer(fail ? 'I' : '.');
      break;
    case Command::kFinish:
      if (!fail) finished_ = true;
      Answer(fail ? 'I' : '.');
      break;
    case Command::kReset:
      if (!fail) ++counts_.resets;
      Answer(fail ? 'I' : '.');
      break;
    case Command::kVersionWrite:
    case Command::kUnitVersion:
    case Command::kOptionText:
      text_target_ = command == Command::kVersionWrite  ? TextTarget::kVersion
                     : command == Command::kUnitVersion ? TextTarget::kUnitVersion
                                                        : TextTarget::kOptionText;
      text_component_ = component;
      text_fails_ = fail;
      line_.clear();
      line_overflow_ = false;
      state_ = State::kText;
      Answer('.');
      break;
    case Command::kVersionRead: {
      Reply(".");
      const std::string& stored = versions_[static_cast<std::size_t>(component)];
      if (fail || stored.empty()) {
        Answer('X');
      } else {
        Reply(stored + ".");
      }
      break;
    }
  }
}

void Unit::EndOfText() {
  if (state_ != State::kText) return;
  const std::string text = line_;
  const bool overflow = line_overflow_;
  line_.clear();
  line_overflow_ = false;
  state_ = State::kCommand;
  Trace("rx text " + Visible(text));
  // The unit keeps component versions as exactly the four characters that
  // "T" reports, and option texts in a field of limited size.
  const std::size_t limit = text_target_ == TextTarget::kVersion ? kMaxVersionText : kMaxOptionText;
  const bool fits = text_target_ == TextTarget::kVersion ? text.size() == kMaxVersionText
                                                         : !text.empty() && text.size() <= limit;
  if (text_fails_ || overflow || !fits || !IsPrintable(text)) {
    Answer('X');
    return;
  }
  switch (text_target_) {
    case TextTarget::kVersion:
      versions_[static_cast<std::size_t>(text_component_)] = text;
      break;
    case TextTarget::kUnitVersion:
      unit_version_ = text;
      break;
    case TextTarget::kOptionText:
      option_text_ = text;
      break;
  }
  Answer('.');
}

// What every received record line goes through first: it leaves the line
// buffer, is counted and traced, and an injected fault or repeat request may
// answer it; nothing is returned when it has been answered.
std::optional<Unit::RecordLine> Unit::TakeRecordLine(const std::string& received) {
  RecordLine taken{received, line_overflow_, FaultInjector::Action::kNone};
  line_.clear();
  line_overflow_ = false;
  ++counts_.records;
  taken.fault = faults_.OnRecord();
  Trace("rx " + Visible(taken.text + "\n"));
  if (ApplyInterruptingFault(taken.fault)) return std::nullopt;
  if (faults_.ResendThisRecord()) {
    Answer('R');
    return std::nullopt;
  }
  return taken;
}

void Unit::HandleUploadLine(const std::string& received) {
  auto taken = TakeRecordLine(received);
  if (!taken) return;
  std::string& line = taken->text;
  const bool overflow = taken->overflow;
  const auto fault = taken->fault;
  // Every line is sent with CR LF: a line without the CR is damaged.
  if (overflow || line.empty() || line.back() != '\r') {
    ++counts_.bad_records;
    Answer('R');
    return;
  }
  line.pop_back();
  if (line.empty()) {
    ++counts_.blank_lines;
    Answer('.');
    return;
  }
  Record record;
  if (!ParseRecordLine(line, record)) {
    ++counts_.bad_records;
    Answer('R');
    return;
  }
  const UploadRecord kind = UploadRecordKind(record.type);
  // The boot handler does not answer a repeat request after its checksum
  // record, so random repeats leave that one record alone.
  const bool boot_checksum = upload_is_boot_ && kind == UploadRecord::kChecksum;
  if (!boot_checksum && faults_.Chance(config_.faults.resend_rate)) {
    Answer('R');
    return;
  }
  if (fault == FaultInjector::Action::kFail) {
    Answer('X');
    return;
  }
  switch (kind) {
    case UploadRecord::kData:
      if (upload_ended_) {
        Answer('.');  // past the end-of-file record nothing is stored
      } else if (!upload_area_->Contains(record.address, record.data.size())) {
        Answer('X');
      } else {
        upload_area_->Write(record.address, record.data);
        Answer('.');
      }
      break;
    case UploadRecord::kEndOfFile:
      upload_ended_ = true;
      Answer('.');
      break;
    case UploadRecord::kAddress:
      Answer('.');
      break;
    case UploadRecord::kChecksum: {
      state_ = State::kCommand;
      const bool agrees = record.address == 0 && record.data.size() == 2 &&
                          record.data[0] * 256 + record.data[1] == upload_area_->Sum16();
      Answer(agrees ? '.' : 'X');
      break;
    }
    case UploadRecord::kUnknown:
      Answer('X');
      break;
  }
}

void Unit::HandleEffectLine(const std::string& received) {
  auto taken = TakeRecordLine(received);
  if (!taken) return;
  std::string& line = taken->text;
  const bool overflow = taken->overflow;
  const auto fault = taken->fault;
  Record record;
  if (overflow || line.empty() || line.back() != '\r' ||
      !ParseRecordLine(std::string_view(line).substr(0, line.size() - 1), record)) {
    ++counts_.bad_records;
    Answer('R');
    return;
  }
  if (faults_.Chance(config_.faults.resend_rate)) {
    Answer('R');
    return;
  }
  if (fault == FaultInjector::Action::kFail) {
    Answer('X');
    return;
  }
  ExecuteEffectRecord(record);
}

void Unit::ExecuteEffectRecord(const Record& record) {
  const EffectRecord kind = EffectRecordKind(record.type);
  const bool plain = record.address == 0;  // only shifts carry a length
  switch (kind) {
    case EffectRecord::kEnd:
      if (!plain || !record.data.empty()) {
        Answer('X');
        break;
      }
      // Acknowledged at the session's speed; the unit listens fast after.
      Answer('.');
      listen_baud_ = kFastBaud;
      jtag_.reset();
      state_ = State::kCommand;
      break;
    case EffectRecord::kShiftIr:
    case EffectRecord::kShiftDr: {
      ShiftRequest request;
      request.instruction_register = kind == EffectRecord::kShiftIr;
      request.start = (record.type & kStartFlag) != 0;
      request.end = (record.type & kEndFlag) != 0;
      request.length = record.address;
      const bool capture = (record.type & kCaptureFlag) != 0;
      const std::size_t bytes = (request.length + 7u) / 8u;
      std::vector<std::uint8_t> captured;
      if (request.instruction_register) {
        request.tdi = record.data;
        FinishShift(jtag_->Shift(request, captured), capture, captured);
      } else if ((record.type & kCompressedFlag) != 0) {
        if (record.data.size() != 1) {
          Answer('X');
          break;
        }
        request.tdi.assign(bytes, record.data[0]);
        FinishShift(jtag_->Shift(request, captured), capture, captured);
      } else {
        // The header announces the data block: the TDI digits and two sum
        // digits, which must be what the length calls for.
        if (record.data.size() != 1 || record.data[0] != 2 * bytes + 2) {
          Answer('X');
          break;
        }
        pending_shift_ = request;
        pending_capture_ = capture;
        block_length_ = record.data[0];
        line_.clear();
        state_ = State::kDataBlock;
        Reply(std::string{kEsc, '.'});
      }
      break;
    }
    case EffectRecord::kRunTest: {
      if (!plain || record.data.size() != 4) {
        Answer('X');
        break;
      }
      std::uint32_t count = 0;
      for (std::uint8_t b : record.data)
        count = count << 8 | b;
      Answer(jtag_->RunTest(count) ? '.' : 'X');
      break;
    }
    case EffectRecord::kState: {
      bool ok = plain;
      for (std::size_t k = 0; ok && k < record.data.size(); ++k) {
        const auto state = TapStateFromCode(record.data[k]);
        ok = state && jtag_->MoveTo(*state, record.data.size() == 1);
      }
      Answer(ok ? '.' : 'X');
      break;
    }
    case EffectRecord::kEndIr:
    case EffectRecord::kEndDr: {
      const auto state = record.data.size() == 1 ? TapStateFromCode(record.data[0]) : std::nullopt;
      const bool ok = plain && state && jtag_->SetEndState(kind == EffectRecord::kEndIr, *state);
      Answer(ok ? '.' : 'X');
      break;
    }
    case EffectRecord::kUnknown:
      Answer('X');
      break;
  }
}

void Unit::HandleDataBlock() {
  const std::string text = line_;
  line_.clear();
  state_ = State::kEffect;
  ++counts_.data_blocks;
  Trace("rx block " + Visible(text));
  if (faults_.Chance(config_.faults.resend_rate)) {
    Answer('R');
    return;
  }
  std::vector<std::uint8_t> bytes;
  if (!ParseHexBytes(text, bytes) || bytes.empty()) {
    ++counts_.bad_records;
    Answer('R');
    return;
  }
  const std::uint8_t sum = bytes.back();
  bytes.pop_back();
  if (ByteSum(bytes) != sum) {
    ++counts_.bad_records;
    Answer('R');
    return;
  }
  pending_shift_.tdi = bytes;
  std::vector<std::uint8_t> captured;
  FinishShift(jtag_->Shift(pending_shift_, captured), pending_capture_, captured);
}

void Unit::FinishShift(bool ok, bool capture, const std::vector<std::uint8_t>& captured) {
  if (!ok) {
    Answer('X');
    return;
  }
  if (!capture) {
    Answer('.');
    return;
  }
  captured_ = captured;
  state_ = State::kCaptureAck;
  SendCapture(true);
}

void Unit::SendCapture(bool first_time) {
  auto encode = [&](std::uint8_t b) -> std::string {
    bool escape = false;
    if (b == 0x00 || b == 0x1B) {
      switch (config_.faults.escapes) {
        case EscapeMode::kOff:
          break;
        case EscapeMode::kAll:
          escape = true;
          break;
        case EscapeMode::kRandom:
          escape = faults_.Chance(0.5);
          break;
      }
    }
    if (!escape) return ByteToHex(b);
    return b == 0x00 ? std::string{kEsc, '0'} : std::string{kEsc, kEsc};
  };
  std::string text;
  for (std::uint8_t b : captured_)
    text += encode(b);
  std::uint8_t sum = ByteSum(captured_);
  if (first_time && faults_.Chance(config_.faults.bad_capture_rate)) sum ^= 0x5A;
  text += encode(sum);
  text += kEsc;
  text += '.';
  Reply(text);
}

void Unit::Answer(char reply) {
  switch (reply) {
    case 'I':
      ++counts_.unknown;
      break;
    case 'X':
      ++counts_.failures;
      break;
    case 'R':
      ++counts_.resends;
      break;
    default:
      break;
  }
  Reply(std::string(1, reply));
}

void Unit::Reply(std::string bytes, std::uint32_t delay_ms) {
  Trace("tx " + Visible(bytes));
  const std::uint32_t split_ms = config_.faults.split_ms;
  if (split_ms == 0 || bytes.size() < 2) {
    output_.push_back(Chunk{std::move(bytes), delay_ms, listen_baud_});
    return;
  }
  // Cut between characters at random, at least once, each piece later than
  // the one before.
  std::size_t start = 0;
  std::uint32_t delay = delay_ms;
  const std::size_t forced = 1 + faults_.Below(static_cast<std::uint32_t>(bytes.size() - 1));
  for (std::size_t at = 1; at < bytes.size(); ++at) {
    if (at == forced || faults_.Chance(0.3)) {
      output_.push_back(Chunk{bytes.substr(start, at - start), delay, listen_baud_});
      start = at;
      delay = split_ms;
    }
  }
  output_.push_back(Chunk{bytes.substr(start), delay, listen_baud_});
}

void Unit::Trace(std::string_view text) {
  if (trace_) trace_(text);
}

std::string Unit::BootChecksumText() const {
  if (config_.boot_checksum) return *config_.boot_checksum;
  return WordToHex(static_cast<std::uint16_t>(boot_.Sum16() + kBootChecksumOffset));
}

}  // namespace sim
