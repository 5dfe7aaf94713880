#include "handlers/InstCourante.h"

#include <string_view>

#include "handlers/messages.h"
#include "platform/tick.h"

namespace {

using Keyword = TInstCrt::TCommand;

// Tried in this order; the first one the line begins with wins, so "UV" and
// "OP" are only reached by lines that begin with neither "V" nor "T".
constexpr TKeyword<Keyword> kKeywords[] = {
    {"prompt", Keyword::kPrompt}, {"wait", Keyword::kWait}, {"RS", Keyword::kRs},
    {"NP", Keyword::kNp},         {"FI", Keyword::kFi},     {"V", Keyword::kV},
    {"T", Keyword::kT},           {"UV", Keyword::kUv},     {"OP", Keyword::kOp},
};

// A version reply is this many characters.
constexpr std::size_t kVersionLength = 4;

// A wait time is a signed decimal integer that is not negative; blanks
// inside, or a value beyond 32 bits, would otherwise turn into some other wait.
bool ParseWaitTime(std::string_view text, std::uint32_t& value) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  value = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

TInstCrt::TInstCrt(void* Owner) : TGestionnaire(Owner) {}

void TInstCrt::Reset() {
  TGestionnaire::Reset();
  state_ = State::Idle;
}

void TInstCrt::Error(const std::string& Text) {
  ClearBusy();
  state_ = State::Failed;
  TGestionnaire::Error(Text);
}

std::optional<TInstCrt::TCommand> TInstCrt::Recognise(std::string_view instruction) {
  const auto* found = FindKeyword(instruction, kKeywords);
  if (found == nullptr) return std::nullopt;
  // Without a component character a "V" or "T" line has no instruction to
  // carry out; leaving it untaken makes the run report it as a syntax error.
  if ((found->keyword == Keyword::kV || found->keyword == Keyword::kT) &&
      Trim(instruction.substr(1)).empty()) {
    return std::nullopt;
  }
  return found->keyword;
}

TLinePlan TInstCrt::Plan(std::string_view instruction) {
  TLinePlan plan;
  const auto command = Recognise(instruction);
  if (!command) return plan;
  switch (*command) {
    case Keyword::kPrompt:
      plan.action = "show \"" + CutText(instruction, 6) + "\"";
      break;
    case Keyword::kWait:
      plan.action = "wait";
      if (!ParseWaitTime(CutText(instruction, 4), plan.pauseMs)) plan.problem = kBadWaitTime;
      break;
    case Keyword::kRs:
    case Keyword::kNp:
    case Keyword::kFi:
      plan.action = "unit command " + std::string(instruction.substr(0, 2));
      plan.bytes = 3;
      break;
    case Keyword::kV:
    case Keyword::kT: {
      const std::string rest = CutText(instruction, 1);
      const std::string text = CutText(rest, 1);
      const std::string component(1, rest.front());
      if (*command == Keyword::kV) {
        plan.action = "write version " + text + " of component " + component;
        plan.bytes = 4 + text.size();  // the command, ".", the text, "."
      } else {
        plan.action = "test version " + text + " of component " + component;
        plan.bytes = 8;  // the command, ".", four characters and "."
      }
      // The unit reports a version as four characters, so a "T" of another
      // length never matches, and a "V" of another length is never matched.
      if (text.size() != kVersionLength)
        plan.findings.push_back({{},
                                 0,
                                 true,
                                 "version text \"" + text + "\" has " +
                                     std::to_string(text.size()) +
                                     " characters; the unit reports 4, so a test never matches"});
      break;
    }
    case Keyword::kUv:
    case Keyword::kOp: {
      const std::string text = CutText(instruction, 2);
      plan.action = "write " + std::string(instruction.substr(0, 2)) + " text " + text;
      plan.bytes = 4 + text.size();
      break;
    }
  }
  return plan;
}

void TInstCrt::Dispatch() {
  if (Busy()) return;
  const auto keyword = Recognise(instruction_);
  if (!keyword) return;

  State first = State::Idle;
  switch (*keyword) {
    case Keyword::kPrompt:
      first = State::Prompt;
      break;
    case Keyword::kWait:
      first = State::WaitStart;
      break;
    case Keyword::kRs:
      first = State::RsSend;
      break;
    case Keyword::kNp:
      first = State::NpSend;
      break;
    case Keyword::kFi:
      first = State::FiSend;
      break;
    case Keyword::kV:
    case Keyword::kT:
      CutInstruction(1);
      componentChar_ = instruction_.front();
      first = *keyword == Keyword::kV ? State::VersionSend : State::TestSend;
      break;
    case Keyword::kUv:
    case Keyword::kOp:
      CutInstruction(2);
      first = *keyword == Keyword::kUv ? State::UvSend : State::OpSend;
      break;
  }
  SetBusy();
  state_ = first;
}

void TInstCrt::AwaitCommandAck() {
  Receive();
  if (ReplyIs('.')) {
    Consume(".");
    state_ = State::Done;
  } else if (ReplyIs('I')) {
    Refuse(kInstructionUnknown);
  }
}

void TInstCrt::AwaitTextWritten() {
  Receive();
  if (ReplyIs('.')) {
    Consume(".");
    StepProgress();
    state_ = State::Done;
  } else if (ReplyIs('X')) {
    Refuse(kWriteVersionError);
  }
}

void TInstCrt::Step() {
  switch (state_) {
    case State::Idle:
      Dispatch();
      break;
    case State::Prompt:
      CutInstruction(6);
      Info(instruction_);
      state_ = State::Done;
      break;
    case State::WaitStart:
      CutInstruction(4);
      if (!ParseWaitTime(instruction_, waitTime_)) {
        Error(kBadWaitTime);
        break;
      }
      waitStart_ = platform::TickMs();
      state_ = State::Waiting;
      break;
    case State::Waiting:
      // Unsigned subtraction keeps a wait across the counter's wrap whole.
      if (static_cast<std::uint32_t>(platform::TickMs() - waitStart_) > waitTime_) {
        state_ = State::Done;
      }
      break;
    case State::RsSend:
      Info("Reset");
      Send("RS");
      state_ = State::RsAck;
      break;
    case State::RsAck:
      AwaitCommandAck();
      break;
    case State::NpSend:
      Send("NP");
      state_ = State::NpAck;
      break;
    case State::NpAck:
      AwaitCommandAck();
      break;
    case State::FiSend:
      Send("FI");
      state_ = State::FiAck;
      break;
    case State::FiAck:
      AwaitCommandAck();
      break;
    case State::VersionSend:
      Send(std::string("V") + componentChar_);
      state_ = State::VersionAck;
      break;
    case State::VersionAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        CutInstruction(1);
        SetMaxProgress(2);
        StepProgress();
        Send(instruction_);
        state_ = State::VersionWritten;
      } else if (ReplyIs('I')) {
        Refuse(kInstructionUnknown);
      }
      break;
    case State::VersionWritten:
      AwaitTextWritten();
      break;
    case State::TestSend:
      component_ = componentChar_ >= '0' && componentChar_ <= '9' ? componentChar_ - '0' : 0;
      Send(std::string("T") + componentChar_);
      state_ = State::TestAck;
      break;
    case State::TestAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        CutInstruction(1);
        SetMaxProgress(2);
        StepProgress();
        state_ = State::TestRead;
      } else if (ReplyIs('I')) {
        Refuse(kInstructionUnknown);
      }
      break;
    case State::TestRead:
      Receive();
      if (DataReplyReady(kVersionLength)) {
        if (BufIn().compare(0, kVersionLength, instruction_) == 0 && OnVersionSame) {
          OnVersionSame(this, component_);
        }
        ClearBufIn();
        StepProgress();
        state_ = State::Done;
      } else if (ReplyIs('X')) {
        Refuse(kReadVersionError);
      }
      break;
    case State::UvSend:
      Send("UV");
      state_ = State::UvAck;
      break;
    case State::UvAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        CutInstruction(0);
        SetMaxProgress(2);
        StepProgress();
        Send(instruction_);
        state_ = State::UvWritten;
      } else if (ReplyIs('I')) {
        Refuse(kInstructionUnknown);
      }
      break;
    case State::UvWritten:
      AwaitTextWritten();
      break;
    case State::OpSend:
      SetMaxProgress(2);
      Send("OP");
      state_ = State::OpAck;
      break;
    case State::OpAck:
      Receive();
      if (ReplyIs('.')) {
        Consume(".");
        CutInstruction(0);
        StepProgress();
        Send(instruction_);
        state_ = State::OpWritten;
      } else if (ReplyIs('I')) {
        Refuse(kInstructionUnknown);
      }
      break;
    case State::OpWritten:
      AwaitTextWritten();
      break;
    case State::Done:
      ClearBusy();
      state_ = State::Idle;
      break;
    case State::Failed:
      break;
  }
}
