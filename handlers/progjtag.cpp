#include "handlers/progjtag.h"

#include <algorithm>
#include <limits>

#include "handlers/messages.h"
#include "hex/hex.h"
#include "platform/tick.h"

namespace {

// The unit needs this long after "P" or "S" before the first record.
constexpr std::uint32_t kAfterAnnounceMs = 1000;
// An identification is 16 hex digits followed by ".".
constexpr std::size_t kIdLength = 16;

constexpr char kEsc = '\x1B';

using TCommand = TProgJtag::TCommand;

// The digits 0 to 3 after the same letters belong to the keyboard handler.
constexpr TKeyword<TCommand> kKeywords[] = {
    {"D", TCommand::Identify},
    {"P", TCommand::Program},
    {"F", TCommand::Function},
};

// Undoes the unit's escaping of captured data: ESC ESC stands for "1B", ESC
// "0" for "00", and ESC "." ends the reply. The last character is never
// copied, so a reply ending in a plain "." reads like one ending in ESC ".".
std::string DecodeCaptured(std::string_view reply) {
  std::string decoded;
  std::size_t p = 0;
  while (p + 1 < reply.size()) {
    if (reply[p] != kEsc) {
      decoded += reply[p];
      ++p;
      continue;
    }
    const char next = reply[p + 1];
    if (next == '.') break;
    if (next == kEsc) {
      decoded += "1B";
      p += 2;
    } else if (next == '0') {
      decoded += "00";
      p += 2;
    } else {
      ++p;  // a stray ESC is dropped alone
    }
  }
  return decoded;
}

// The captured digits followed by two digits of their byte sum. A reply too
// short to hold a sum counts as a wrong sum.
bool CapturedSumIsRight(const std::string& decoded) {
  if (decoded.size() < 2) return false;
  const std::size_t sumAt = decoded.size() - 2;
  unsigned sum = 0;
  for (std::size_t at = 0; at + 1 < sumAt; at += 2)
    sum += static_cast<unsigned>(HexValue(decoded[at]) * 16 + HexValue(decoded[at + 1]));
  const unsigned received =
      static_cast<unsigned>(HexValue(decoded[sumAt]) * 16 + HexValue(decoded[sumAt + 1]));
  return sum % 256 == received;
}

}  // namespace

TProgJtag::TProgJtag(void* Owner) : TGestionnaire(Owner) {}

TProgJtag::~TProgJtag() {
  effectFile_.Close();
}

void TProgJtag::Error(const std::string& Text) {
  TGestionnaire::Error(Text);
  effectFile_.Close();
  ClearBusy();
  state_ = TState::Failed;
}

void TProgJtag::Reset() {
  TGestionnaire::Reset();
  effectFile_.Close();
  effectLine_.clear();
  lineCount_ = 0;
  linesRead_ = 0;
  deviceDigit_.clear();
  fields_ = TEffectFields{};
  state_ = TState::Idle;
}

std::optional<TProgJtag::TCommand> TProgJtag::Recognise(std::string_view instruction) {
  const auto* found = FindKeyword(instruction, kKeywords);
  if (found == nullptr) return std::nullopt;
  const std::string rest = TrimLeft(instruction.substr(1));
  if (rest.empty() || (rest.front() != '4' && rest.front() != '5')) return std::nullopt;
  return found->keyword;
}

std::string TProgJtag::FindReply() const {
  const std::size_t at = BufIn().find_first_of(".XR");
  if (at == std::string::npos) return {};
  return std::string(1, BufIn()[at]);
}

