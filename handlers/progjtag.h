#pragma once

// The PROM handler: the unit's two PROM devices (4 and 5) on the JTAG chain
// it drives. "P" plays an Effect file to a device one record at a time, with
// repeat requests, captured-data checks and a closing end record; "D" reads a
// device's identification; "F" is a bare device command.
//
// A file is checked whole before the unit is told anything: a half-played
// Effect file leaves a PROM half-programmed, so a missing, empty, unreadable
// or malformed file is refused while nothing has been sent. It is then read
// again from its first line to play it; only the current line is held.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "handlers/effect_check.h"
#include "handlers/gestionnaire.h"
#include "handlers/progjtag_effect.h"
#include "platform/files.h"

class TProgJtag : public TGestionnaire {
 public:
  enum class TState : std::uint8_t {
    Idle,
    PLoad,
    SlowAck,
    PAck,
    Play,
    EndAck,
    IdSend,
    IdAck,
    IdRead,
    FSend,
    FAck,
    Done,
    Failed,
  };

  enum class TCommand : std::uint8_t { Identify, Program, Function };

  explicit TProgJtag(void* Owner = nullptr);

  static std::optional<TCommand> Recognise(std::string_view instruction);
  static TLinePlan Plan(std::string_view instruction, const std::string& folder, bool slow);
  ~TProgJtag() override;

  // One step of the state machine.
  void Step();

  // Reports first (OnError), then closes the Effect file and clears Busy.
  void Error(const std::string& Text) override;
  // Also closes an Effect file left open by a stopped run.
  void Reset() override;

  // The first ".", "X" or "R" anywhere in BufIn, or empty.
  std::string FindReply() const;

  TState State() const { return state_; }
  std::int32_t LineCount() const { return lineCount_; }
  std::int32_t LinesRead() const { return linesRead_; }
  const std::string& DeviceDigit() const { return deviceDigit_; }
  bool EffectFileOpen() const { return effectFile_.IsOpen(); }
  // The working fields of the line parsed last.
  const TEffectFields& Fields() const { return fields_; }

 private:
  // An Effect file read whole and every line interpreted, as it is before
  // the unit is told anything.
  struct TEffectCheck {
    std::string problem;     // what the instruction must report, or nothing
    std::int32_t lines = 0;  // -1 when the file is not there
    std::int32_t records = 0;
    std::uint64_t bytes = 0;            // both ways, with the announcement and the end record
    std::vector<LineFinding> findings;  // every problem and warning, in line order
    std::string converterHint;          // the file is full SVF: what to run
  };

  void Dispatch();
  void LoadEffectFile();
  void Play();
  void CheckCapturedData();
  void ReadNextRecord();
  static TEffectCheck CheckEffectFile(const std::string& folder, const std::string& fileName);

  TState state_ = TState::Idle;
  std::string effectLine_;
  std::int32_t lineCount_ = 0;
  std::int32_t linesRead_ = 0;
  std::string deviceDigit_;
  TEffectFields fields_;
  platform::TextLineReader effectFile_;
};
