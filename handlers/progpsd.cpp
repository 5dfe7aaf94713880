#include "handlers/progpsd.h"

#include <string_view>

#include "handlers/messages.h"
#include "hex/hex.h"
#include "hex/hex_check.h"
#include "platform/files.h"

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
  upload_ = {};
  TGestionnaire::Reset();
  state_ = State::Idle;
}

void TProgPsd::Error(const std::string& Text) {
  upload_ = {};
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

std::string TProgPsd::LoadImage(const std::string& fileName, const std::string& folder,
                                std::int32_t bank, TLineUpload& upload,
                                std::vector<TFileFinding>* findings) {
  // Found before the erase: failing after it would leave the bank erased for
  // nothing.
  const HexArea area = bank == 0 ? HexArea{0x0000, 0x7FFF, "bank 0"}
                                 : HexArea{0x8000, 0xFFFF, "bank " + std::to_string(bank)};
  return LoadImageFile(folder, fileName, area, {folder + fileName + kNotFound, kKeybFileEmpty},
                       upload.lines, findings);
}

// Bank 0 lives in the lower half of the image, the others in the upper.
std::uint16_t TProgPsd::BankChecksum(const TLineUpload& upload, std::int32_t bank) {
  return bank == 0 ? HexFileChecksum(upload.lines, 0x0000, 0x7FFF)
                   : HexFileChecksum(upload.lines, 0x8000, 0xFFFF);
}

TLinePlan TProgPsd::Plan(std::string_view instruction, const std::string& folder) {
  TLinePlan plan;
  const auto command = Recognise(instruction);
  if (!command) return plan;
  const std::string bank = std::to_string(command->bank);
  switch (command->kind) {
    case Kind::Program: {
      TLineUpload upload;
      plan.action = "program keyboard bank " + bank;
      plan.file = CutText(CutText(instruction, 1), 1);
      plan.problem = LoadImage(plan.file, folder, command->bank, upload, &plan.findings);
      if (!plan.problem.empty()) break;
      plan.count = static_cast<std::int32_t>(upload.lines.size());
      plan.checksum = WordToHex(BankChecksum(upload, command->bank));
      plan.bytes = UploadBytes(upload) + 4;  // "P" and the bank, and two "."
      break;
    }
    case Kind::Identify:
      plan.action = "read the keyboard identification of bank " + bank;
      plan.bytes = 6;  // "D" and the bank, ".", two characters and "."
      break;
    case Kind::Function:
      plan.action = "bank command F" + bank;
      plan.bytes = 3;
      break;
  }
  return plan;
}

void TProgPsd::Load() {
  if (!UpdateAllowed()) {
    Error(kNotAllowed);
    // Not a parked failure: the next step finishes the instruction.
    state_ = State::Done;
    return;
  }
  CutInstruction(1);  // the digit; the rest is the file name
  retryCount_ = 0;
  const std::string problem = LoadImage(instruction_, FileFolder(), bank_, upload_);
  if (!problem.empty()) {
    Error(problem);
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
        SetMaxProgress(static_cast<std::int32_t>(upload_.lines.size()));
        Info(WithDigit("Upload Bank"));
        StartUpload(upload_);
        state_ = State::Upload;
      } else if (ReplyIs('X')) {
        Refuse(kEraseError);
      }
      break;
    case State::Upload:
      switch (AwaitUploadReply(upload_)) {
        case TUploadReply::Finished:
          state_ = State::VerifySend;
          break;
        case TUploadReply::Refused:
          Refuse(kWriteError);
          break;
        case TUploadReply::None:
        case TUploadReply::Sent:
          break;
      }
      break;
    case State::VerifySend: {
      Info(WithDigit("Verify Bank"));
      SendChecksumRecord(WordToHex(BankChecksum(upload_, bank_)));
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
        Refuse(kChecksumError);
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
      upload_ = {};
      ClearBusy();
      state_ = State::Idle;
      break;
    case State::Failed:
      break;
  }
}
