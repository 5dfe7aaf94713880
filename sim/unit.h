#pragma once

// The virtual QSR470 unit's boot monitor: the whole dialogue from the unit's
// side, with its memories, its version texts and its two PROM devices. No
// input or output of its own: the program feeds it the bytes that arrive,
// tells it the speed the line runs at, and sends the chunks it produces.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/faults.h"
#include "sim/jtag.h"
#include "sim/memory_area.h"
#include "sim/record.h"

namespace sim {

inline constexpr int kFastBaud = 57600;
inline constexpr int kSlowBaud = 19200;
inline constexpr int kComponentCount = 6;  // banks 0-3, PROM 1 (4), PROM 2 (5)
inline constexpr char kEsc = '\x1B';

struct UnitConfig {
  std::string device_id = "A470";            // 4 characters, sent as given
  std::optional<std::string> boot_checksum;  // 4 characters; else from the boot area
  std::string keyboard_id = "3C";            // 2 characters, sent as given
  std::array<std::uint32_t, 2> prom_idcode = {0x0470A0D3, 0x0470B0D3};
  std::uint32_t prom_size = 1024;
  std::array<std::string, kComponentCount> versions = {"0100", "0100", "0100",
                                                       "0100", "0100", "0100"};
  std::string unit_version;
  std::string option_text;
  bool wrong_type = false;  // answer "17" with "X"
  bool speed_check = true;  // bytes at a speed other than the unit's are garbled
  std::uint32_t erase_ms = 0;
  FaultPlan faults;
};

// A piece of output: written after the previous piece has gone out and then
// delay_ms more, on a line running at baud.
struct Chunk {
  std::string bytes;
  std::uint32_t delay_ms = 0;
  int baud = kFastBaud;
};

struct UnitCounts {
  std::uint32_t commands = 0;
  std::uint32_t unknown = 0;  // answered "I"
  std::uint32_t records = 0;  // record lines received, repeats included
  std::uint32_t blank_lines = 0;
  std::uint32_t bad_records = 0;  // malformed or with a wrong checksum
  std::uint32_t data_blocks = 0;
  std::uint32_t resends = 0;  // "R" sent
  std::uint32_t capture_resends = 0;
  std::uint32_t failures = 0;  // "X" sent
  std::uint32_t garbled_in = 0;
  std::uint32_t garbled_out = 0;
  std::uint32_t resets = 0;
  std::uint32_t call_signs = 0;
};

class Unit {
 public:
  explicit Unit(UnitConfig config);
  ~Unit();
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  // Start-up with the ENTER button held: the dialogue starts again from the
  // call sign; the memories and version texts are kept.
  void PowerOn();

  bool WantsCallSign() const;
  // A call sign, or with injected chatter a call sign and some noise.
  void EmitCallSign();

  // Bytes as they arrive, on a line that the updater runs at line_baud.
  void Receive(std::string_view bytes, int line_baud);

  // A text ends when the line falls quiet; the program tells the unit so.
  bool WantsTextEnd() const;
  void EndOfText();

  std::vector<Chunk> TakeOutput();

  int listen_baud() const { return listen_baud_; }
  bool hang_up_requested() const { return hang_up_; }
  bool silent() const;
  bool finished() const { return finished_; }
  // An upload ("PB", "P0".."P3") or an Effect session ("P4", "P5") is under
  // way; its command is transfer_command().
  bool InTransfer() const;
  const std::string& transfer_command() const { return transfer_command_; }

  // The program garbles output that goes out at a speed the updater does not
  // listen at, and tells the unit for the report.
  static char Garble(char byte);
  void NoteGarbledOutput(std::size_t count) {
    counts_.garbled_out += static_cast<std::uint32_t>(count);
  }

  // `timing`, when given, is the program's measurement of the line
  // (LineTiming::Json), reported as "timing".
  std::string ReportJson(std::string_view ended_by, std::string_view timing = {}) const;

  // Dialogue trace for the program's --trace.
  void SetTrace(std::function<void(std::string_view)> trace) { trace_ = std::move(trace); }

