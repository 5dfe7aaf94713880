#pragma once

// The command line of qsr470-unitsim.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/unit.h"

namespace sim {

struct ProgramOptions {
  UnitConfig unit;
  std::string link_path;    // symbolic link to the terminal, made at start
  std::string report_path;  // JSON report written at exit
  bool pace = false;
  bool forever = false;
  bool trace = false;
  std::uint32_t call_period_ms = 100;
  std::uint32_t text_gap_ms = 50;
  // Held back before each reply reaches the updater, as a USB serial
  // adapter's latency timer does; 0 for none.
  std::uint32_t reply_delay_ms = 0;
};

enum class ParseOutcome { kRun, kHelp, kVersion, kError };

ParseOutcome ParseCommandLine(const std::vector<std::string>& args, ProgramOptions& options,
                              std::string& error);

std::string UsageText();

}  // namespace sim
