#include "handlers/progpsd.h"

#include <string_view>

#include "hex/hex.h"

namespace {

using Kind = TProgPsd::TCommand::Kind;

constexpr TKeyword<Kind> kKeywords[] = {
    {"P", Kind::Program},
    {"D", Kind::Identify},
    {"F", Kind::Function},
};

}  // namespace

std::optional<TProgPsd::TCommand> TProgPsd::Recognise(std::string_view instruction) {
  const auto* found = FindKeyword(instruction, kKeywords);
  if (found == nullptr) return std::nullopt;
  const std::string rest = TrimLeft(instruction.substr(1));
  if (rest.empty() || rest.front() < '0' || rest.front() > '3') return std::nullopt;
  return TCommand{found->keyword, rest.front() - '0'};
}

TProgPsd::TProgPsd(void* Owner) : TGestionnaire(Owner) {}

void TProgPsd::Reset() {
  upload_.Clear();
  TGestionnaire::Reset();
  state_ = State::Idle;
}

void TProgPsd::Error(const std::string& Text) {
  upload_.Clear();
  ClearBusy();
  state_ = State::Failed;
  TGestionnaire::Error(Text);
}

std::string TProgPsd::WithDigit(const char* prefix) const {
  return std::string(prefix) + HexDigit(bank_);
}

void TProgPsd::Dispatch() {
  if (Busy()) return;
  const auto command = Recognise(instruction_);
  if (!command) return;
  CutInstruction(1);
  bank_ = command->bank;
  State first = State::Idle;
  switch (command->kind) {
    case Kind::Program:
      first = State::PLoad;
      break;
    case Kind::Identify:
      first = State::IdSend;
      break;
    case Kind::Function:
      first = State::FSend;
      break;
  }
  SetBusy();
  state_ = first;
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
  if (!upload_.Load(FileFolder() + instruction_)) {
    Error(FileFolder() + instruction_ + " File not found !!!");
    return;
  }
  // Found before the erase: failing after it would leave the bank erased for
  // nothing.
  if (upload_.Empty()) {
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
        SetMaxProgress(static_cast<std::int32_t>(upload_.Count()));
        Info(WithDigit("Upload Bank"));
        StartUpload(upload_);
        state_ = State::Upload;
      } else if (ReplyIs('X')) {
        Refuse("Error while erasing !!!");
      }
      break;
    case State::Upload:
      switch (AwaitUploadReply(upload_)) {
        case TUploadReply::Finished:
          state_ = State::VerifySend;
          break;
        case TUploadReply::Refused:
          Refuse("Error while writing!!!");
          break;
        case TUploadReply::None:
        case TUploadReply::Sent:
          break;
      }
      break;
    case State::VerifySend: {
      Info(WithDigit("Verify Bank"));
      // Bank 0 lives in the lower half of the image, the others in the upper.
      const std::uint16_t sum = bank_ == 0 ? HexFileChecksum(upload_.Lines(), 0x0000, 0x7FFF)
                                           : HexFileChecksum(upload_.Lines(), 0x8000, 0xFFFF);
      SendChecksumRecord(WordToHex(sum));
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
      upload_.Clear();
      ClearBusy();
      state_ = State::Idle;
      break;
    case State::Failed:
      break;
  }
}