  const MemoryArea& boot() const { return boot_; }
  const MemoryArea& bank(int bank) const { return banks_.at(static_cast<std::size_t>(bank)); }
  const PromDevice& prom(int component) const;
  const std::string& version(int component) const {
    return versions_.at(static_cast<std::size_t>(component));
  }
  const std::string& unit_version() const { return unit_version_; }
  const std::string& option_text() const { return option_text_; }
  const UnitCounts& counts() const { return counts_; }
  const std::vector<std::string>& command_log() const { return command_log_; }
  std::string BootChecksumText() const;

 private:
  enum class State {
    kCallSign,       // sending "%" until the updater answers "%"
    kCommand,        // waiting for the first character of a command
    kCommandSecond,  // waiting for the character after the first
    kText,           // collecting a version or option text
    kUpload,         // collecting image lines for the boot area or a bank
    kEffect,         // collecting Effect records
    kDataBlock,      // collecting the data block of a long data-register shift
    kCaptureAck,     // captured bits sent; waiting for "." or "R"
    kSilent,         // an injected silence: nothing is answered any more
    kChatter,        // injected chatter: nothing is answered, call signs and noise go on
  };

  enum class Command {
    kDeviceType,
    kBootErase,
    kBankErase,
    kPromSession,
    kSlowSession,
    kBankId,
    kPromId,
    kComponentCommand,
    kFinish,
    kVersionWrite,
    kVersionRead,
    kUnitVersion,
    kOptionText,
    kReset,
    kNoProgram,
  };

  enum class TextTarget { kVersion, kUnitVersion, kOptionText };

  static bool LookUpCommand(char first, std::optional<char> second, Command& command);
  void Feed(char byte);
  void StartCommand(char first);
  void FinishCommand(char first, char second);
  void Dispatch(Command command, char argument, FaultInjector::Action fault);
  struct RecordLine {
    std::string text;
    bool overflow = false;
    FaultInjector::Action fault = FaultInjector::Action::kNone;
  };
  std::optional<RecordLine> TakeRecordLine(const std::string& received);
  void HandleUploadLine(const std::string& line);
  void HandleEffectLine(const std::string& line);
  void HandleDataBlock();
  void ExecuteEffectRecord(const Record& record);
  void FinishShift(bool ok, bool capture, const std::vector<std::uint8_t>& captured);
  void SendCapture(bool first_time);
  bool TakeLineByte(char byte);
  bool ApplyInterruptingFault(FaultInjector::Action fault);
  void EmitChatter();

  void Reply(std::string bytes, std::uint32_t delay_ms = 0);
  void Answer(char reply);
  void Trace(std::string_view text);

  UnitConfig config_;
  FaultInjector faults_;
  State state_ = State::kCallSign;
  int listen_baud_ = kFastBaud;
  bool hang_up_ = false;
  bool finished_ = false;
  bool noise_sent_ = false;

  MemoryArea boot_;
  std::vector<MemoryArea> banks_;
  std::array<std::unique_ptr<PromDevice>, 2> proms_;
  std::array<std::string, kComponentCount> versions_;
  std::string unit_version_;
  std::string option_text_;

  // Dialogue in progress.
  char first_ = 0;
  std::string transfer_command_;
  std::string line_;
  bool line_overflow_ = false;
  MemoryArea* upload_area_ = nullptr;
  bool upload_is_boot_ = false;
  bool upload_ended_ = false;  // end-of-file record seen: later data is not stored
  TextTarget text_target_ = TextTarget::kVersion;
  int text_component_ = 0;
  bool text_fails_ = false;
  std::unique_ptr<JtagPort> jtag_;
  ShiftRequest pending_shift_;
  bool pending_capture_ = false;
  std::size_t block_length_ = 0;
  std::vector<std::uint8_t> captured_;

  std::vector<Chunk> output_;
  UnitCounts counts_;
  std::vector<std::string> command_log_;
  std::function<void(std::string_view)> trace_;
};

}  // namespace sim
