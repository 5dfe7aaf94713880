#pragma once

// Boot programming: "SYN" makes first contact with the unit's boot monitor
// (answers its "%" call sign, checks the device type, reads the boot checksum
// and the device identity), and "PB" erases the extended boot area, uploads
// an Intel HEX file line by line and verifies it with a 16-bit checksum.
//
// Line forms: "SYN" (rest ignored); "P", blanks, "B", blanks, file name, and
// optionally a space and four hex digits that replace the computed checksum.
// The file is looked up in FileFolder().

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "handlers/gestionnaire.h"

class TProgBoot : public TGestionnaire {
 public:
  enum class TCommand : std::uint8_t { Synchronise, ProgramBoot };

  explicit TProgBoot(void* Owner = nullptr);

  static std::optional<TCommand> Recognise(std::string_view instruction);
  static TLinePlan Plan(std::string_view instruction, const std::string& folder);

  // The boot checksum the unit reported during synchronisation; valid once
  // the device identity has been reported.
  std::uint16_t BootChecksum() const { return bootChecksum_; }

  // One step of the state machine.
  void Step();

  void Error(const std::string& Text) override;
  void Reset() override;

 private:
  enum class State : std::uint8_t {
    Idle,
    SynWait,
    SynAck,
    TypeAck,
    DeviceInfo,
    PbLoad,
    PbAck,
    EraseAck,
    Upload,
    VerifySend,
    VerifyAck,
    Done,
    Failed,
  };

  void Dispatch();
  void Load();
  // Reads the file of a "PB" line (the text after "B") and its optional
  // checksum; returns what the instruction must report, or nothing.
  static std::string LoadImage(std::string_view text, const std::string& folder,
                               TLineUpload& upload, std::string& given,
                               std::vector<TFileFinding>* findings = nullptr);

  State state_ = State::Idle;
  std::string givenChecksum_;
  TLineUpload upload_;
  std::uint16_t bootChecksum_ = 0;
};
