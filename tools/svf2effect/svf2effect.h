#pragma once

// Vendor SVF in, an Effect file out: the whole Serial Vector Format as
// vendor tools write it, turned into the one-statement-per-line subset the
// PROM handler plays. Every statement is converted exactly or refused with
// its line and the reason; nothing is approximated. No input or output of its
// own: the program reads and writes the files.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "handlers/effect_check.h"

namespace svf2effect {

struct Options {
  // The name the header and every statement's trailing comment give the
  // source, so that an error on the unit can be traced back to the vendor's
  // file.
  std::string source_name = "IN.svf";
  // TCK rate for waits in seconds where the file sets no FREQUENCY (or has
  // returned to the default with a bare FREQUENCY;). Empty: none.
  std::string tck_hz;
  // Bounds on what one statement may turn into, so that a small input cannot
  // ask for an output of gigabytes.
  std::uint64_t max_scan_bits = 1u << 24;
  std::uint64_t max_pause_clocks = 100000;
  // The largest Effect file to make: the updater refuses a larger one, so
  // the conversion stops there and its memory stays within it.
  std::uint64_t max_output_bytes = kMaxEffectFileBytes;
};

struct Problem {
  int line = 0;
  std::string message;
};

struct Summary {
  int statements = 0;  // statements read
  int records = 0;     // lines written that make a record
  int split = 0;       // statements that needed more than one record of their kind
  int dropped = 0;     // statements that make no record
  int folded = 0;      // non-zero headers and trailers folded into the scans after them
  int maximum_ignored = 0;
};

struct Result {
  std::string effect;  // the Effect file; empty when there are problems
  std::vector<Problem> problems;
  // Why each dropped statement makes no record, and each value the unit
  // cannot keep (MAXIMUM), for --verbose; the summary only counts them.
  std::vector<Problem> dropped;
  Summary summary;
};

Result Convert(std::string_view svf, const Options& options);

// True when the text is a rate the converter can use: a positive real number
// such as 1E6 or 4000000.
bool IsFrequency(std::string_view text);

// "1011 statements read, 1203 records written, ..." for the program's
// summary line.
std::string SummaryText(const Summary& summary);

}  // namespace svf2effect
