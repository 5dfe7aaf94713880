#include "handlers/progpsd.h"

#include <string_view>

#include "hex/hex.h"
#include "platform/files.h"

namespace {

constexpr std::int32_t kMaxRetries = 300;
constexpr std::uint8_t kChecksumRecord = 0x0C;

enum class Command { kProgram, kIdentify, kFunction };

struct CommandEntry {
  char letter;
  Command command;
};

constexpr CommandEntry kCommands[] = {
    {'P', Command::kProgram},
    {'D', Command::kIdentify},
    {'F', Command::kFunction},
};

const std::string kInstructionUnknown = "Instruction unknown";
const std::string kTooManyRetries = "Too Many Transmission Error !!!";

}  // namespace

TProgPsd::TProgPsd(void* Owner) : TGestionnaire(Owner) {}

void TProgPsd::Reset() {
  lines_.clear();
  TGestionnaire::Reset();
  state_ = State::Idle;
}

void TProgPsd::Error(const std::string& Text) {
  lines_.clear();
  ClearBusy();
  state_ = State::Failed;
  TGestionnaire::Error(Text);
}

void TProgPsd::Refuse(const std::string& message) {
  Consume("X");
  Error(message);
}

bool TProgPsd::CountRetry() {
  ++retryCount_;
  if (retryCount_ > kMaxRetries) {
    Error(kTooManyRetries);
    return false;
  }
  return true;
}

// Appending rather than `prefix + digit`: gcc 12 at -O3 warns falsely about
// the latter (-Wrestrict).
std::string TProgPsd::WithDigit(const char* prefix) const {
  std::string text(prefix);
  text += HexDigit(bank_);
  return text;
}

void TProgPsd::SendLine(std::size_t index) {
  Send(lines_[index] + "\r\n");
}

void TProgPsd::Dispatch() {
  if (Busy()) return;
  const CommandEntry* found = nullptr;
  for (const CommandEntry& entry : kCommands) {
    if (!instruction_.empty() && instruction_.front() == entry.letter) {
      found = &entry;
      break;
    }
  }
  if (found == nullptr) return;
  CutInstruction(1);
  if (instruction_.empty() || instruction_.front() < '0' || instruction_.front() > '3') return;

  SetBusy();
  bank_ = instruction_.front() - '0';
  switch (found->command) {
    case Command::kProgram:
      state_ = State::PLoad;
      break;
    case Command::kIdentify:
      state_ = State::IdSend;
      break;
    case Command::kFunction:
      state_ = State::FSend;
      break;
  }
}

void TProgPsd::Load() {
  if (!UpdateAllowed()) {
    Error("Update Not Allowed !!!");
    // Not a parked failure: the next step finishes the instruction.
    state_ = State::Done;
    return;
  }
  CutInstruction(1);  // the digit; the rest is the file name
  retryCount_ = 0;
  if (platform::ReadTextLines(FileFolder() + instruction_, lines_) != platform::ReadStatus::kOk) {
    Error(FileFolder() + instruction_ + " File not found !!!");
    return;
  }
  // Found before the erase: failing after it would leave the bank erased for
  // nothing.
  if (lines_.empty()) {
    Error("Keyb File Empty !!!");
    return;
  }
  Send(WithDigit("P"));
  state_ = State::PAck;
}

void TProgPsd::Step() {
  switch (state_) {
    case State::Idle:
      Dispatch();
      break;
    case State::PLoad:
      Load();
      break;
    case State::PAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        Info(WithDigit("Erase Bank"));
        state_ = State::EraseAck;
      } else if (ReplyIs('I')) {
        Refuse(kInstructionUnknown);
      }
      break;
    case State::EraseAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        lineIndex_ = 0;
        SetMaxProgress(static_cast<std::int32_t>(lines_.size()));
        if (lines_.empty()) {
          Error("Keyb File Empty !!!");
          break;
        }
        Info(WithDigit("Upload Bank"));
        SendLine(0);
        lineIndex_ = 1;
        state_ = State::Upload;
      } else if (ReplyIs('X')) {
        Refuse("Error while erasing !!!");
      }
      break;
    case State::Upload:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        StepProgress();
        if (lineIndex_ < lines_.size()) {
          SendLine(lineIndex_);
          ++lineIndex_;
        } else {
          state_ = State::VerifySend;
        }
      } else if (ReplyIs('X')) {
        Refuse("Error while writing!!!");
      } else if (ReplyIs('R')) {
        Consume("R");
        if (CountRetry()) SendLine(lineIndex_ - 1);
      }
      break;
    case State::VerifySend: {
      Info(WithDigit("Verify Bank"));
      // Bank 0 lives in the lower half of the image, the others in the upper.
      const std::uint16_t sum = bank_ == 0 ? HexFileChecksum(lines_, 0x0000, 0x7FFF)
                                           : HexFileChecksum(lines_, 0x8000, 0xFFFF);
      Send(MakeHexRecord(kChecksumRecord, 0x0000, WordToHex(sum)) + "\r\n");
      state_ = State::VerifyAck;
      break;
    }
    case State::VerifyAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        ClearBufIn();
        state_ = State::Done;
      } else if (ReplyIs('X')) {
        Refuse("Checksum Error");
      } else if (ReplyIs('R')) {
        Consume("R");
        state_ = State::VerifySend;
        CountRetry();
      }
      break;
    case State::IdSend:
      Send(WithDigit("D"));
      state_ = State::IdAck;
      break;
    case State::IdAck:
      Receive();
      if (ReplyIs('.')) {
        Info("Extract ID Keyb");
        Consume(".");
        state_ = State::IdRead;
      } else if (ReplyIs('I')) {
        Refuse(kInstructionUnknown);
      }
      break;
    case State::IdRead:
      Receive();
      if (DataReplyReady(2)) {
        Info("ID Number : " + BufIn().substr(0, 2));
        ClearBufIn();
        state_ = State::Done;
      }
      break;
    case State::FSend:
      Send(WithDigit("F"));
      state_ = State::FAck;
      break;
    case State::FAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        state_ = State::Done;
      } else if (ReplyIs('I')) {
        Refuse(kInstructionUnknown);
      }
      break;
    case State::Done:
      lines_.clear();
      ClearBusy();
      state_ = State::Idle;
      break;
    case State::Failed:
      break;
  }
}
