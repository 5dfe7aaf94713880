#pragma once

// A job checked whole before the unit is addressed: every instruction line
// dispatched dry against the handlers' keyword rules and every file it names
// loaded and checked, as the instruction itself would when reached. Nothing
// fires and no handler changes, so a run can refuse a job before the port
// is opened, and the command line can plan one without a unit.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "handlers/gestionnaire.h"
#include "handlers/messages.h"

inline constexpr const char* kSyntaxError = "Syntax Error in script file line : ";

// The run's timer: one step of the run, and one line read, per tick.
inline constexpr std::uint32_t kRunTickMs = 10;
// Ticks an instruction costs beside its dialogue: the one that dispatches
// it, the one of its first command, and the one that sees it finished.
inline constexpr std::uint32_t kTicksPerInstruction = 3;

// Components 0 to 3 are the keyboard banks, 4 and 5 the PROMs.
inline constexpr int kComponentCount = 6;

// Replaces every line that works on `component` by "NP". The handlers take
// blanks between the letter and the component digit ("P 2 keyb2.hex"
// programs bank 2), so skipping recognises the same forms: a line that only
// matched without blanks would still program a component the technician
// deselected.
void SkipComponentLines(std::vector<std::string>& script, int component);

// Limits of a script: a larger one is not a script but a mistake.
inline constexpr std::int64_t kMaxScriptBytes = 1 << 20;
inline constexpr std::size_t kMaxScriptLineLength = 4096;

// True for a script file too large to be read: refused before reading it.
bool ScriptTooLarge(const std::string& path);
// The finding a script too large to read reports, at its line 1.
TFileFinding ScriptTooLargeFinding(const std::string& path);

// "FILE:LINE: reason", or "FILE:LINE: warning: reason".
std::string FindingText(const TFileFinding& finding);

struct TJobSettings {
  std::string script;  // the script's path, as messages name it
  std::string folder;  // where image and Effect files are looked up
  bool slow = false;   // PROM transfers at 19200 baud
  // Components whose lines become "NP" before the run, as Manual mode does.
  bool skipped[kComponentCount] = {};
};

struct TJobLine {
  int number = 0;  // 1-based line of the script; 0 for the start and the end
  std::string text;
  TLinePlan plan;
};

struct TJob {
  std::vector<TJobLine> lines;   // the start synchronisation, the instructions, the end
  std::uint32_t quietLines = 0;  // comments and blank lines: one tick each
  // The first line whose instruction would fail, or nothing.
  const TJobLine* FirstProblem() const;
  // Every problem and warning of the script and its files, in script order.
  std::vector<TFileFinding> Findings() const;
  // The wire time of every byte both ways at its speed, plus the fixed pauses
  // and the run's own ticks.
  static std::uint32_t EstimateMs(const TLinePlan& plan);
  std::uint32_t EstimateMs() const;
};

TJob CheckJob(std::vector<std::string> script, const TJobSettings& settings);

// The script START runs: the program's first argument when it has one, else
// "script.ini" in the program's folder.
std::string StartScriptPath(const std::optional<std::string>& argument);