TProgJtag::TEffectCheck TProgJtag::CheckEffectFile(const std::string& folder,
                                                   const std::string& fileName) {
  TEffectCheck check;
  const std::string path = folder + fileName;
  if (!platform::FileExists(path)) {
    check.lines = -1;
    check.problem = path + kNotFound;
    return check;
  }
  if (platform::FileSize(path) > static_cast<std::int64_t>(kMaxEffectFileBytes)) {
    check.findings.push_back({1, false, "file is larger than an Effect file can be (64 MiB)"});
    check.problem = std::string(kEffectFileLineError) + "1";
    return check;
  }
  platform::TextLineReader file;
  // It is there but cannot be opened (no permission, say): not a missing file.
  if (!file.Open(path)) {
    check.problem = kEffectReadError;
    return check;
  }
  std::string line;
  TEffectFields fields;
  TEffectFileCheck statements;
  // Past the cap only a first problem is still worth a line: warnings alone
  // must not hide one further down.
  while ((check.problem.empty() || check.findings.size() < kMaxFileFindings) &&
         file.Next(line, kMaxEffectLineLength)) {
    if (check.lines == std::numeric_limits<std::int32_t>::max()) {
      check.problem = kEffectReadError;
      return check;
    }
    ++check.lines;
    const std::size_t before = check.findings.size();
    const std::string record = statements.Line(line, check.lines, check.findings, fields);
    const bool refused =
        std::any_of(check.findings.begin() + static_cast<std::ptrdiff_t>(before),
                    check.findings.end(), [](const LineFinding& f) { return !f.warning; });
    if (!refused && check.findings.size() > kMaxFileFindings)
      check.findings.resize(std::max(before, kMaxFileFindings));
    if (refused) {
      if (check.problem.empty()) check.problem = kEffectFileLineError + std::to_string(check.lines);
      if (check.converterHint.empty()) {
        if (const std::string sign = FullSvfSign(line); !sign.empty())
          check.converterHint = fileName + " looks like full SVF (line " +
                                std::to_string(check.lines) + ": " + sign +
                                "); convert it with qsr470-svf2effect";
      }
      // A line too long was not read to its end: nothing after it is known.
      if (line.size() > kMaxEffectLineLength) return check;
      continue;
    }
    if (!check.problem.empty() || record.empty()) continue;
    // The record and its ".", then the block the unit asks for, or the
    // captured data it sends with its sum and the "." that takes them.
    ++check.records;
    check.bytes += record.size() + 3;
    if (fields.DataPending) check.bytes += 2 + fields.TdiText.size();
    if ((fields.ShiftType & kShiftCapture) != 0) check.bytes += fields.TdoText.size() + 5;
  }
  if (!check.problem.empty()) return check;
  if (file.Failed()) {
    check.problem = kEffectReadError;
  } else if (check.lines == 0) {
    check.problem = kEffectFileEmpty;
  } else if (std::string reason = statements.End(); !reason.empty()) {
    check.findings.push_back({check.lines, false, std::move(reason)});
    check.problem = kEffectFileLineError + std::to_string(check.lines);
  }
  check.bytes += 3 + kEffectEndRecord.size() + 3;  // "P" and the device, "."; the end record
  return check;
}

TLinePlan TProgJtag::Plan(std::string_view instruction, const std::string& folder, bool slow) {
  TLinePlan plan;
  const auto command = Recognise(instruction);
  if (!command) return plan;
  const std::string rest = CutText(instruction, 1);
  const std::string device = rest.substr(0, 1) == "4" ? "PROM 1" : "PROM 2";
  switch (*command) {
    case TCommand::Identify:
      plan.action = "read the identification of " + device;
      plan.bytes = 20;  // "D" and the device, ".", 16 digits and "."
      break;
    case TCommand::Program: {
      plan.action = "program " + device;
      plan.file = CutText(rest, 1);
      const TEffectCheck check = CheckEffectFile(folder, plan.file);
      plan.problem = check.problem;
      for (const LineFinding& f : check.findings)
        plan.findings.push_back({folder + plan.file, f.line, f.warning, f.reason});
      plan.converterHint = check.converterHint;
      plan.count = check.records;
      (slow ? plan.slowBytes : plan.bytes) = check.bytes;
      if (slow) plan.bytes = 3;  // "S" and the device, "."
      plan.pauseMs = kAfterAnnounceMs;
      break;
    }
    case TCommand::Function:
      plan.action = "PROM command F" + rest.substr(0, 1);
      plan.bytes = 3;
      break;
  }
  return plan;
}

void TProgJtag::Dispatch() {
  if (Busy()) return;
  const auto command = Recognise(instruction_);
  if (!command) return;
  CutInstruction(1);
  TState first = TState::Idle;
  switch (*command) {
    case TCommand::Identify:
      first = TState::IdSend;
      break;
    case TCommand::Program:
      first = TState::PLoad;
      break;
    case TCommand::Function:
      first = TState::FSend;
      break;
  }
  SetBusy();
  state_ = first;
}

void TProgJtag::LoadEffectFile() {
  if (!UpdateAllowed()) {
    Error(kNotAllowed);
    state_ = TState::Done;
    return;
  }
  deviceDigit_ = instruction_.substr(0, 1);
  CutInstruction(1);
  const TEffectCheck check = CheckEffectFile(FileFolder(), instruction_);
  lineCount_ = check.lines;
  if (!check.problem.empty()) {
    Error(check.problem);
    return;
  }
  // Played from its first line again; the file may have gone in between.
  if (!effectFile_.Open(FileFolder() + instruction_)) {
    Error(kEffectReadError);
    return;
  }
  Send((SlowLink() ? "S" : "P") + deviceDigit_);
  SetMaxProgress(lineCount_);
  platform::SleepMs(kAfterAnnounceMs);
  retryCount_ = 0;
  state_ = SlowLink() ? TState::SlowAck : TState::PAck;
}

