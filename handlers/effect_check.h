#pragma once

// Effect statements judged as the unit will play them, before the unit is
// told anything. The interpreter keeps its lenient reading at run time (a
// statement without ";" yields nothing, text after the ";" is ignored); this
// check refuses such files first, so the interpreter never meets them. It
// also walks the test access port from Test-Logic-Reset, record by record,
// to find what the unit's TAP cannot carry out from where the statements
// before leave it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "handlers/progjtag_effect.h"
#include "hex/hex_check.h"

inline constexpr std::uint64_t kMaxEffectFileBytes = std::uint64_t{64} << 20;
inline constexpr std::size_t kMaxEffectLineLength = 64 * 1024;

class TEffectFileCheck {
 public:
  // One line in file order, without its line end. Problems and warnings are
  // appended to `findings`. Returns what the interpreter makes of the line,
  // with its fields, so that the caller need not read it twice.
  std::string Line(std::string_view line, std::int32_t number, std::vector<LineFinding>& findings,
                   TEffectFields& fields);
  // After the last line: why the file may not end where it leaves the TAP,
  // or empty. The unit's TAP keeps its state into the next Effect file,
  // which is walked from Test-Logic-Reset; from any resting state it can be
  // played alike, from the middle of a shift it cannot.
  std::string End() const;

 private:
  std::string Walk(std::string_view record, std::string_view keyword);

  std::uint8_t state_ = 0x00;  // Test-Logic-Reset
  std::uint8_t endIr_ = 0x01;  // Run-Test/Idle
  std::uint8_t endDr_ = 0x01;
  std::int32_t lastSirLength_ = -1;  // none yet
};

// What marks a line as full SVF that was never converted: "FREQUENCY", "a
// '!' comment", "lower-case sir", "a statement continued on the next line";
// empty for anything else.
std::string FullSvfSign(std::string_view line);
