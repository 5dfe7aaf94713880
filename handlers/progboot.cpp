#include "handlers/progboot.h"

#include <string_view>

#include "hex/hex.h"
#include "platform/files.h"

namespace {

constexpr std::int32_t kMaxRetries = 300;
constexpr std::uint16_t kBootFirst = 0x4000;
constexpr std::uint16_t kBootLast = 0x5FFF;
constexpr std::uint8_t kChecksumRecord = 0x0C;

// The checksum text becomes the data of the verification record as it
// stands, so anything but four upper-case hex digits would reach the unit as
// a malformed record.
bool IsChecksumText(std::string_view text) {
  if (text.size() != 4) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

}  // namespace

TProgBoot::TProgBoot(void* Owner) : TGestionnaire(Owner) {}

void TProgBoot::Reset() {
  lines_.clear();
  givenChecksum_.clear();
  TGestionnaire::Reset();
  state_ = State::Idle;
}

void TProgBoot::Error(const std::string& Text) {
  lines_.clear();
  ClearBusy();
  state_ = State::Failed;
  TGestionnaire::Error(Text);
}

void TProgBoot::Dispatch() {
  if (Busy()) return;
  if (instruction_.starts_with("SYN")) {
    SetBusy();
    state_ = State::SynWait;
  } else if (instruction_.starts_with("P")) {
    CutInstruction(1);
    if (instruction_.starts_with("B")) {
      SetBusy();
      state_ = State::PbLoad;
    }
  }
}

void TProgBoot::Load() {
  CutInstruction(1);  // the "B"
  // Only a space ends the file name: a tab stays part of it.
  const std::size_t space = instruction_.find(' ');
  const std::string fileName = instruction_.substr(0, space);
  const std::string given = space == std::string::npos
                                ? std::string()
                                : Trim(std::string_view(instruction_).substr(space));
  retryCount_ = 0;
  if (platform::ReadTextLines(FileFolder() + fileName, lines_) != platform::ReadStatus::kOk) {
    Error(FileFolder() + instruction_ + " File not found !!!");
    return;
  }
  // Both checks come before the erase: failing after it would leave the unit
  // without an extended boot for nothing.
  if (lines_.empty()) {
    Error("Boot File Empty !!!");
    return;
  }
  if (!given.empty() && !IsChecksumText(given)) {
    Error("Bad checksum value !!!");
    return;
  }
  givenChecksum_ = given;
  SetMaxProgress(static_cast<std::int32_t>(lines_.size()) + 2);
  Send("PB");
  state_ = State::PbAck;
}

void TProgBoot::SendLine(std::size_t index) {
  Send(lines_[index] + "\r\n");
}

void TProgBoot::Step() {
  switch (state_) {
    case State::Idle:
      Dispatch();
      break;
    case State::SynWait:
      Receive();
      if (ReplyIs('%')) {
        // Further call signs already queued go with the first one.
        ClearBufIn();
        Send("%");
        state_ = State::SynAck;
      } else if (!BufIn().empty()) {
        Consume("X");
      }
      break;
    case State::SynAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        Info("Verify Device Type");
        Send("17");
        state_ = State::TypeAck;
      } else if (!BufIn().empty()) {
        Consume("X");
      }
      break;
    case State::TypeAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        state_ = State::DeviceInfo;
      } else if (ReplyIs('X')) {
        Error("Bad type of device !!!");
        Consume("X");
      }
      break;
    case State::DeviceInfo:
      Receive();
      if (DataReplyReady(8)) {
        const std::string reply = BufIn().substr(0, 8);
        const auto checksum = static_cast<std::uint16_t>(HexToWord(reply) + 0xA000);
        Info("Boot Checksum : " + WordToHex(checksum));
        Info("Device ID : " + reply.substr(4));
        SetDeviceID(HexToWord(std::string_view(reply).substr(4)));
        ClearBufIn();
        state_ = State::Done;
      }
      break;
    case State::PbLoad:
      Load();
      break;
    case State::PbAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        Info("Erase Extended Boot");
        state_ = State::EraseAck;
      } else if (ReplyIs('I')) {
        Consume("X");
        Error("Instruction unknown");
      }
      break;
    case State::EraseAck:
      Receive();
      if (ReplyIs('.')) {
        StepProgress();
        Consume(".");
        lineIndex_ = 0;
        if (lines_.empty()) {
          Error("Boot File Empty !!!");
          break;
        }
        Info("Upload Extended Boot");
        SendLine(0);
        lineIndex_ = 1;
        state_ = State::Upload;
      } else if (ReplyIs('X')) {
        Consume("X");
        Error("Error while erasing !!!");
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
        Error("Error while writing!!!");
        Consume("X");
      } else if (ReplyIs('R')) {
        Consume("R");
        ++retryCount_;
        if (retryCount_ > kMaxRetries) {
          Error("Too Many Transmission Error !!!");
        } else {
          SendLine(lineIndex_ - 1);
        }
      }
      break;
    case State::VerifySend: {
      Info("Verify Checksum");
      const std::string checksum = givenChecksum_.empty()
                                       ? WordToHex(HexFileChecksum(lines_, kBootFirst, kBootLast))
                                       : givenChecksum_;
      Send(MakeHexRecord(kChecksumRecord, 0x0000, checksum) + "\r\n");
      state_ = State::VerifyAck;
      break;
    }
    case State::VerifyAck:
      // A repeat request is not answered here; it stays and the state waits.
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        state_ = State::Done;
      } else if (ReplyIs('X')) {
        Consume("X");
        Error("Checksum Error");
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