void TProgJtag::ReadNextRecord() {
  std::string record;
  while (record.empty() && linesRead_ < lineCount_) {
    if (!effectFile_.Next(effectLine_)) {
      // A read error, or the file shrank since it was checked.
      Error(kEffectReadError);
      return;
    }
    record = ParseEffectLine(effectLine_, fields_);
    ++linesRead_;
  }
  if (record.empty()) {
    SendLine(std::string(kEffectEndRecord));
    state_ = TState::EndAck;
  } else if (record == kEffectLineError) {
    Error(kEffectFileLineError + std::to_string(linesRead_));
  } else {
    SendLine(record);
    state_ = TState::Play;
  }
}

void TProgJtag::Play() {
  Receive();
  const std::string r = FindReply();
  if (r == "." && fields_.DataPending) {
    Consume("\x1B.");  // the unit's request for the block
    Send(fields_.TdiText);
    fields_.DataPending = false;
  } else if (r == "." && (fields_.ShiftType & kShiftCapture) != 0) {
    CheckCapturedData();
  } else if (r == ".") {
    ClearBufIn();
    StepProgress();
    ReadNextRecord();
  } else if (r == "X") {
    ClearBufIn();
    Error(kEffectExecutionError + std::to_string(linesRead_));
  } else if (r == "R") {
    ClearBufIn();
    if (!CountRetry()) return;
    SendLine(ParseEffectLine(effectLine_, fields_));
  }
}

void TProgJtag::CheckCapturedData() {
  const std::string decoded = DecodeCaptured(BufIn());
  if (!CapturedSumIsRight(decoded)) {
    ClearBufIn();
    if (!CountRetry()) return;
    Send("R");
    return;
  }
  ClearBufIn();
  Send(".");
  std::string data = decoded.substr(0, decoded.size() - 2);
  if (!fields_.MaskText.empty()) {
    AndHexMask(fields_.MaskText, data);
    AndHexMask(fields_.MaskText, fields_.TdoText);
  }
  // The unit's next "." ends the record either way.
  fields_.ShiftType = 0;
  if (data != fields_.TdoText) Error(kEffectExecutionError + std::to_string(linesRead_));
}

void TProgJtag::Step() {
  switch (state_) {
    case TState::Idle:
      Dispatch();
      break;
    case TState::PLoad:
      LoadEffectFile();
      break;
    case TState::SlowAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        SpeedDown();
        Send("P" + deviceDigit_);
        state_ = TState::PAck;
      } else if (ReplyIs('I')) {
        Refuse(kInstructionUnknown);
      }
      break;
    case TState::PAck:
      Receive();
      if (ReplyIs('.')) {
        Info("Updating Prom Devices");
        Consume(".");
        linesRead_ = 0;
        ReadNextRecord();
      } else if (ReplyIs('I')) {
        Refuse(kInstructionUnknown);
      }
      break;
    case TState::Play:
      Play();
      break;
    case TState::EndAck: {
      Receive();
      const std::string r = FindReply();
      if (r.empty()) break;
      ClearBufIn();
      SpeedUp();
      if (r == ".") {
        state_ = TState::Done;
      } else if (r == "X") {
        Error(kInstructionUnknown);
      } else {
        Error(kTooManyRetries);  // the end record is not sent again
      }
      break;
    }
    case TState::IdSend:
      deviceDigit_ = instruction_.substr(0, 1);
      Send("D" + deviceDigit_);
      state_ = TState::IdAck;
      break;
    case TState::IdAck:
      Receive();
      if (ReplyIs('.')) {
        Info("Extract Prom Devices ID");
        Consume(".");
        state_ = TState::IdRead;
      } else if (ReplyIs('I')) {
        Refuse(kInstructionUnknown);
      }
      break;
    case TState::IdRead:
      Receive();
      if (!DataReplyReady(kIdLength)) break;
      Info("ID Number : " + ReverseHexBytes(BufIn().substr(0, kIdLength)));
      ClearBufIn();
      state_ = TState::Done;
      break;
    case TState::FSend:
      deviceDigit_ = instruction_.substr(0, 1);
      Send("F" + deviceDigit_);
      state_ = TState::FAck;
      break;
    case TState::FAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        state_ = TState::Done;
      } else if (ReplyIs('I')) {
        Refuse(kInstructionUnknown);
      }
      break;
    case TState::Done:
      effectFile_.Close();
      ClearBusy();
      state_ = TState::Idle;
      break;
    case TState::Failed:
      break;
  }
}
