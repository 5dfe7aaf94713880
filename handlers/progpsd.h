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
#include <optional>
#include <string>
#include <string_view>

#include "handlers/gestionnaire.h"

class TProgPsd : public TGestionnaire {
 public:
  struct TCommand {
    enum class Kind : std::uint8_t { Program, Identify, Function } kind;
    std::int32_t bank;
  };

  explicit TProgPsd(void* Owner = nullptr);

  static std::optional<TCommand> Recognise(std::string_view instruction);
  static TLinePlan Plan(std::string_view instruction, const std::string& folder);

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
  // Reads a bank's file; returns what the instruction must report, or nothing.
  static std::string LoadImage(const std::string& fileName, const std::string& folder,
                               std::int32_t bank, TLineUpload& upload,
                               std::vector<TFileFinding>* findings = nullptr);
  static std::uint16_t BankChecksum(const TLineUpload& upload, std::int32_t bank);
  // `prefix` followed by the bank as it appears in commands and messages.
  std::string WithDigit(const char* prefix) const;

  State state_ = State::Idle;
  TLineUpload upload_;
  std::int32_t bank_ = 0;
};
