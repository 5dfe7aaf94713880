#pragma once

// General instructions: an operator prompt, a timed wait, the bare unit
// commands "RS", "NP" and "FI", and writing ("V", "UV", "OP") or testing
// ("T") version texts. The window also gives "FI" to this handler alone after
// the last script line.
//
// Shared dialogue rules: commands go out bare, free texts from the script too;
// replies are tested at the front of BufIn and only the characters a state
// names are taken, anything else stays and the state waits.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "handlers/gestionnaire.h"

// Fired when a version test finds exactly the expected text; `component` is
// the digit after "T" (0 for a character that is not a decimal digit).
using TVersionNotifyEvent = std::function<void(TGestionnaire* Sender, std::int32_t component)>;

class TInstCrt : public TGestionnaire {
 public:
  enum class TCommand : std::uint8_t { kPrompt, kWait, kRs, kNp, kFi, kV, kT, kUv, kOp };

  explicit TInstCrt(void* Owner = nullptr);

  static std::optional<TCommand> Recognise(std::string_view instruction);
  static TLinePlan Plan(std::string_view instruction);

  // A "wait" is counting down: the unit is not expected to say anything.
  bool Waiting() const { return state_ == State::Waiting; }

  TVersionNotifyEvent OnVersionSame;

  // One step of the state machine.
  void Step();

  void Error(const std::string& Text) override;
  void Reset() override;

 private:
  enum class State : std::uint8_t {
    Idle,
    Prompt,
    WaitStart,
    Waiting,
    RsSend,
    RsAck,
    NpSend,
    NpAck,
    FiSend,
    FiAck,
    VersionSend,
    VersionAck,
    VersionWritten,
    TestSend,
    TestAck,
    TestRead,
    UvSend,
    UvAck,
    UvWritten,
    OpSend,
    OpAck,
    OpWritten,
    Done,
    Failed,
  };

  void Dispatch();
  // "." → Done, "I" → "Instruction unknown".
  void AwaitCommandAck();
  // "." → Done after the second progress step, "X" → write error.
  void AwaitTextWritten();

  State state_ = State::Idle;
  std::uint32_t waitTime_ = 0;
  std::uint32_t waitStart_ = 0;
  char componentChar_ = '0';  // the character after "V" or "T"
  std::int32_t component_ = 0;
};
