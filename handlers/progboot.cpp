#include "handlers/progboot.h"

#include <string_view>

#include "handlers/messages.h"
#include "hex/hex.h"
#include "hex/hex_check.h"
#include "platform/files.h"

namespace {

constexpr std::uint16_t kBootFirst = 0x4000;
constexpr std::uint16_t kBootLast = 0x5FFF;

using TCommand = TProgBoot::TCommand;

constexpr TKeyword<TCommand> kKeywords[] = {
    {"SYN", TCommand::Synchronise},
    {"P", TCommand::ProgramBoot},
};

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

std::optional<TProgBoot::TCommand> TProgBoot::Recognise(std::string_view instruction) {
  const auto* found = FindKeyword(instruction, kKeywords);
  if (found == nullptr) return std::nullopt;
  // "P" followed by a bank or PROM digit belongs to the other handlers.
  if (found->keyword == TCommand::ProgramBoot && !TrimLeft(instruction.substr(1)).starts_with("B"))
    return std::nullopt;
  return found->keyword;
}

TProgBoot::TProgBoot(void* Owner) : TGestionnaire(Owner) {}

void TProgBoot::Reset() {
  upload_ = {};
  givenChecksum_.clear();
  bootChecksum_ = 0;
  TGestionnaire::Reset();
  state_ = State::Idle;
}

void TProgBoot::Error(const std::string& Text) {
  upload_ = {};
  ClearBusy();
  state_ = State::Failed;
  TGestionnaire::Error(Text);
}

void TProgBoot::Dispatch() {
  if (Busy()) return;
  const auto command = Recognise(instruction_);
  if (!command) return;
  State first = State::Idle;
  switch (*command) {
    case TCommand::Synchronise:
      first = State::SynWait;
      break;
    case TCommand::ProgramBoot:
      CutInstruction(1);
      first = State::PbLoad;
      break;
  }
  SetBusy();
  state_ = first;
}

std::string TProgBoot::LoadImage(std::string_view text, const std::string& folder,
                                 TLineUpload& upload, std::string& given,
                                 std::vector<TFileFinding>* findings) {
  // Only a space ends the file name: a tab stays part of it.
  const std::size_t space = text.find(' ');
  given = space == std::string_view::npos ? std::string() : Trim(text.substr(space));
  // Every check comes before the erase: failing after it would leave the
  // unit without an extended boot for nothing.
  const std::string problem = LoadImageFile(
      folder, std::string(text.substr(0, space)), HexArea{kBootFirst, kBootLast, "the boot"},
      {folder + std::string(text) + kNotFound, kBootFileEmpty}, upload.lines, findings);
  if (!problem.empty()) return problem;
  if (!given.empty() && !IsChecksumText(given)) return kBadChecksumValue;
  return {};
}

TLinePlan TProgBoot::Plan(std::string_view instruction, const std::string& folder) {
  TLinePlan plan;
  const auto command = Recognise(instruction);
  if (!command) return plan;
  switch (*command) {
    case TCommand::Synchronise:
      plan.action = "synchronise with the unit";
      plan.bytes = 15;  // "%" both ways, ".", "17", ".", 8 digits and "."
      break;
    case TCommand::ProgramBoot: {
      TLineUpload upload;
      std::string given;
      const std::string text = CutText(CutText(instruction, 1), 1);
      plan.action = "program the extended boot";
      plan.problem = LoadImage(text, folder, upload, given, &plan.findings);
      plan.file = text.substr(0, text.find(' '));
      if (!plan.problem.empty()) break;
      plan.count = static_cast<std::int32_t>(upload.lines.size());
      plan.checksum =
          given.empty() ? WordToHex(HexFileChecksum(upload.lines, kBootFirst, kBootLast)) : given;
      plan.bytes = UploadBytes(upload) + 4;  // "PB", and two "." for it and the erase
      break;
    }
  }
  return plan;
}

void TProgBoot::Load() {
  CutInstruction(1);  // the "B"
  retryCount_ = 0;
  const std::string problem = LoadImage(instruction_, FileFolder(), upload_, givenChecksum_);
  if (!problem.empty()) {
    Error(problem);
    return;
  }
  SetMaxProgress(static_cast<std::int32_t>(upload_.lines.size()) + 2);
  Send("PB");
  state_ = State::PbAck;
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
        DropJunk();
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
        DropJunk();
      }
      break;
    case State::TypeAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        state_ = State::DeviceInfo;
      } else if (ReplyIs('X')) {
        Error(kBadDeviceType);
        Consume("X");
      }
      break;
    case State::DeviceInfo:
      Receive();
      if (DataReplyReady(8)) {
        const std::string reply = BufIn().substr(0, 8);
        bootChecksum_ = static_cast<std::uint16_t>(HexToWord(reply) + 0xA000);
        Info("Boot Checksum : " + WordToHex(bootChecksum_));
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
        Refuse(kInstructionUnknown);
      }
      break;
    case State::EraseAck:
      Receive();
      if (ReplyIs('.')) {
        StepProgress();
        Consume(".");
        Info("Upload Extended Boot");
        StartUpload(upload_);
        state_ = State::Upload;
      } else if (ReplyIs('X')) {
        Consume("X");
        Error(kEraseError);
      }
      break;
    case State::Upload:
      switch (AwaitUploadReply(upload_)) {
        case TUploadReply::Finished:
          state_ = State::VerifySend;
          break;
        case TUploadReply::Refused:
          Error(kWriteError);
          Consume("X");
          break;
        case TUploadReply::None:
        case TUploadReply::Sent:
          break;
      }
      break;
    case State::VerifySend: {
      Info("Verify Checksum");
      SendChecksumRecord(givenChecksum_.empty()
                             ? WordToHex(HexFileChecksum(upload_.lines, kBootFirst, kBootLast))
                             : givenChecksum_);
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
        Error(kChecksumError);
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
