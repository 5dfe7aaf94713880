#pragma once

// Keyboard bank programming, banks 0 to 3:
//   "P" d file   erase bank d, upload an Intel HEX file line by line and
//                verify the bank's half of the image with a 16-bit checksum
//                (bank 0: 0x0000-0x7FFF, banks 1-3: 0x8000-0xFFFF); refused
//                while UpdateAllowed() is false
//   "D" d        read and show the keyboard's two-character identification
//   "F" d        a bare bank command
// Blanks may stand between the letter and the digit and after the digit; the
// file name is the rest of the line, trimmed, looked up in FileFolder().

#include <cstdint>
#include <string>
#include <vector>

#include "handlers/gestionnaire.h"

class TProgPsd : public TGestionnaire {
 public:
  explicit TProgPsd(void* Owner = nullptr);

  // One step of the state machine.
  void Step();

  void Error(const std::string& Text) override;
  void Reset() override;

 private:
  enum class State : std::uint8_t {
    Idle,
    PLoad,
    PAck,
    EraseAck,
    Upload,
    VerifySend,
    VerifyAck,
    IdSend,
    IdAck,
    IdRead,
    FSend,
    FAck,
    Done,
    Failed,
  };

  void Dispatch();
  void Load();
  void SendLine(std::size_t index);
  // Drops the reply character, then fails with `message`.
  void Refuse(const std::string& message);
  // Counts a repeat request; fails once the instruction has had too many.
  bool CountRetry();
  // `prefix` followed by the bank as it appears in commands and messages.
  std::string WithDigit(const char* prefix) const;

  State state_ = State::Idle;
  std::vector<std::string> lines_;
  std::size_t lineIndex_ = 0;  // the next line to send
  std::int32_t bank_ = 0;
};
